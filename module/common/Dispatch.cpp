#include "Dispatch.h"

#include <cstring>

#include "ChildMaps.h"
#include "FilterConfig.h"
#include "HostVerdict.h"
#include "zorvane_bytes.h"
#include "ReadQueue.h"
#include "ZorvaneLog.h"

namespace {

struct Request {
    uint8_t* buffer;
    uint32_t inputLength;
    uint32_t outputLength;
};

uint32_t field32(const Request& request, size_t offset) {
    return LoadLe32(request.buffer + offset);
}

uint16_t field16(const Request& request, size_t offset) {
    return LoadLe16(request.buffer + offset);
}

// The length of the NUL-terminated text at `offset`, or -1 when its NUL is not
// inside the input.
int32_t textLength(const Request& request, uint32_t offset) {
    const void* nul =
        memchr(request.buffer + offset, 0, static_cast<size_t>(request.inputLength - offset));
    if (nul == nullptr) {
        return -1;
    }
    return static_cast<int32_t>(static_cast<const uint8_t*>(nul) - (request.buffer + offset));
}

// The token test: the lock is open and the record's first word is the
// challenge. Expects the control state locked.
bool tokenPasses(const ZorvaneControlState* state, const Request& request) {
    return state->authState == AUTH_STATE_OPEN && field32(request, 0) == state->challenge;
}

bool tokenTest(const Request& request) {
    OsLockHandle handle;
    const bool passes = tokenPasses(ZorvaneLockControlState(&handle), request);
    ZorvaneUnlockControlState(&handle);
    return passes;
}

// Runs `change` on the configuration when the token test passes; the usual
// shape of a configuration code.
template <typename Change>
int32_t withToken(const Request& request, int32_t result, Change change) {
    OsLockHandle handle;
    ZorvaneControlState* state = ZorvaneLockControlState(&handle);
    if (!tokenPasses(state, request)) {
        ZorvaneUnlockControlState(&handle);
        return -1;
    }
    change(&state->config);
    ZorvaneUnlockControlState(&handle);
    return result;
}

int32_t ExecGetVersionCmd(const Request& request) {
    StoreLe32(request.buffer + offsetof(ZorvaneModuleVersion, majVer),
              ZORVANE_MODULE_MAJOR_VERSION);
    StoreLe32(request.buffer + offsetof(ZorvaneModuleVersion, minVer),
              ZORVANE_MODULE_MINOR_VERSION);
    ZorvLog(ZORVANE_DBG_INFO, "version assigned\n");
    return sizeof(ZorvaneModuleVersion);
}

int32_t exec_challenge_cmd(const Request& request) {
    OsLockHandle handle;
    ZorvaneControlState* state = ZorvaneLockControlState(&handle);
    state->authState = AUTH_STATE_CHALLENGED;
    state->challenge = ZORVANE_AUTH_CHALLENGE;
    ZorvaneUnlockControlState(&handle);
    StoreLe32(request.buffer, ZORVANE_AUTH_CHALLENGE);
    ZorvLog(ZORVANE_DBG_INFO, "challenge = %d\n", static_cast<int>(ZORVANE_AUTH_CHALLENGE));
    return sizeof(ZorvaneChallenge);
}

int32_t exec_response_cmd(const Request& request) {
    ZorvLog(ZORVANE_DBG_INFO, "exec_response_cmd\n");
    OsLockHandle handle;
    ZorvaneControlState* state = ZorvaneLockControlState(&handle);
    if (state->authState != AUTH_STATE_CHALLENGED) {
        ZorvaneUnlockControlState(&handle);
        ZorvLog(ZORVANE_DBG_ERROR, "failed as auth is not initiated\n");
        return -1;
    }
    state->authState = AUTH_STATE_ANSWERED_WRONGLY;
    uint8_t result = ZORVANE_RESPONSE_REFUSED;
    if (field32(request, offsetof(ZorvaneResponse, response)) == state->challenge) {
        state->authState = AUTH_STATE_OPEN;
        result = ZORVANE_RESPONSE_ACCEPTED;
    }
    ZorvaneUnlockControlState(&handle);
    request.buffer[0] = result;
    ZorvLog(ZORVANE_DBG_INFO, "response return = %d\n", result);
    return sizeof(ZorvaneResponseResult);
}

int32_t ExecSetUserCmd(const Request& request) {
    const int32_t sidLength = textLength(request, ZORVANE_SYS_USER_FIXED_SIZE);
    if (sidLength < 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "ExecSetUserCmd sid not terminated\n");
        return -1;
    }
    const uint32_t childId = field32(request, offsetof(ZorvaneSysUserDetails, childId));
    const uint16_t curr = field16(request, offsetof(ZorvaneSysUserDetails, curr));
    const uint16_t total = field16(request, offsetof(ZorvaneSysUserDetails, total));
    if (!tokenTest(request)) {
        return -1;
    }
    if (curr <= 1) {
        ZorvLog(ZORVANE_DBG_INFO, "ExecSetUserCmd CleanupWinUserMap\n");
        CleanupWinUserMap();
    }
    if (curr == total) {
        ZorvLog(ZORVANE_DBG_INFO, "ExecSetUserCmd CleanupPidChildMap\n");
        CleanupPidChildMap();
    }
    const auto* sid = reinterpret_cast<const char*>(request.buffer + ZORVANE_SYS_USER_FIXED_SIZE);
    // A user that could not be stored is reported, not acknowledged.
    if (AddToWinUserMap(sid, static_cast<uint32_t>(sidLength), childId) == 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "ExecSetUserCmd user not stored\n");
        return -1;
    }
    return 1;
}

