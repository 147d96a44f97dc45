#include "FlatPacket.h"

#include <cstring>

#include "Packet.h"
#include "os_interface.h"

namespace {

constexpr uint32_t kIpMinHeader = 20;
constexpr uint32_t kTcpMinHeader = 20;
constexpr uint8_t kProtocolTcp = 6;

uint32_t ipHeaderLength(const ZorvaneFlatPacket* packet) {
    if (packet == nullptr || packet->data == nullptr || packet->length < kIpMinHeader ||
        (packet->data[0] >> 4) != 4) {
        return 0;
    }
    const uint32_t length = (packet->data[0] & 0x0Fu) * 4;
    return length >= kIpMinHeader && length <= packet->length ? length : 0;
}

// End of the IP datagram inside the buffer (a buffer may carry padding).
uint32_t datagramEnd(const ZorvaneFlatPacket* packet) {
    const uint32_t total = static_cast<uint32_t>(packet->data[2] << 8 | packet->data[3]);
    return total < packet->length ? total : packet->length;
}

}  // namespace

uint8_t* FlatPacketIpHeader(ZorvaneFlatPacket* packet) {
    return ipHeaderLength(packet) != 0 ? packet->data : nullptr;
}

uint8_t* FlatPacketTcpHeader(ZorvaneFlatPacket* packet) {
    const uint32_t ipLength = ipHeaderLength(packet);
    if (ipLength == 0 || packet->data[9] != kProtocolTcp) {
        return nullptr;
    }
    if (datagramEnd(packet) < ipLength + kTcpMinHeader) {
        return nullptr;
    }
    uint8_t* tcp = packet->data + ipLength;
    const uint32_t tcpLength = (tcp[12] >> 4) * 4u;
    if (tcpLength < kTcpMinHeader || ipLength + tcpLength > datagramEnd(packet)) {
        return nullptr;
    }
    return tcp;
}

bool FlatPacketCopyTcpPayload(ZorvaneFlatPacket* packet, void* buffer, uint32_t length) {
    const uint8_t* tcp = FlatPacketTcpHeader(packet);
    if (tcp == nullptr) {
        return false;
    }
    const uint32_t start = static_cast<uint32_t>(tcp - packet->data) + (tcp[12] >> 4) * 4u;
    const uint32_t available = datagramEnd(packet) - start;
    const uint32_t copied = available < length ? available : length;
    memcpy(buffer, packet->data + start, copied);
    memset(static_cast<uint8_t*>(buffer) + copied, 0, length - copied);
    return true;
}

namespace {

// Start and end of the TCP payload, or false.
bool payloadSpan(ZorvaneFlatPacket* packet, uint32_t* start, uint32_t* end) {
    const uint8_t* tcp = FlatPacketTcpHeader(packet);
    if (tcp == nullptr) {
        return false;
    }
    *start = static_cast<uint32_t>(tcp - packet->data) + (tcp[12] >> 4) * 4u;
    *end = datagramEnd(packet);
    return true;
}

}  // namespace

uint32_t FlatPacketReadTcpPayload(ZorvaneFlatPacket* packet, uint32_t offset, void* buffer,
                                  uint32_t length) {
    uint32_t start = 0;
    uint32_t end = 0;
    if (!payloadSpan(packet, &start, &end) || offset >= end - start) {
        return 0;
    }
    const uint32_t available = end - start - offset;
    const uint32_t copied = available < length ? available : length;
    memcpy(buffer, packet->data + start + offset, copied);
    return copied;
}

uint32_t FlatPacketTcpPayloadLength(ZorvaneFlatPacket* packet) {
    uint32_t start = 0;
    uint32_t end = 0;
    return payloadSpan(packet, &start, &end) ? end - start : 0;
}

bool FlatPacketSetLength(ZorvaneFlatPacket* packet, uint32_t length) {
    if (packet == nullptr || length > packet->length) {
        return false;
    }
    packet->length = length;
    return true;
}

ZorvaneFlatPacket* FlatPacketMake(const uint8_t* bytes, uint32_t length) {
    auto* packet = static_cast<ZorvaneFlatPacket*>(OsAllocate(sizeof(ZorvaneFlatPacket)));
    if (packet == nullptr) {
        return nullptr;
    }
    packet->data = static_cast<uint8_t*>(OsAllocate(length > 0 ? length : 1));
    if (packet->data == nullptr) {
        OsFree(packet);
        return nullptr;
    }
    if (length > 0) {
        memcpy(packet->data, bytes, length);
    }
    packet->length = length;
    return packet;
}

ZorvaneFlatPacket* FlatPacketCopy(const ZorvaneFlatPacket* packet) {
    return packet != nullptr ? FlatPacketMake(packet->data, packet->length) : nullptr;
}

void FlatPacketFree(ZorvaneFlatPacket* packet) {
    if (packet != nullptr) {
        OsFree(packet->data);
        OsFree(packet);
    }
}

ZorvanePacket* ZorvaneMakeFlatPacket(uint32_t layerId, const uint8_t* bytes, uint32_t length) {
    ZorvaneFlatPacket view{const_cast<uint8_t*>(bytes), length, false};
    const uint32_t ipLength = ipHeaderLength(&view);
    if (ipLength == 0) {
        return nullptr;
    }
    ZorvanePacket* packet = ZorvaneAllocatePacket();
    if (packet == nullptr) {
        return nullptr;
    }
    packet->netBufferList = FlatPacketMake(bytes, length);
    if (packet->netBufferList == nullptr) {
        ZorvaneFreePacket(packet);
        return nullptr;
    }
    const bool inbound = layerId == ZORVANE_LAYER_INBOUND_IPPACKET_V4 ||
                         layerId == ZORVANE_LAYER_INBOUND_IPPACKET_V4_DISCARD;
    packet->family = ZORVANE_AF_INET;
    packet->type = ZORVANE_PACKET_DATA;
    packet->layerId = layerId;
    packet->direction = inbound ? ZORVANE_INBOUND : ZORVANE_OUTBOUND;
    packet->protocol = bytes[9];
    packet->ipHeaderSize = ipLength;
    // Addresses stay in network order, as they are in the datagram.
    uint32_t source = 0;
    uint32_t destination = 0;
    memcpy(&source, bytes + 12, 4);
    memcpy(&destination, bytes + 16, 4);
    packet->localAddress = inbound ? destination : source;
    packet->remoteAddress = inbound ? source : destination;
    const uint8_t* tcp =
        FlatPacketTcpHeader(static_cast<ZorvaneFlatPacket*>(packet->netBufferList));
    if (tcp != nullptr) {
        const auto sourcePort = static_cast<uint16_t>(tcp[0] << 8 | tcp[1]);
        const auto destinationPort = static_cast<uint16_t>(tcp[2] << 8 | tcp[3]);
        packet->localPort = inbound ? destinationPort : sourcePort;
        packet->remotePort = inbound ? sourcePort : destinationPort;
        packet->transportHeaderSize = (tcp[12] >> 4) * 4u;
    } else {
        packet->transportHeaderSize = 20;
    }
    return packet;
}
