#include <cstring>

#include "ChildMaps.h"
#include "Classify.h"
#include "FilterConfig.h"
#include "Https.h"
#include "Injection.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

constexpr uint8_t kProtocolTcp = 6;

uint16_t load16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

// The connection of a packet seen from the PC: for an outbound packet the
// source port is local, for an inbound one the destination port.
bool connectionOf(ZorvanePacket* packet, bool outbound, ZorvaneConnKey* key) {
    const uint8_t* ip = OsPacketIpHeader(packet);
    const uint8_t* tcp = OsPacketTcpHeader(packet);
    if (ip == nullptr || tcp == nullptr) {
        return false;
    }
    uint32_t remote = 0;
    memcpy(&remote, ip + (outbound ? 16 : 12), sizeof(remote));
    key->localPort = load16(tcp + (outbound ? 0 : 2));
    key->remotePort = load16(tcp + (outbound ? 2 : 0));
    key->remoteAddress = remote;
    return true;
}

uint32_t ProcessHttpsOutBoundPacketWindows(uint32_t first, ZorvanePacket* packet, uint32_t childId);
uint32_t ProcessHttpsInBoundPacketWindows(uint32_t first, ZorvanePacket* packet, uint32_t childId);

struct PortHandler {
    uint16_t port;
    uint32_t (*firstStep)(ZorvanePacket* packet);
    uint32_t (*secondStep)(uint32_t first, ZorvanePacket* packet, uint32_t childId);
};

uint32_t alwaysOne(ZorvanePacket* /*packet*/) {
    return 1;
}

uint32_t oneForTcp(ZorvanePacket* packet) {
    const uint8_t* ip = OsPacketIpHeader(packet);
    return ip != nullptr && ip[9] == kProtocolTcp ? 1 : 2;
}

const PortHandler kOutboundHandlers[] = {
    {ZORVANE_HTTPS_PORT, alwaysOne, ProcessHttpsOutBoundPacketWindows},
};
const PortHandler kInboundHandlers[] = {
    {ZORVANE_HTTPS_PORT, oneForTcp, ProcessHttpsInBoundPacketWindows},
};

// No inspection at all on the Windows versions 21 and 22.
template <size_t N>
const PortHandler* findHandler(const PortHandler (&table)[N], uint16_t port) {
    FilterConfig config;
    ZorvaneGetConfig(&config);
    if (config.windowsVersion == 21 || config.windowsVersion == 22) {
        return nullptr;
    }
    for (const PortHandler& handler : table) {
        if (handler.port == port) {
            return &handler;
        }
    }
    return nullptr;
}

// The ClientHello step over a hello whole in one segment.
void clientHelloStep(const ZorvaneConnKey& key, uint32_t childId, ZorvanePacket* packet) {
    const uint32_t length = OsPacketTcpPayloadLength(packet);
    const uint32_t wanted = length < ZORVANE_TLS_MAX_RECORD ? length : ZORVANE_TLS_MAX_RECORD;
    auto* record = static_cast<uint8_t*>(OsAllocate(wanted > 0 ? wanted : 1));
    const uint32_t read = record != nullptr ? OsPacketReadTcpPayload(packet, 0, record, wanted) : 0;
    const uint8_t* tcp = OsPacketTcpHeader(packet);
    const uint32_t seq =
        tcp != nullptr ? static_cast<uint32_t>(load16(tcp + 4)) << 16 | load16(tcp + 6) : 0;
    ZorvaneJudgeClientHello(key, childId, seq, record, record != nullptr ? read : 0);
    OsFree(record);
}

