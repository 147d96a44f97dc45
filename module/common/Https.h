#pragma once

// HTTPS inspection: the TLS records of a child's connections to port 443, the
// per-child host status list, the list of connections bound to a host, the
// packets held until a host's verdict, and the reply that replaces a blocked
// host's ServerHello.
//
// Lock order: hello assembly, then held packets, then port list, then host
// list; the read queue, the injection queue and the block pools innermost.

#include <cstdint>

#include "HostVerdict.h"  // E_ZorvaneHostStatus
#include "Packet.h"

constexpr uint16_t ZORVANE_HTTPS_PORT = 443;

// What a TLS record at the start of a segment's payload is.
enum E_ZorvaneHttpsPacketType : uint32_t {
    ZORVANE_SSL_OTHER = 1,
    ZORVANE_SSL_CLIENT_HELLO = 5,
    ZORVANE_SSL_APPLICATION = 6,
    ZORVANE_SSL_SERVER_HELLO = 9,
};

// A port handler's verdict for the classify function.
enum E_ZorvaneHttpsVerdict : uint32_t {
    ZORVANE_HTTPS_BLOCK = 0,
    ZORVANE_HTTPS_NO_HANDLER = 1,  // permit
    ZORVANE_HTTPS_PERMIT = 2,
    ZORVANE_HTTPS_BLOCKED = 3,  // block: the host is blocked
    ZORVANE_HTTPS_HOLD = 7,
    ZORVANE_HTTPS_INJECT = 8,     // the rewritten packet goes in its place
    ZORVANE_HTTPS_ABSORBED = 10,  // the packet joined a ClientHello being assembled
};

// The largest TLS record (header and 2^14 bytes); a ClientHello is judged
// whole, so its first segments wait until the record is complete.
constexpr uint32_t ZORVANE_TLS_RECORD_HEADER = 5;
constexpr uint32_t ZORVANE_TLS_MAX_RECORD = ZORVANE_TLS_RECORD_HEADER + 16384;
// Longest server name taken (a DNS name has at most 253 characters).
constexpr uint32_t ZORVANE_MAX_HOST_LENGTH = 255;

// Host list timing (seconds).
constexpr uint32_t ZORVANE_HOST_REASK_SECONDS = 120;  // ask again when older
constexpr uint32_t ZORVANE_HOST_PRUNE_SECONDS = 90;   // prune when more passed
constexpr uint32_t ZORVANE_HOST_IDLE_SECONDS = 120;   // unused entries older go
// Port list timing (seconds).
constexpr uint32_t ZORVANE_HTTPS_PORT_PRUNE_SECONDS = 120;
constexpr uint32_t ZORVANE_HTTPS_PORT_IDLE_SECONDS = 330;
// At most one blocked-site notice per child and host in this time.
constexpr uint32_t ZORVANE_BLOCK_NOTICE_SECONDS = 5;

// Bounds of held application data: per connection, in total, and in age.
constexpr uint32_t ZORVANE_HELD_PER_CONNECTION = 64;
constexpr uint32_t ZORVANE_HELD_TOTAL = 1024;
constexpr uint32_t ZORVANE_HELD_SECONDS = 30;
// Bounds of ClientHellos being assembled: segments each, connections at once,
// and how long one may take before it counts as a hello without a name.
constexpr uint32_t ZORVANE_HELLO_MAX_SEGMENTS = 48;
constexpr uint32_t ZORVANE_HELLO_MAX_ASSEMBLIES = 32;
constexpr uint32_t ZORVANE_HELLO_SECONDS = 5;

// The two domains of the product's own services: a host that is one of them,
// or a name under one, is always allowed.
constexpr const char* ZORVANE_ALLOWED_DOMAINS[2] = {"zorvane.com", "zorvanecloud.net"};

// One TCP connection as the filter sees it from the PC: local port, remote
// address (network order) and remote port.
struct ZorvaneConnKey {
    uint16_t localPort;
    uint16_t remotePort;
    uint32_t remoteAddress;
};

// The reply that replaces a blocked host's ServerHello: this text (81 bytes)
// and one zero byte after it, 82 bytes of payload.
constexpr char ZORVANE_BLOCK_REPLY[] =
    "HTTP/1.1 403 Banned Site\r\nContent-Type: text/html\r\n\r\n<html><h1>BANNED</h1></html>";
constexpr uint32_t ZORVANE_BLOCK_TEXT_LENGTH = sizeof(ZORVANE_BLOCK_REPLY) - 1;
constexpr uint32_t ZORVANE_BLOCK_REPLY_LENGTH = 82;
static_assert(ZORVANE_BLOCK_TEXT_LENGTH + 1 == ZORVANE_BLOCK_REPLY_LENGTH, "text and a zero");

// Set-up at filter start and release at unload (held packets are freed).
void ZorvaneInitHttps();
void ZorvaneFreeHttps();
void ZorvaneInitHostList();
void ZorvaneFreeHostList();
void ZorvaneInitPortList();
void ZorvaneFreePortList();
void ZorvaneInitHeldPackets();
void ZorvaneFreeHeldPackets();
void ZorvaneInitHelloAssembly();
void ZorvaneFreeHelloAssembly();

// --- TLS records (TlsHello.cpp); pure functions over captured bytes.

// The type of the record that starts `payload`.
uint32_t HttpsRecordType(const uint8_t* payload, uint32_t length);
// HttpsRecordType of the packet's current buffer (its first 8 payload bytes).
uint32_t HttpsPacketType(ZorvanePacket* packet);

