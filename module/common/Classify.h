#pragma once

// The filter's classify entry points. A platform describes what it saw in a
// ZorvaneClassifyInput (only the fields its layer has; the has* flags say
// which), calls the entry point of that layer, and carries out the
// ZorvaneClassifyDecision. Nothing here depends on a platform's own types.

#include <cstdint>

#include "Packet.h"  // E_ZorvaneDirection, ZorvanePacket

enum E_ZorvaneLayer : uint8_t {
    ZORVANE_LAYER_CONNECT_REDIRECT = 0,
    ZORVANE_LAYER_AUTH_CONNECT = 1,
    ZORVANE_LAYER_STREAM = 2,
    ZORVANE_LAYER_INBOUND_TRANSPORT = 3,
    ZORVANE_LAYER_OUTBOUND_TRANSPORT = 4,
    ZORVANE_LAYER_INBOUND_IP = 5,
    ZORVANE_LAYER_OUTBOUND_IP = 6,
};

// Connection flag: the engine authorises a connection again.
constexpr uint32_t ZORVANE_FLAG_REAUTHORIZE = 0x4;
// Stream flag: the indication is a send.
constexpr uint32_t ZORVANE_STREAM_FLAG_SEND = 0x00010000;

struct ZorvaneClassifyInput {
    uint8_t layer;      // E_ZorvaneLayer
    uint8_t direction;  // E_ZorvaneDirection
    // The platform may change the connection or the classify's action; false
    // when it could not get that right (no classify handle, no write right).
    bool writable;
    bool hasProcessId;
    bool hasFlowHandle;
    bool hasCompletionHandle;
    bool hasRedirectTarget;
    bool noMoreData;
    uint32_t flags;          // ZORVANE_FLAG_ bits
    uint32_t localAddress;   // host order, first octet most significant
    uint32_t remoteAddress;  // host order
    uint16_t localPort;      // host order
    uint16_t remotePort;     // host order
    const char* userSid;     // SID text of the connecting user, or null
    uint64_t processId;
    uint64_t flowHandle;
    void* completionHandle;   // platform's handle to hold the operation
    uint64_t redirectTarget;  // local-redirect target process id
    // Stream layers: the indicated bytes as one flat run.
    uint32_t streamFlags;  // ZORVANE_STREAM_FLAG_ bits
    const uint8_t* data;
    uint32_t dataLength;
    // Packet layers: the packet object, when the platform made one.
    ZorvanePacket* packet;
    // Whatever else the platform needs again to carry out the decision
    // (its classify values, filter, injection context); opaque here.
    void* platformContext;
};

enum E_ZorvaneAction : uint8_t {
    ZORVANE_ACTION_PERMIT = 0,
    ZORVANE_ACTION_BLOCK = 1,
};

struct ZorvaneClassifyDecision {
    uint8_t action;  // E_ZorvaneAction
    bool absorb;     // with block: the operation is held or consumed, not refused
    bool decided;    // false: the logic left the action to the platform's default
    bool setRemote;  // connect: send the connection to remoteAddress:remotePort
    bool setRedirectTarget;
    uint32_t remoteAddress;  // host order
    uint16_t remotePort;     // host order
    uint64_t redirectTarget;
    // Stream: bytes of the indication the decision covers (0: all of it).
    // When a tagged copy was injected, its length (the request and the tag).
    uint32_t bytesEnforced;
    uint32_t injectedLength;
};

// The platform's copy of the tag before a request, owned by one injection.
struct ZorvaneTaggedBuffer {
    uint8_t* data;    // tag, request, then a NUL that is not sent
    uint32_t length;  // tag and request
    void* platform;   // the platform's descriptor and list for it
};

constexpr uint32_t ZORVANE_TAG_ID = 0x04261980;
constexpr uint8_t ZORVANE_TAG_MARKER = 0x21;

#pragma pack(push, 1)
struct ZorvHeader {
    uint32_t id;
    uint8_t marker;
    uint8_t one;
    uint8_t four;
    uint8_t fe;
    uint32_t childId;
    uint32_t deviceId;
};
#pragma pack(pop)
static_assert(sizeof(ZorvHeader) == 16, "the tag is 16 bytes");

void ZorvaneAleConnectRedirectClassify(const ZorvaneClassifyInput* input,
                                       ZorvaneClassifyDecision* decision);
void ZorvaneAleAuthConnectClassify(const ZorvaneClassifyInput* input,
                                   ZorvaneClassifyDecision* decision);
void ZorvaneStreamClassify(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision);

// HTTPS inspection of a child's port-443 packets: outgoing TCP (layer
// OUTBOUND_TRANSPORT) and incoming IP packets (INBOUND_IP). `packet` is the
// packet object the platform made of what it captured. When the decision
// blocks with absorb, the filter owns the packet from then on (it is held,
// or queued for injection with its rewritten clone, and freed by the filter);
// otherwise the platform carries out the decision and frees the packet.
// An inbound decision that is not `decided` leaves the platform's default.
void ZorvaneTransportClassify(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision);
void ZorvaneIpClassify(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision);
// The same for a platform that hands over whole packets, writable: the entry
// by direction. True when the filter took the packet over (block with absorb).
bool ZorvaneClassifyHttpsPacket(ZorvanePacket* packet, bool outbound,
                                ZorvaneClassifyDecision* decision);

// Read command 7 to the service: a connection named another target process.
void NotifyRedirectPID(uint64_t pid);

// True when `text` begins with an HTTP method token and its space.
bool IsHttpRequest(const char* text);
// Tags and injects one send indication; true when it decided the indication.
bool AddZorvHeader(const ZorvaneClassifyInput* input, ZorvaneClassifyDecision* decision,
                   uint32_t childId);
// The tag followed by the request, or null. Freed by ZorvaneFreeTaggedBuffer.
ZorvaneTaggedBuffer* GetModifiedMdl(const uint8_t* request, uint32_t length, uint32_t childId);
void ZorvaneFreeTaggedBuffer(ZorvaneTaggedBuffer* tagged);

// A deferred lookup of a connecting process's user.
struct ProcessLookupContext {
    uint16_t srcPort;
    void* completionContext;  // the held operation, or null
    uint64_t pid;
    uint64_t flowHandle;
    ProcessLookupContext* nextHeld;  // list of held lookups
    uint32_t heldSince;              // seconds clock when held
};

// A held connection is released unmapped when its lookup took this long.
constexpr uint32_t ZORVANE_HOLD_SECONDS = 5;

// Registers a held context and queues the work item, which owns it from
// then on. False when it could not be queued: the context is the caller's
// again and any hold is handed back in its completionContext.
bool ZorvaneQueueLookup(ProcessLookupContext* context);

// The work item: resolves the process's user, maps it, releases the hold.
void populateSidForPid(void* context);
// The SID text of the token's user, from the block pool, or null.
struct OsProcessToken;
char* GetUserSidForToken(OsProcessToken* token);

// The held-lookup list and the thread that releases holds that took too long.
int ZorvaneStartLookups();
// Stops the thread, releases every hold still pending, then waits until
// every queued lookup has run.
void ZorvaneStopLookups();
// Releases holds older than ZORVANE_HOLD_SECONDS; returns how many.
int ZorvaneReleaseStaleHolds();
uint32_t ZorvaneHeldCount();