int32_t ExecSetKeyCmd(const Request& request) {
    ZorvLog(ZORVANE_DBG_INFO, "exec set key command\n");
    const uint32_t flag = field32(request, offsetof(ZorvaneSetKey, flag));
    const int32_t rc = withToken(request, 1, [&](FilterConfig* config) {
        if (flag != 1) {
            return;
        }
        config->keySet = flag;
        memcpy(config->key, request.buffer + offsetof(ZorvaneSetKey, key), sizeof(config->key));
    });
    return flag != 1 ? -1 : rc;
}

int32_t ExecEnableFilterCmd(const Request& request) {
    const uint32_t enable = field32(request, offsetof(ZorvaneEnableFiltering, enableFiltering));
    const int32_t rc = withToken(
        request, 1, [&](FilterConfig* config) { config->filterEnabled = enable != 0 ? 1 : 0; });
    if (rc >= 0) {
        ZorvLog(ZORVANE_DBG_INFO, "enable filtering %d\n", enable != 0 ? 1 : 0);
    }
    return rc;
}

int32_t ExecSetHttpsOptionsCmd(const Request& request) {
    const uint32_t value = field32(request, offsetof(ZorvaneHttpsOptions, value));
    return withToken(request, 1, [&](FilterConfig* config) { config->httpsOptions = value; });
}

