#pragma once

// Packet operations for platforms that hold each IPv4 packet whole in one
// buffer (user-space hosts and tests): their os_interface packet operations
// forward here with the packet's netBufferList pointing at a ZorvaneFlatPacket.

#include <cstdint>

struct ZorvanePacket;

struct ZorvaneFlatPacket {
    uint8_t* data;  // starts at the IP header
    uint32_t length;
    bool injected;  // the platform saw its own injection mark on it
};

// Null unless the buffer holds a whole IPv4 header (and for TCP, a whole TCP
// header after it).
uint8_t* FlatPacketIpHeader(ZorvaneFlatPacket* packet);
uint8_t* FlatPacketTcpHeader(ZorvaneFlatPacket* packet);
// The first `length` payload bytes, zeros beyond the segment's end.
bool FlatPacketCopyTcpPayload(ZorvaneFlatPacket* packet, void* buffer, uint32_t length);
// Strict read: at most `length` payload bytes from `offset`, returns how many
// were there (0 without a readable TCP segment).
uint32_t FlatPacketReadTcpPayload(ZorvaneFlatPacket* packet, uint32_t offset, void* buffer,
                                  uint32_t length);
uint32_t FlatPacketTcpPayloadLength(ZorvaneFlatPacket* packet);
// Shortens the buffer; false when it holds fewer than `length` bytes.
bool FlatPacketSetLength(ZorvaneFlatPacket* packet, uint32_t length);
// A private copy (data and record from OsAllocate), or null.
ZorvaneFlatPacket* FlatPacketCopy(const ZorvaneFlatPacket* packet);
// Frees a packet made by FlatPacketCopy or FlatPacketMake.
void FlatPacketFree(ZorvaneFlatPacket* packet);
// A packet holding a copy of `length` bytes, or null.
ZorvaneFlatPacket* FlatPacketMake(const uint8_t* bytes, uint32_t length);

// A packet object over a copy of one captured IPv4 datagram classified at
// `layerId` (a ZORVANE_LAYER_ packet layer): direction, addresses, ports,
// protocol and header sizes are taken from the bytes. Null for anything but
// a whole IPv4 header, or without memory.
ZorvanePacket* ZorvaneMakeFlatPacket(uint32_t layerId, const uint8_t* bytes, uint32_t length);
