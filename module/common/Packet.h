#pragma once

// One classified IPv4 packet with what is needed to inject it again later.
// The platform makes it (from its classify parameters) and owns the fields
// marked platform; the filter logic reads the rest.

#include <cstdint>

// Filtering layers a packet can come from.
constexpr uint32_t ZORVANE_LAYER_INBOUND_IPPACKET_V4 = 0;
constexpr uint32_t ZORVANE_LAYER_INBOUND_IPPACKET_V4_DISCARD = 1;
constexpr uint32_t ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4 = 16;
constexpr uint32_t ZORVANE_LAYER_OUTBOUND_TRANSPORT_V4_DISCARD = 17;

constexpr uint32_t ZORVANE_AF_INET = 2;
enum E_ZorvanePacketType { ZORVANE_PACKET_DATA = 0, ZORVANE_PACKET_CONNECT = 1 };
enum E_ZorvaneDirection { ZORVANE_OUTBOUND = 0, ZORVANE_INBOUND = 1 };
enum E_ZorvanePacketState {
    ZORVANE_DATA_AT_TRANSPORT = 1,  // buffer data starts at the transport header
    ZORVANE_DATA_AT_IP = 2,         // at the IP header
};

struct ZorvanePacket {
    uint32_t family;
    uint32_t type;
    uint32_t direction;
    uint32_t state;
    uint32_t layerId;
    uint32_t protocol;
    uint32_t localAddress;  // network order
    uint32_t remoteAddress;
    uint16_t localPort;
    uint16_t remotePort;
    uint32_t compartmentId;
    uint32_t interfaceIndex;  // inbound
    uint32_t subInterfaceIndex;
    uint32_t ipHeaderSize;
    uint32_t transportHeaderSize;
    uint32_t newPacket;       // inject newList instead of the clone
    uint32_t remoteScopeId;   // platform, outbound
    uint64_t endpointHandle;  // platform, outbound
    void* completionContext;  // platform: held operation completed when freed
    void* netBufferList;      // platform: the classified data, referenced
    void* clone;              // platform: a private copy to inject
    void* newList;            // platform: separately built data
    void* current;            // platform: buffer under examination
    void* controlData;        // platform: socket control data copy
    uint32_t controlDataLength;
    ZorvanePacket* queueNext;  // injection queue links
    ZorvanePacket* queuePrev;
};

// One block of the large pool, as every packet is.
static_assert(sizeof(ZorvanePacket) <= 160, "a packet fits one 168-byte pool block");

// A zeroed packet from the block pools, state "data at transport", or null.
ZorvanePacket* ZorvaneAllocatePacket();
// Releases the platform parts and the block. Null is ignored.
void ZorvaneFreePacket(ZorvanePacket* packet);

// First 16-bit big-endian word of the transport header (the source port); 0
// without a readable TCP header.
uint16_t ZorvanePacketSourcePort(ZorvanePacket* packet);
uint16_t ZorvanePacketDestinationPort(ZorvanePacket* packet);
uint16_t ZorvanePacketRemotePort(const ZorvanePacket* packet);