// Expects the control state locked.
int32_t findPort(const FilterConfig* config, uint16_t port) {
    for (uint32_t i = 0; i < config->unblockedPortCount; ++i) {
        if (config->unblockedPorts[i] == port) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

int32_t exec_unblock_ports_cmd(const Request& request) {
    const uint32_t block = field32(request, offsetof(ZorvanePortOptions, block));
    const uint32_t nPorts = field32(request, offsetof(ZorvanePortOptions, nPorts));
    if (ZORVANE_PORT_OPTIONS_FIXED_SIZE + 2ull * nPorts > request.inputLength) {
        ZorvLog(ZORVANE_DBG_ERROR, "exec_unblock_ports_cmd %d ports do not fit\n",
                static_cast<int>(nPorts));
        return -1;
    }
    const uint8_t* ports = request.buffer + ZORVANE_PORT_OPTIONS_FIXED_SIZE;
    int32_t rc = 0;
    const int32_t tokenRc = withToken(request, 0, [&](FilterConfig* config) {
        if (block != 0) {
            // Drop each port's first occurrence, then close the gaps in order.
            bool removed[ZORVANE_MAX_UNBLOCKED_PORTS] = {};
            for (uint32_t i = 0; i < nPorts; ++i) {
                const uint16_t port = LoadLe16(ports + 2 * i);
                for (uint32_t j = 0; j < config->unblockedPortCount; ++j) {
                    if (!removed[j] && config->unblockedPorts[j] == port) {
                        removed[j] = true;
                        break;
                    }
                }
            }
            uint16_t kept = 0;
            for (uint32_t j = 0; j < config->unblockedPortCount; ++j) {
                if (!removed[j]) {
                    config->unblockedPorts[kept++] = config->unblockedPorts[j];
                }
            }
            config->unblockedPortCount = kept;
            return;
        }
        for (uint32_t i = 0; i < nPorts; ++i) {
            const uint16_t port = LoadLe16(ports + 2 * i);
            if (findPort(config, port) >= 0) {
                continue;
            }
            if (config->unblockedPortCount >= ZORVANE_MAX_UNBLOCKED_PORTS) {
                rc = -2;
                return;
            }
            config->unblockedPorts[config->unblockedPortCount++] = port;
        }
    });
    if (tokenRc < 0) {
        return tokenRc;
    }
    if (rc < 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "unblocked port list full\n");
        return rc;
    }
    ZorvLog(ZORVANE_DBG_INFO, "Adding port successful\n");
    return 0;
}

int32_t ExecGetUnblockedPortsCmd(const Request& request) {
    const uint32_t maxPorts = field32(request, offsetof(ZorvanePortList, maxPorts));
    const uint32_t room = (request.outputLength - ZORVANE_PORT_LIST_FIXED_SIZE) / 2;
    uint32_t n = 0;
    uint16_t ports[ZORVANE_MAX_UNBLOCKED_PORTS];
    const int32_t rc = withToken(request, 0, [&](FilterConfig* config) {
        n = config->unblockedPortCount;
        memcpy(ports, config->unblockedPorts, sizeof(ports));
    });
    if (rc < 0) {
        return rc;
    }
    if (n > maxPorts) {
        n = maxPorts;
    }
    if (n > room) {
        n = room;
    }
    for (uint32_t i = 0; i < n; ++i) {
        StoreLe16(request.buffer + ZORVANE_PORT_LIST_FIXED_SIZE + 2 * i, ports[i]);
    }
    StoreLe32(request.buffer + offsetof(ZorvanePortList, maxPorts), n);
    return static_cast<int32_t>(ZORVANE_PORT_LIST_FIXED_SIZE + 2 * n);
}

int32_t ExecSetServerAddressCmd(const Request& request) {
    const uint32_t address = field32(request, offsetof(ZorvaneServerDetails, address));
    const uint32_t altAddress = field32(request, offsetof(ZorvaneServerDetails, altAddress));
    const uint16_t port = field16(request, offsetof(ZorvaneServerDetails, port));
    const uint16_t altPort = field16(request, offsetof(ZorvaneServerDetails, altPort));
    const int32_t rc = withToken(request, 0, [&](FilterConfig* config) {
        config->serverPort = port;
        config->serverAddress = address;
        config->altServerPort = altPort;
        config->altServerAddress = altAddress;
        config->serverSet = 1;
    });
    if (rc >= 0) {
        ZorvLog(ZORVANE_DBG_INFO, "ExecSetServerAddressCmd %d,0x%8x,%d\n", port, address, altPort);
    }
    return rc;
}

int32_t ExecGetModuleStatusCmd(const Request& request) {
    uint32_t enabled = 0;
    const int32_t rc = withToken(request, sizeof(ZorvaneModuleStatus),
                                 [&](FilterConfig* config) { enabled = config->filterEnabled; });
    if (rc >= 0) {
        StoreLe32(request.buffer + offsetof(ZorvaneModuleStatus, enabled), enabled);
    }
    return rc;
}

int32_t ExecHttpsBlockedCmd(const Request& request) {
    if (textLength(request, ZORVANE_HTTPS_HOST_STATUS_FIXED_SIZE) < 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "ExecHttpsBlockedCmd host not terminated\n");
        return -1;
    }
    const auto status =
        static_cast<int32_t>(field32(request, offsetof(ZorvaneHttpsHostStatus, status)));
    const uint32_t childId = field32(request, offsetof(ZorvaneHttpsHostStatus, childId));
    const auto* host =
        reinterpret_cast<const char*>(request.buffer + ZORVANE_HTTPS_HOST_STATUS_FIXED_SIZE);
    return ZorvaneApplyHostVerdict(childId, host, ZorvaneHostStatusFromService(status));
}

int32_t ExecSetDeviceCmd(const Request& request) {
    const uint32_t deviceId = field32(request, offsetof(ZorvaneDeviceDetails, deviceId));
    const int32_t rc =
        withToken(request, 1, [&](FilterConfig* config) { config->deviceId = deviceId; });
    if (rc >= 0) {
        ZorvLog(ZORVANE_DBG_INFO, "device id = %d\n", static_cast<int>(deviceId));
    }
    return rc;
}

