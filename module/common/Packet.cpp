#include "Packet.h"

#include "BlockPool.h"
#include "os_interface.h"

ZorvanePacket* ZorvaneAllocatePacket() {
    auto* packet = static_cast<ZorvanePacket*>(AllocateZeroedMemory(sizeof(ZorvanePacket)));
    if (packet != nullptr) {
        packet->state = ZORVANE_DATA_AT_TRANSPORT;
    }
    return packet;
}

void ZorvaneFreePacket(ZorvanePacket* packet) {
    if (packet == nullptr) {
        return;
    }
    OsPacketRelease(packet);
    FreeMemory(packet);
}

namespace {

uint16_t bigEndian16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

uint16_t ZorvanePacketSourcePort(ZorvanePacket* packet) {
    const uint8_t* tcp = OsPacketTcpHeader(packet);
    return tcp != nullptr ? bigEndian16(tcp) : 0;
}

uint16_t ZorvanePacketDestinationPort(ZorvanePacket* packet) {
    const uint8_t* tcp = OsPacketTcpHeader(packet);
    return tcp != nullptr ? bigEndian16(tcp + 2) : 0;
}

uint16_t ZorvanePacketRemotePort(const ZorvanePacket* packet) {
    return packet->remotePort;
}
