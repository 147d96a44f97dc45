#pragma once

// Packet operations for platforms that hold each IPv4 packet whole in one
// buffer (user-space hosts and tests): their os_interface packet operations
// forward here with the packet's netBufferList pointing at a ZorvaneFlatPacket.

#include <cstdint>

struct ZorvaneFlatPacket {
    uint8_t* data;  // starts at the IP header
    uint32_t length;
};

// Null unless the buffer holds a whole IPv4 header (and for TCP, a whole TCP
// header after it).
uint8_t* FlatPacketIpHeader(ZorvaneFlatPacket* packet);
uint8_t* FlatPacketTcpHeader(ZorvaneFlatPacket* packet);
// The first `length` payload bytes, zeros beyond the segment's end.
bool FlatPacketCopyTcpPayload(ZorvaneFlatPacket* packet, void* buffer, uint32_t length);
// A private copy (data and record from OsAllocate), or null.
ZorvaneFlatPacket* FlatPacketCopy(const ZorvaneFlatPacket* packet);
// Frees a packet made by FlatPacketCopy or FlatPacketMake.
void FlatPacketFree(ZorvaneFlatPacket* packet);
// A packet holding a copy of `length` bytes, or null.
ZorvaneFlatPacket* FlatPacketMake(const uint8_t* bytes, uint32_t length);