int32_t ExecSetExceptionIpCmd(const Request& request) {
    const uint32_t ip = field32(request, offsetof(ZorvaneExceptionIpDetails, ip));
    const int32_t rc =
        withToken(request, 1, [&](FilterConfig* config) { config->exceptionIp = ip; });
    if (rc >= 0) {
        ZorvLog(ZORVANE_DBG_INFO, "ExecSetExceptionIpCmd ip = %d\n", static_cast<int>(ip));
    }
    return rc;
}

int32_t ExecClearExceptionIpCmd(const Request& request) {
    return withToken(request, 1, [](FilterConfig* config) { config->exceptionIp = 0; });
}

int32_t ExecSetCurrentUserCmd(const Request& request) {
    const uint32_t childId = field32(request, offsetof(ZorvaneChildDetails, childId));
    const int32_t rc =
        withToken(request, 1, [&](FilterConfig* config) { config->currentChildId = childId; });
    if (rc >= 0) {
        ZorvLog(ZORVANE_DBG_INFO, "ExecSetCurrentUserCmd current child id = %d\n",
                static_cast<int>(childId));
    }
    return rc;
}

int32_t ExecSetRedirectPidCmd(const Request& request) {
    const uint32_t pid = field32(request, offsetof(ZorvaneChildDetails, childId));
    const int32_t rc =
        withToken(request, 1, [&](FilterConfig* config) { config->redirectPid = pid; });
    if (rc >= 0) {
        ZorvLog(ZORVANE_DBG_INFO, "ExecSetRedirectPidCmd pid = %d\n", static_cast<int>(pid));
    }
    return rc;
}

int32_t ExecSetWindowsVersionCmd(const Request& request) {
    const uint32_t version = field32(request, offsetof(ZorvaneChildDetails, childId));
    return withToken(request, 1, [&](FilterConfig* config) { config->windowsVersion = version; });
}

struct IoctlHandler {
    uint32_t code;
    const char* name;
    int32_t (*handler)(const Request& request);
    uint32_t inputSize;   // fixed part of the request
    uint32_t outputSize;  // room the reply needs
};

const IoctlHandler kHandlers[] = {
    {ZORVANE_IOCTL_GET_VERSION, "ZORVANE_IOCTL_GET_VERSION", ExecGetVersionCmd, 0,
     sizeof(ZorvaneModuleVersion)},
    {ZORVANE_IOCTL_GET_CHALLENGE, "ZORVANE_IOCTL_GET_CHALLENGE", exec_challenge_cmd, 0,
     sizeof(ZorvaneChallenge)},
    {ZORVANE_IOCTL_SEND_RESPONSE, "ZORVANE_IOCTL_SEND_RESPONSE", exec_response_cmd,
     sizeof(ZorvaneResponse), sizeof(ZorvaneResponseResult)},
    {ZORVANE_IOCTL_SET_USER, "ZORVANE_IOCTL_SET_USER", ExecSetUserCmd, ZORVANE_SYS_USER_FIXED_SIZE,
     1},
    {ZORVANE_IOCTL_SET_KEY, "ZORVANE_IOCTL_SET_KEY", ExecSetKeyCmd, sizeof(ZorvaneSetKey), 1},
    {ZORVANE_IOCTL_ENABLE_FILTER, "ZORVANE_IOCTL_ENABLE_FILTER", ExecEnableFilterCmd,
     sizeof(ZorvaneEnableFiltering), 1},
    {ZORVANE_IOCTL_SET_HTTPS_OPTIONS, "ZORVANE_IOCTL_SET_HTTPS_OPTIONS", ExecSetHttpsOptionsCmd,
     sizeof(ZorvaneHttpsOptions), 1},
    {ZORVANE_IOCTL_PORT_OPTIONS, "ZORVANE_IOCTL_PORT_OPTIONS", exec_unblock_ports_cmd,
     ZORVANE_PORT_OPTIONS_FIXED_SIZE, 0},
    {ZORVANE_IOCTL_GET_UNBLOCKED_PORTS, "ZORVANE_IOCTL_GET_UNBLOCKED_PORTS",
     ExecGetUnblockedPortsCmd, ZORVANE_PORT_LIST_FIXED_SIZE, ZORVANE_PORT_LIST_FIXED_SIZE},
    {ZORVANE_IOCTL_SET_SERVER_ADDRESS, "ZORVANE_IOCTL_SET_SERVER_ADDRESS", ExecSetServerAddressCmd,
     sizeof(ZorvaneServerDetails), 0},
    {ZORVANE_IOCTL_GET_MODULE_STATUS, "ZORVANE_IOCTL_GET_MODULE_STATUS", ExecGetModuleStatusCmd,
     sizeof(ZorvaneModuleStatus), sizeof(ZorvaneModuleStatus)},
    {ZORVANE_IOCTL_HTTPS_BLOCKED, "ZORVANE_IOCTL_HTTPS_BLOCKED", ExecHttpsBlockedCmd,
     ZORVANE_HTTPS_HOST_STATUS_FIXED_SIZE, 0},
    {ZORVANE_IOCTL_SET_DEVICE_CMD, "ZORVANE_IOCTL_SET_DEVICE_CMD", ExecSetDeviceCmd,
     sizeof(ZorvaneDeviceDetails), 1},
    {ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD, "ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD",
     ExecSetExceptionIpCmd, sizeof(ZorvaneExceptionIpDetails), 1},
    {ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD, "ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD",
     ExecClearExceptionIpCmd, sizeof(ZorvaneExceptionIpDetails), 1},
    {ZORVANE_IOCTL_SET_CURRENT_USER_CMD, "ZORVANE_IOCTL_SET_CURRENT_USER_CMD",
     ExecSetCurrentUserCmd, sizeof(ZorvaneChildDetails), 1},
    {ZORVANE_IOCTL_SET_REDIRECT_PID_CMD, "ZORVANE_IOCTL_SET_REDIRECT_PID_CMD",
     ExecSetRedirectPidCmd, sizeof(ZorvaneChildDetails), 1},
    {ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD, "ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD",
     ExecSetWindowsVersionCmd, sizeof(ZorvaneChildDetails), 1},
};

