#pragma once

// The control device of the filter as both ends see it: names, control codes,
// request and reply records, read records. Every record is packed and
// little-endian; a text field is NUL-terminated and follows the fixed part.

#include <cstddef>
#include <cstdint>

// Kernel device object, its symbolic link, and the path user mode opens.
#define ZORVANE_DEVICE_NAME "\\Device\\ZORVFLTR"
#define ZORVANE_DEVICE_LINK_NAME "\\DosDevices\\ZorvaneFilter"
#define ZORVANE_DEVICE_PATH "\\\\.\\ZorvaneFilter"

enum E_ZorvaneIoctlCmds : uint32_t {
    ZORVANE_IOCTL_GET_VERSION_FN = 2304,
    ZORVANE_IOCTL_GET_CHALLENGE_FN = 2305,
    ZORVANE_IOCTL_SEND_RESPONSE_FN = 2306,
    ZORVANE_IOCTL_SET_USER_FN = 2307,
    ZORVANE_IOCTL_SET_KEY_FN = 2308,
    ZORVANE_IOCTL_ENABLE_FILTER_FN = 2309,
    ZORVANE_IOCTL_SET_HTTPS_OPTIONS_FN = 2310,
    ZORVANE_IOCTL_PORT_OPTIONS_FN = 2311,
    ZORVANE_IOCTL_GET_UNBLOCKED_PORTS_FN = 2312,
    ZORVANE_IOCTL_SET_SERVER_ADDRESS_FN = 2313,
    ZORVANE_IOCTL_GET_MODULE_STATUS_FN = 2314,
    ZORVANE_IOCTL_HTTPS_BLOCKED_FN = 2315,
    ZORVANE_IOCTL_CLEAR_USERS_FN = 2316,
    ZORVANE_IOCTL_SET_DEVICE_CMD_FN = 2317,
    ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD_FN = 2318,
    ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD_FN = 2319,
    ZORVANE_IOCTL_SET_CURRENT_USER_CMD_FN = 2320,
    ZORVANE_IOCTL_SET_REDIRECT_PID_CMD_FN = 2321,
    ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD_FN = 2322,
};

// A Windows device-control code: device type 40000, buffered, any access.
constexpr uint32_t ZORVANE_IOCTL_DEVICE_TYPE = 40000;
constexpr uint32_t ZorvaneIoctlCode(uint32_t function) {
    return (ZORVANE_IOCTL_DEVICE_TYPE << 16) | (function << 2);
}

