// The packet operations of os_interface for platforms that hold each packet
// whole in one buffer (the Linux host and the tests): the packet's
// netBufferList, clone and current buffer are ZorvaneFlatPacket records.

#include "FlatPacket.h"
#include "Packet.h"
#include "os_interface.h"

namespace {

ZorvaneFlatPacket* flatOf(ZorvanePacket* packet) {
    return static_cast<ZorvaneFlatPacket*>(packet->netBufferList);
}

ZorvaneFlatPacket* currentFlat(ZorvanePacket* packet) {
    return packet->current != nullptr ? static_cast<ZorvaneFlatPacket*>(packet->current)
                                      : flatOf(packet);
}

}  // namespace

uint8_t* OsPacketIpHeader(ZorvanePacket* packet) {
    return FlatPacketIpHeader(flatOf(packet));
}
uint8_t* OsPacketTcpHeader(ZorvanePacket* packet) {
    return FlatPacketTcpHeader(flatOf(packet));
}

bool OsPacketClone(ZorvanePacket* packet) {
    packet->current = nullptr;
    FlatPacketFree(static_cast<ZorvaneFlatPacket*>(packet->clone));
    packet->clone = FlatPacketCopy(flatOf(packet));
    return packet->clone != nullptr;
}

// A flat packet starts at its IP header already.
bool OsPacketCloneWithIpHeader(ZorvanePacket* packet) {
    return OsPacketClone(packet);
}

bool OsPacketCopyTcpPayload(ZorvanePacket* packet, void* buffer, uint32_t length) {
    return FlatPacketCopyTcpPayload(flatOf(packet), buffer, length);
}

uint32_t OsPacketReadTcpPayload(ZorvanePacket* packet, uint32_t offset, void* buffer,
                                uint32_t length) {
    return FlatPacketReadTcpPayload(currentFlat(packet), offset, buffer, length);
}
uint32_t OsPacketTcpPayloadLength(ZorvanePacket* packet) {
    return FlatPacketTcpPayloadLength(currentFlat(packet));
}
// A flat clone is one buffer.
bool OsPacketFirstCloneBuffer(ZorvanePacket* packet) {
    packet->current = packet->clone;
    return packet->current != nullptr;
}
bool OsPacketNextCloneBuffer(ZorvanePacket* packet) {
    packet->current = nullptr;
    return false;
}
uint8_t* OsPacketCurrentData(ZorvanePacket* packet, uint32_t* length) {
    auto* current = static_cast<ZorvaneFlatPacket*>(packet->current);
    if (current == nullptr) {
        return nullptr;
    }
    *length = current->length;
    return current->data;
}
bool OsPacketSetCurrentLength(ZorvanePacket* packet, uint32_t length) {
    return FlatPacketSetLength(static_cast<ZorvaneFlatPacket*>(packet->current), length);
}
bool OsPacketInjectedBySelf(ZorvanePacket* packet) {
    const ZorvaneFlatPacket* flat = flatOf(packet);
    return flat != nullptr && flat->injected;
}