const IoctlHandler* findHandler(uint32_t code) {
    for (const IoctlHandler& entry : kHandlers) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

const char* ZorvaneIoctlName(uint32_t code) {
    const IoctlHandler* entry = findHandler(code);
    return entry != nullptr ? entry->name : nullptr;
}

int32_t DispatchIoctl(uint32_t code, void* buffer, uint32_t inputLength, uint32_t outputLength) {
    const IoctlHandler* entry = findHandler(code);
    if (entry == nullptr) {
        ZorvLog(ZORVANE_DBG_ERROR, "Un-Recognized IOCTL call\n");
        return -1;
    }
    ZorvLog(ZORVANE_DBG_INFO, "%s called \n", entry->name);
    if (buffer == nullptr || inputLength < entry->inputSize || outputLength < entry->outputSize) {
        ZorvLog(ZORVANE_DBG_ERROR, "%s record too short %d %d\n", entry->name,
                static_cast<int>(inputLength), static_cast<int>(outputLength));
        return -1;
    }
    const Request request{static_cast<uint8_t*>(buffer), inputLength, outputLength};
    return entry->handler(request);
}

E_ZorvaneIoStatus ZorvaneDeviceControl(uint32_t code, void* buffer, uint32_t inputLength,
                                       uint32_t outputLength, uint32_t* bytesReturned) {
    *bytesReturned = 0;
    if (inputLength == 0 || outputLength == 0) {
        return ZORVANE_IO_INVALID_PARAMETER;
    }
    const int32_t rc = DispatchIoctl(code, buffer, inputLength, outputLength);
    if (rc < 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "IOCTL FAILED - rc = %d\n", rc);
        return ZORVANE_IO_INVALID_DEVICE_REQUEST;
    }
    ZorvLog(ZORVANE_DBG_INFO, "IOCTL SUCCESSFUL - rc = %d\n", rc);
    *bytesReturned = static_cast<uint32_t>(rc);
    return ZORVANE_IO_SUCCESS;
}

uint32_t ZorvaneDeviceRead(void* buffer, uint32_t length) {
    ZorvLog(ZORVANE_DBG_TRACE, "###device read called\n");
    ZorvLog(ZORVANE_DBG_TRACE, "read size %d\n", static_cast<int>(length));
    ZorvaneReadStep(buffer, length);
    return length;
}