uint32_t ProcessHttpsOutBoundPacketWindows(uint32_t /*first*/, ZorvanePacket* packet,
                                           uint32_t childId) {
    ZorvLog(ZORVANE_DBG_TRACE, "ProcessHttpsOutBoundPacketWindows\n");
    ZorvaneConnKey key{};
    if (!connectionOf(packet, true, &key) || !OsPacketClone(packet)) {
        return ZORVANE_HTTPS_BLOCK;
    }
    uint32_t verdict = ZORVANE_HTTPS_PERMIT;
    for (bool more = OsPacketFirstCloneBuffer(packet); more;
         more = OsPacketNextCloneBuffer(packet)) {
        switch (ZorvaneOfferHelloSegment(key, childId, packet)) {
            case ZORVANE_HELLO_HELD:
                // The assembly owns the packet now; it is queued with its hello.
                return ZORVANE_HTTPS_ABSORBED;
            case ZORVANE_HELLO_DUPLICATE:
                verdict = ZORVANE_HTTPS_BLOCK;
                continue;
            case ZORVANE_HELLO_PASS:
                verdict = ZORVANE_HTTPS_PERMIT;
                continue;
            case ZORVANE_HELLO_NOT_MINE:
                break;
        }
        const uint32_t type = HttpsPacketType(packet);
        if (type == ZORVANE_SSL_CLIENT_HELLO) {
            ZorvLog(ZORVANE_DBG_TRACE, "client hello\n");
            clientHelloStep(key, childId, packet);
            verdict = ZORVANE_HTTPS_PERMIT;
        } else if (type == ZORVANE_SSL_APPLICATION) {
            const int32_t status = StatusOfPort(key);
            ZorvLog(ZORVANE_DBG_TRACE, "SSL_PACKET_APPLICATION %d\n", static_cast<int>(status));
            if (status == ZORVANE_HOST_ALLOWED || status == ZORVANE_HOST_ALLOWED_NOCACHE) {
                verdict = ZORVANE_HTTPS_PERMIT;
            } else if (status == ZORVANE_HOST_PENDING) {
                verdict = ZORVANE_HTTPS_HOLD;
            } else {
                ZorvLog(ZORVANE_DBG_TRACE, "ssl PACKET_BLOCKED %d\n", static_cast<int>(status));
                verdict = ZORVANE_HTTPS_BLOCKED;
            }
        } else {
            ZorvLog(ZORVANE_DBG_TRACE, "https packet uncategorized\n");
            verdict = ZORVANE_HTTPS_PERMIT;
        }
    }
    ZorvLog(ZORVANE_DBG_TRACE, "ProcessHttpsOutBoundPacketWindows %d\n", static_cast<int>(verdict));
    return verdict;
}

uint32_t ProcessHttpsInBoundPacketWindows(uint32_t first, ZorvanePacket* packet,
                                          uint32_t /*childId*/) {
    if (first == 2) {
        return ZORVANE_HTTPS_PERMIT;
    }
    ZorvaneConnKey key{};
    if (!connectionOf(packet, false, &key) || !OsPacketCloneWithIpHeader(packet)) {
        return ZORVANE_HTTPS_BLOCK;
    }
    uint32_t verdict = ZORVANE_HTTPS_PERMIT;
    for (bool more = OsPacketFirstCloneBuffer(packet); more;
         more = OsPacketNextCloneBuffer(packet)) {
        ZorvLog(ZORVANE_DBG_TRACE, "ProcessHttpsInBoundPacketWindows\n");
        const uint32_t type = HttpsPacketType(packet);
        if (type == ZORVANE_SSL_CLIENT_HELLO) {
            verdict = ZORVANE_HTTPS_PERMIT;
        } else if (type == ZORVANE_SSL_APPLICATION || type == ZORVANE_SSL_SERVER_HELLO) {
            const int32_t status = StatusOfPort(key);
            if (type == ZORVANE_SSL_APPLICATION) {
                ZorvLog(ZORVANE_DBG_TRACE, "SSL_PACKET_APPLICATION inbound %d\n",
                        static_cast<int>(status));
            } else {
                ZorvLog(ZORVANE_DBG_TRACE, "server hello\n");
            }
            if (status == ZORVANE_HOST_ALLOWED || status == ZORVANE_HOST_ALLOWED_NOCACHE) {
                verdict = ZORVANE_HTTPS_PERMIT;
            } else if (status == ZORVANE_HOST_PENDING) {
                verdict = ZORVANE_HTTPS_HOLD;
            } else if ((status == ZORVANE_HOST_BLOCKED || status == ZORVANE_HOST_BLOCKED_NOCACHE) &&
                       type == ZORVANE_SSL_SERVER_HELLO) {
                verdict = BlockedResponse(packet) ? ZORVANE_HTTPS_INJECT : ZORVANE_HTTPS_BLOCKED;
            } else {
                if (status != ZORVANE_HOST_BLOCKED && status != ZORVANE_HOST_BLOCKED_NOCACHE) {
                    ZorvLog(ZORVANE_DBG_TRACE, "ssl PACKET_BLOCKED %d\n", static_cast<int>(status));
                }
                verdict = ZORVANE_HTTPS_BLOCKED;
            }
        } else {
            ZorvLog(ZORVANE_DBG_TRACE, "https packet uncategorized\n");
            verdict = ZORVANE_HTTPS_PERMIT;
        }
    }
    ZorvLog(ZORVANE_DBG_TRACE, "ProcessHttpsInBoundPacketWindows %d\n", static_cast<int>(verdict));
    return verdict;
}

uint32_t HandleOutboundPacket(ZorvanePacket* packet) {
    const uint16_t localPort = ZorvanePacketSourcePort(packet);
    const uint32_t childId = GetChildIdForPort(localPort);
    ZorvLog(ZORVANE_DBG_TRACE, "HandleOutboundPacket %d %d\n", localPort,
            static_cast<int>(childId));
    if (childId == 0) {
        ZorvLog(ZORVANE_DBG_TRACE, "filter disabled\n");
        return ZORVANE_HTTPS_PERMIT;
    }
    const PortHandler* handler =
        findHandler(kOutboundHandlers, ZorvanePacketDestinationPort(packet));
    if (handler == nullptr) {
        return ZORVANE_HTTPS_NO_HANDLER;
    }
    return handler->secondStep(handler->firstStep(packet), packet, childId);
}