constexpr uint32_t ZORVANE_IOCTL_GET_VERSION = ZorvaneIoctlCode(ZORVANE_IOCTL_GET_VERSION_FN);
constexpr uint32_t ZORVANE_IOCTL_GET_CHALLENGE = ZorvaneIoctlCode(ZORVANE_IOCTL_GET_CHALLENGE_FN);
constexpr uint32_t ZORVANE_IOCTL_SEND_RESPONSE = ZorvaneIoctlCode(ZORVANE_IOCTL_SEND_RESPONSE_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_USER = ZorvaneIoctlCode(ZORVANE_IOCTL_SET_USER_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_KEY = ZorvaneIoctlCode(ZORVANE_IOCTL_SET_KEY_FN);
constexpr uint32_t ZORVANE_IOCTL_ENABLE_FILTER = ZorvaneIoctlCode(ZORVANE_IOCTL_ENABLE_FILTER_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_HTTPS_OPTIONS =
    ZorvaneIoctlCode(ZORVANE_IOCTL_SET_HTTPS_OPTIONS_FN);
constexpr uint32_t ZORVANE_IOCTL_PORT_OPTIONS = ZorvaneIoctlCode(ZORVANE_IOCTL_PORT_OPTIONS_FN);
constexpr uint32_t ZORVANE_IOCTL_GET_UNBLOCKED_PORTS =
    ZorvaneIoctlCode(ZORVANE_IOCTL_GET_UNBLOCKED_PORTS_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_SERVER_ADDRESS =
    ZorvaneIoctlCode(ZORVANE_IOCTL_SET_SERVER_ADDRESS_FN);
constexpr uint32_t ZORVANE_IOCTL_GET_MODULE_STATUS =
    ZorvaneIoctlCode(ZORVANE_IOCTL_GET_MODULE_STATUS_FN);
constexpr uint32_t ZORVANE_IOCTL_HTTPS_BLOCKED = ZorvaneIoctlCode(ZORVANE_IOCTL_HTTPS_BLOCKED_FN);
constexpr uint32_t ZORVANE_IOCTL_CLEAR_USERS = ZorvaneIoctlCode(ZORVANE_IOCTL_CLEAR_USERS_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_DEVICE_CMD = ZorvaneIoctlCode(ZORVANE_IOCTL_SET_DEVICE_CMD_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD =
    ZorvaneIoctlCode(ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD_FN);
constexpr uint32_t ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD =
    ZorvaneIoctlCode(ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_CURRENT_USER_CMD =
    ZorvaneIoctlCode(ZORVANE_IOCTL_SET_CURRENT_USER_CMD_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_REDIRECT_PID_CMD =
    ZorvaneIoctlCode(ZORVANE_IOCTL_SET_REDIRECT_PID_CMD_FN);
constexpr uint32_t ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD =
    ZorvaneIoctlCode(ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD_FN);

static_assert(ZORVANE_IOCTL_GET_VERSION == 0x9C402400u, "control code formula");
static_assert(ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD == 0x9C402448u, "control code formula");

// How the device completes a control request (the failure the caller sees).
enum E_ZorvaneIoStatus : uint32_t {
    ZORVANE_IO_SUCCESS = 0,
    ZORVANE_IO_INVALID_PARAMETER = 1,       // an input or output length of 0
    ZORVANE_IO_INVALID_DEVICE_REQUEST = 2,  // the filter refused the request
};

// The access lock's challenge; configuration records carry it as authToken.
constexpr uint32_t ZORVANE_AUTH_CHALLENGE = 7305;
constexpr uint32_t ZORVANE_MODULE_MAJOR_VERSION = 2;
constexpr uint32_t ZORVANE_MODULE_MINOR_VERSION = 0;
// The unblocked-port list never holds more ports than this.
constexpr uint32_t ZORVANE_MAX_UNBLOCKED_PORTS = 16;
// Control buffer of the service and the read length it uses.
constexpr uint32_t ZORVANE_CONTROL_BUFFER_SIZE = 512;
constexpr uint32_t ZORVANE_READ_BUFFER_SIZE = 512;

// Read record commands, filter to service. Scoped: the service's own command
// ids reuse some of these names in its global enumeration.
enum class E_ZorvaneModuleReadCommand : uint32_t {
    ZORVANE_READ_INTERFACE_UP_CMD = 1,
    ZORVANE_READ_HTTPS_HOST_STATUS_CMD = 2,
    ZORVANE_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD = 3,
    ZORVANE_READ_NOTIFY_ERROR_CMD = 4,
    ZORVANE_READ_CHECK_EXIT_CMD = 5,
    ZORVANE_READ_ALL_SERVER_DOWN_CMD = 6,
    ZORVANE_READ_NOTIFY_REDIRECT_PID = 7,
};

#pragma pack(push, 1)

// The service's control buffer: request length, then the record; after the
// call, the returned byte count and the reply.
struct ZorvaneIoctlArgument {
    uint32_t length;
    char argument[ZORVANE_CONTROL_BUFFER_SIZE - 4];
};

struct ZorvaneModuleVersion {
    uint32_t majVer;
    uint32_t minVer;
};

struct ZorvaneChallenge {
    uint32_t challenge;  // 0 in the request
};

struct ZorvaneResponse {
    uint32_t response;
};

// Reply of SEND_RESPONSE.
struct ZorvaneResponseResult {
    uint8_t result;  // 0 accepted, 255 refused
};
constexpr uint8_t ZORVANE_RESPONSE_ACCEPTED = 0;
constexpr uint8_t ZORVANE_RESPONSE_REFUSED = 255;

struct ZorvaneSysUserDetails {
    uint32_t authToken;
    uint32_t childId;
    uint16_t curr;
    uint16_t total;
    char sid[1];  // the SID text with its NUL starts here
};

struct ZorvaneSetKey {
    uint32_t authToken;
    uint32_t flag;  // must be 1
    uint8_t key[16];
};

struct ZorvaneEnableFiltering {
    uint32_t authToken;
    uint32_t enableFiltering;
};

struct ZorvaneHttpsOptions {
    uint32_t authToken;
    uint32_t value;
};

struct ZorvanePortOptions {
    uint32_t authToken;
    uint32_t block;
    uint32_t nPorts;
    uint16_t ports[1];  // nPorts ports start here
};

struct ZorvanePortList {
    uint32_t authToken;
    uint32_t maxPorts;
    uint16_t ports[1];  // maxPorts ports start here
};

// Addresses have the first octet in the most significant byte.
struct ZorvaneServerDetails {
    uint32_t authToken;
    uint32_t address;
    uint32_t altAddress;
    uint16_t port;
    uint16_t altPort;
};

struct ZorvaneModuleStatus {
    uint32_t authToken;
    uint32_t enabled;
};

struct ZorvaneHttpsHostStatus {
    uint32_t authToken;
    int32_t status;  // an HTTPS host filter status of the service
    uint32_t childId;
    char host[1];  // the host text with its NUL starts here
};

struct ZorvaneDeviceDetails {
    uint32_t authToken;
    uint32_t deviceId;
};

// Also carries a process id or a Windows version in childId.
struct ZorvaneChildDetails {
    uint32_t authToken;
    uint32_t childId;
};

struct ZorvaneExceptionIpDetails {
    uint32_t authToken;
    uint32_t ip;
};

// What a completed read delivers: cmd, value, then the payload (a text with
// its NUL, or a process id).
struct ZorvaneReadRecord {
    uint32_t cmd;
    uint32_t value;
    char data[ZORVANE_READ_BUFFER_SIZE - 8];
};

#pragma pack(pop)

static_assert(sizeof(ZorvaneIoctlArgument) == 512, "wire layout");
static_assert(sizeof(ZorvaneModuleVersion) == 8, "wire layout");
static_assert(sizeof(ZorvaneChallenge) == 4, "wire layout");
static_assert(sizeof(ZorvaneResponse) == 4, "wire layout");
static_assert(sizeof(ZorvaneResponseResult) == 1, "wire layout");
static_assert(offsetof(ZorvaneSysUserDetails, curr) == 8, "wire layout");
static_assert(offsetof(ZorvaneSysUserDetails, total) == 10, "wire layout");
static_assert(offsetof(ZorvaneSysUserDetails, sid) == 12, "wire layout");
static_assert(sizeof(ZorvaneSetKey) == 24, "wire layout");
static_assert(sizeof(ZorvaneEnableFiltering) == 8, "wire layout");
static_assert(sizeof(ZorvaneHttpsOptions) == 8, "wire layout");
static_assert(offsetof(ZorvanePortOptions, ports) == 12, "wire layout");
static_assert(offsetof(ZorvanePortList, ports) == 8, "wire layout");
static_assert(sizeof(ZorvaneServerDetails) == 16, "wire layout");
static_assert(offsetof(ZorvaneServerDetails, port) == 12, "wire layout");
static_assert(sizeof(ZorvaneModuleStatus) == 8, "wire layout");
static_assert(offsetof(ZorvaneHttpsHostStatus, host) == 12, "wire layout");
static_assert(sizeof(ZorvaneDeviceDetails) == 8, "wire layout");
static_assert(sizeof(ZorvaneChildDetails) == 8, "wire layout");
static_assert(sizeof(ZorvaneExceptionIpDetails) == 8, "wire layout");
static_assert(sizeof(ZorvaneReadRecord) == 512, "wire layout");
static_assert(offsetof(ZorvaneReadRecord, data) == 8, "wire layout");

// Fixed parts: the bytes a request must hold before any text or port list.
constexpr uint32_t ZORVANE_SYS_USER_FIXED_SIZE = offsetof(ZorvaneSysUserDetails, sid);
constexpr uint32_t ZORVANE_PORT_OPTIONS_FIXED_SIZE = offsetof(ZorvanePortOptions, ports);
constexpr uint32_t ZORVANE_PORT_LIST_FIXED_SIZE = offsetof(ZorvanePortList, ports);
constexpr uint32_t ZORVANE_HTTPS_HOST_STATUS_FIXED_SIZE = offsetof(ZorvaneHttpsHostStatus, host);
constexpr uint32_t ZORVANE_READ_RECORD_HEAD_SIZE = offsetof(ZorvaneReadRecord, data);