enum E_ZorvaneHelloResult {
    ZORVANE_HELLO_NAME = 0,
    ZORVANE_HELLO_NO_NAME = 1,    // a whole ClientHello without a host name
    ZORVANE_HELLO_MALFORMED = 2,  // lengths that do not fit, or not a ClientHello
    ZORVANE_HELLO_TRUNCATED = 3,  // the record is longer than the bytes given
};
// Finds the host name of the ClientHello record at `record` (`length` bytes
// captured). On ZORVANE_HELLO_NAME *name points into `record`. A server-name
// list with more than one name, an empty name, or one with bytes outside
// printable ASCII counts as malformed. Never reads past `length`.
E_ZorvaneHelloResult FindServerName(const uint8_t* record, uint32_t length, const uint8_t** name,
                                    uint32_t* nameLength);
// The host name as a NUL-terminated copy from the block pools, or null (no
// name, malformed, truncated, or no memory).
char* GetHostName(const uint8_t* record, uint32_t length, uint32_t* hostLength);

// --- Host status list (HostList.cpp).

struct HostStatusEntry;
// Finds or makes the entry of (childId, host), asks the service when due, and
// takes a reference. Null without memory.
HostStatusEntry* GetHostEntry(uint32_t childId, const char* host, uint32_t length);
void ReleaseHostEntry(HostStatusEntry* entry);
// Records a verdict; 1 when the entry existed, else 0.
int UpdateHostStatus(uint32_t childId, const char* host, uint32_t status);
// The entry's status for a packet of its connection; a blocked status queues
// a blocked-site notice unless one for this child and host went up within
// ZORVANE_BLOCK_NOTICE_SECONDS.
uint32_t HostEntryStatusForPacket(HostStatusEntry* entry);
// Expects the port-list lock held (dumps).
const char* HostEntryText(const HostStatusEntry* entry);
bool IsAlwaysAllowedHost(const char* host, uint32_t length);
uint32_t ZorvaneHostCount();

// --- Port list (PortList.cpp): the host each connection named.

// 1 when the connection now points to (childId, host); 0 otherwise.
int AddToPortList(const ZorvaneConnKey& key, uint32_t childId, const char* host, uint32_t length);
// Forgets what the connection named.
void RemoveFromPortList(const ZorvaneConnKey& key);
// The status of the connection's host, or -1 without an entry (or one idle
// longer than ZORVANE_HTTPS_PORT_IDLE_SECONDS).
int32_t StatusOfPort(const ZorvaneConnKey& key);
uint32_t ZorvanePortListCount();

// --- Held packets (HeldPackets.cpp).

// Holds an outbound packet until its connection's host has a verdict; the
// oldest held packets go when a bound is hit. False when it cannot be held
// (the caller keeps the packet).
bool HoldHttpsPacket(const ZorvaneConnKey& key, ZorvanePacket* packet);
// After a verdict: queues the held packets of allowed hosts for injection
// and drops those of blocked ones; 1 when the last one handled was queued or
// dropped as blocked, else 0.
int32_t ProcessHttpsPendedPackets();
// Drops held packets older than ZORVANE_HELD_SECONDS; returns how many.
uint32_t ZorvaneExpireHeldPackets();
uint32_t ZorvaneHeldPacketCount();

// --- ClientHellos over several segments (HelloAssembly.cpp).

enum E_ZorvaneHelloStep {
    ZORVANE_HELLO_NOT_MINE = 0,   // no assembly for this segment: judge it alone
    ZORVANE_HELLO_HELD = 1,       // the assembly holds the segment
    ZORVANE_HELLO_DUPLICATE = 2,  // a copy of bytes already held: drop it
    ZORVANE_HELLO_PASS = 3,       // part of a connection whose hello was given up
};
// Offers an outbound segment of a child's 443 connection: starts an assembly
// when it opens a ClientHello that the segment does not complete, adds it to
// an assembly in progress, and once the record is whole judges the hello and
// queues the held segments in order.
E_ZorvaneHelloStep ZorvaneOfferHelloSegment(const ZorvaneConnKey& key, uint32_t childId,
                                            ZorvanePacket* packet);
// Gives up assemblies older than ZORVANE_HELLO_SECONDS (as hellos without a
// name); returns how many.
uint32_t ZorvaneExpireHelloAssemblies();
uint32_t ZorvaneHelloAssemblyCount();
// The ClientHello step on a whole record: the host name bound to the
// connection, or the no-name log line once per connection (by its hello's
// sequence number).
void ZorvaneJudgeClientHello(const ZorvaneConnKey& key, uint32_t childId, uint32_t helloSeq,
                             const uint8_t* record, uint32_t length);

// Runs both expiries; the platform's poll loop may call it too.
void ZorvaneHttpsHousekeeping();

// --- Block reply (BlockResponse.cpp).

// Rewrites the current clone buffer (an inbound ServerHello segment) into the
// block reply with FIN set and fresh checksums; false when the segment is too
// short to carry it or cannot be had contiguously.
bool BlockedResponse(ZorvanePacket* packet);
// Ones' complement checksum of an IPv4 header of `length` bytes.
uint16_t IpHeaderChecksum(const uint8_t* header, uint32_t length);
// The TCP checksum of a segment of `length` bytes between two addresses (host
// order, first octet most significant); an odd length is padded with zero.
uint16_t tcp_sum_calc(uint32_t length, uint32_t source, uint32_t destination, const uint8_t* data);