uint32_t HandleInboundPacket(ZorvanePacket* packet) {
    const uint16_t localPort = ZorvanePacketDestinationPort(packet);
    const uint32_t childId = GetChildIdForPort(localPort);
    ZorvLog(ZORVANE_DBG_TRACE, "HandleInboundPacket %d %d\n", localPort, static_cast<int>(childId));
    if (childId == 0) {
        ZorvLog(ZORVANE_DBG_TRACE, "filter disabled\n");
        return ZORVANE_HTTPS_PERMIT;
    }
    const PortHandler* handler = findHandler(kInboundHandlers, ZorvanePacketSourcePort(packet));
    if (handler == nullptr) {
        return ZORVANE_HTTPS_NO_HANDLER;
    }
    return handler->secondStep(handler->firstStep(packet), packet, childId);
}

void permit(ZorvaneClassifyDecision* decision) {
    decision->action = ZORVANE_ACTION_PERMIT;
    decision->decided = true;
}

void block(ZorvaneClassifyDecision* decision, bool absorb) {
    decision->action = ZORVANE_ACTION_BLOCK;
    decision->absorb = absorb;
    decision->decided = true;
}

// Common steps of both classify functions; false when the packet is not
// looked at (no write right, no packet, or one of our own injections).
bool examine(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision) {
    *decision = ZorvaneClassifyDecision{};
    if (!input->writable) {
        return false;  // decided stays false: nothing may be changed
    }
    permit(decision);
    if (input->packet == nullptr || OsPacketInjectedBySelf(input->packet)) {
        return false;
    }
    ZorvaneHttpsHousekeeping();
    return true;
}

}  // namespace

void ZorvaneInitHttps() {
    ZorvaneInitHelloAssembly();
    ZorvaneInitHeldPackets();
    ZorvaneInitPortList();
    ZorvaneInitHostList();
}

void ZorvaneFreeHttps() {
    ZorvaneFreeHelloAssembly();
    ZorvaneFreeHeldPackets();
    ZorvaneFreePortList();
    ZorvaneFreeHostList();
}

void ZorvaneHttpsHousekeeping() {
    ZorvaneExpireHelloAssemblies();
    ZorvaneExpireHeldPackets();
}

void ZorvaneTransportClassify(const ZorvaneClassifyInput* input,
                              ZorvaneClassifyDecision* decision) {
    ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneTransportClassify\n");
    if (!examine(input, decision)) {
        return;
    }
    ZorvanePacket* packet = input->packet;
    const uint32_t verdict = HandleOutboundPacket(packet);
    switch (verdict) {
        case ZORVANE_HTTPS_BLOCK:
        case ZORVANE_HTTPS_BLOCKED:
            block(decision, false);
            break;
        case ZORVANE_HTTPS_HOLD: {
            ZorvaneConnKey key{};
            if (connectionOf(packet, true, &key) && HoldHttpsPacket(key, packet)) {
                block(decision, true);
            }
            break;
        }
        case ZORVANE_HTTPS_ABSORBED:
            block(decision, true);
            break;
        default:
            break;
    }
}

void ZorvaneIpClassify(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision) {
    ZorvLog(ZORVANE_DBG_TRACE, "ZorvaneIpClassify\n");
    if (!examine(input, decision)) {
        return;
    }
    switch (HandleInboundPacket(input->packet)) {
        case ZORVANE_HTTPS_BLOCK:
        case ZORVANE_HTTPS_BLOCKED:
            block(decision, false);
            break;
        case ZORVANE_HTTPS_HOLD:
            decision->decided = false;
            break;
        case ZORVANE_HTTPS_INJECT:
            if (SendPacket(input->packet)) {
                block(decision, true);
            }
            break;
        default:
            break;
    }
}

bool ZorvaneClassifyHttpsPacket(ZorvanePacket* packet, bool outbound,
                                ZorvaneClassifyDecision* decision) {
    ZorvaneClassifyInput input{};
    input.layer = outbound ? ZORVANE_LAYER_OUTBOUND_TRANSPORT : ZORVANE_LAYER_INBOUND_IP;
    input.direction = outbound ? ZORVANE_OUTBOUND : ZORVANE_INBOUND;
    input.writable = true;
    input.packet = packet;
    if (outbound) {
        ZorvaneTransportClassify(&input, decision);
    } else {
        ZorvaneIpClassify(&input, decision);
    }
    return decision->decided && decision->action == ZORVANE_ACTION_BLOCK && decision->absorb;
}
