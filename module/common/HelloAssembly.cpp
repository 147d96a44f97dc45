#include "BlockPool.h"
#include "Clock.h"
#include "Https.h"
#include "Injection.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

// The first segments of one connection's ClientHello, held until the record
// is whole. The record buffer may be up to 16 KiB, beyond a pool region, so
// it comes from the system allocator.
struct HelloAssembly {
    ZorvaneConnKey key;
    uint32_t childId;
    uint32_t helloSeq;  // sequence number of the record's first byte
    uint32_t needed;    // record length with its header
    uint32_t have;      // record bytes gathered, in order
    uint32_t started;   // seconds clock
    uint32_t segmentCount;
    ZorvanePacket* segments[ZORVANE_HELLO_MAX_SEGMENTS];  // in arrival order
    uint8_t* record;
    HelloAssembly* next;
};

// Connections whose hello without a name was logged already.
struct NoNameSeen {
    ZorvaneConnKey key;
    uint32_t helloSeq;
    bool used;
};
constexpr uint32_t kNoNameRemembered = 64;

// Guards the assembly list, gAssemblyCount and the no-name ring. Taken before
// the held-packet lock; nothing else is taken while it is held except the
// block pools.
OsSpinLock gHelloLock;
HelloAssembly* gAssemblies = nullptr;
uint32_t gAssemblyCount = 0;
NoNameSeen gNoName[kNoNameRemembered];
uint32_t gNoNameNext = 0;

bool sameConnection(const ZorvaneConnKey& a, const ZorvaneConnKey& b) {
    return a.localPort == b.localPort && a.remotePort == b.remotePort &&
           a.remoteAddress == b.remoteAddress;
}

uint32_t tcpSequence(ZorvanePacket* packet) {
    const uint8_t* tcp = OsPacketTcpHeader(packet);
    if (tcp == nullptr) {
        return 0;
    }
    return static_cast<uint32_t>(tcp[4]) << 24 | static_cast<uint32_t>(tcp[5]) << 16 |
           static_cast<uint32_t>(tcp[6]) << 8 | tcp[7];
}

// Sequence-space difference a - b.
int32_t seqDiff(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

// Expects gHelloLock held.
void unlinkAssembly(HelloAssembly* assembly) {
    for (HelloAssembly** at = &gAssemblies; *at != nullptr; at = &(*at)->next) {
        if (*at == assembly) {
            *at = assembly->next;
            assembly->next = nullptr;
            --gAssemblyCount;
            return;
        }
    }
}

// Expects gHelloLock held. Copies what the held segments add at the end of
// the gathered bytes, in sequence order, whatever order they came in.
void gather(HelloAssembly* assembly) {
    bool grew = true;
    while (grew && assembly->have < assembly->needed) {
        grew = false;
        const uint32_t want = assembly->helloSeq + assembly->have;
        for (uint32_t i = 0; i < assembly->segmentCount; ++i) {
            ZorvanePacket* segment = assembly->segments[i];
            const uint32_t seq = tcpSequence(segment);
            const uint32_t length = OsPacketTcpPayloadLength(segment);
            const int32_t offset = seqDiff(want, seq);
            if (offset < 0 || static_cast<uint32_t>(offset) >= length) {
                continue;
            }
            const uint32_t room = assembly->needed - assembly->have;
            const uint32_t count = length - static_cast<uint32_t>(offset);
            const uint32_t copied = OsPacketReadTcpPayload(segment, static_cast<uint32_t>(offset),
                                                           assembly->record + assembly->have,
                                                           count < room ? count : room);
            if (copied > 0) {
                assembly->have += copied;
                grew = true;
                break;
            }
        }
    }
}

// Queues the held segments in their order; one that cannot be queued is
// dropped (the sender sends it again).
void releaseSegments(HelloAssembly* assembly) {
    for (uint32_t i = 0; i < assembly->segmentCount; ++i) {
        if (!SendPacket(assembly->segments[i])) {
            ZorvaneFreePacket(assembly->segments[i]);
        }
    }
    assembly->segmentCount = 0;
}

void freeAssembly(HelloAssembly* assembly) {
    for (uint32_t i = 0; i < assembly->segmentCount; ++i) {
        ZorvaneFreePacket(assembly->segments[i]);
    }
    OsFree(assembly->record);
    FreeMemory(assembly);
}

// Outside gHelloLock: judges what was gathered and lets the segments go.
void finish(HelloAssembly* assembly) {
    ZorvLog(ZORVANE_DBG_TRACE, "ClientHello of port %d whole after %u segments\n",
            assembly->key.localPort, static_cast<unsigned>(assembly->segmentCount));
    ZorvaneJudgeClientHello(assembly->key, assembly->childId, assembly->helloSeq, assembly->record,
                            assembly->have);
    releaseSegments(assembly);
    freeAssembly(assembly);
}

// Expects gHelloLock held; true the first time for this connection's hello.
bool firstNoNameLog(const ZorvaneConnKey& key, uint32_t helloSeq) {
    for (const NoNameSeen& seen : gNoName) {
        if (seen.used && seen.helloSeq == helloSeq && sameConnection(seen.key, key)) {
            return false;
        }
    }
    gNoName[gNoNameNext] = {key, helloSeq, true};
    gNoNameNext = (gNoNameNext + 1) % kNoNameRemembered;
    return true;
}

}  // namespace

void ZorvaneInitHelloAssembly() {
    OsSpinLockInit(&gHelloLock);
    gAssemblies = nullptr;
    gAssemblyCount = 0;
    for (NoNameSeen& seen : gNoName) {
        seen.used = false;
    }
    gNoNameNext = 0;
}

void ZorvaneFreeHelloAssembly() {
    while (gAssemblies != nullptr) {
        HelloAssembly* assembly = gAssemblies;
        gAssemblies = assembly->next;
        freeAssembly(assembly);
    }
    gAssemblyCount = 0;
    OsSpinLockDestroy(&gHelloLock);
}

void ZorvaneJudgeClientHello(const ZorvaneConnKey& key, uint32_t childId, uint32_t helloSeq,
                             const uint8_t* record, uint32_t length) {
    uint32_t hostLength = 0;
    char* host = GetHostName(record, length, &hostLength);
    if (host != nullptr) {
        ZorvLog(ZORVANE_DBG_TRACE, "HttpsPortHostStatus - %d %d %s\n", key.localPort,
                static_cast<int>(childId), host);
        AddToPortList(key, childId, host, hostLength);
        FreeMemory(host);
        return;
    }
    // What the connection named before is gone with it: its data finds no
    // entry and is blocked.
    RemoveFromPortList(key);
    OsLockHandle handle;
    OsSpinLockAcquire(&gHelloLock, &handle);
    const bool first = firstNoNameLog(key, helloSeq);
    OsSpinLockRelease(&handle);
    if (first) {
        ZorvLog(ZORVANE_DBG_INFO, "ClientHello without a server name on port %d\n", key.localPort);
    }
}

E_ZorvaneHelloStep ZorvaneOfferHelloSegment(const ZorvaneConnKey& key, uint32_t childId,
                                            ZorvanePacket* packet) {
    const uint32_t seq = tcpSequence(packet);
    const uint32_t length = OsPacketTcpPayloadLength(packet);

    // A ClientHello that this segment opens but does not complete gets an
    // assembly, made before the lock (used only if none exists by then).
    uint8_t head[ZORVANE_TLS_RECORD_HEADER + 1] = {};
    const uint32_t read = OsPacketReadTcpPayload(packet, 0, head, sizeof(head));
    const uint32_t recordLength =
        ZORVANE_TLS_RECORD_HEADER + static_cast<uint32_t>(head[3] << 8 | head[4]);
    HelloAssembly* fresh = nullptr;
    if (HttpsRecordType(head, read) == ZORVANE_SSL_CLIENT_HELLO && recordLength > length &&
        recordLength <= ZORVANE_TLS_MAX_RECORD) {
        fresh = static_cast<HelloAssembly*>(AllocateZeroedMemory(sizeof(HelloAssembly)));
        uint8_t* record =
            fresh != nullptr ? static_cast<uint8_t*>(OsAllocate(recordLength)) : nullptr;
        if (record == nullptr) {
            FreeMemory(fresh);  // judged alone: a hello without a name
            fresh = nullptr;
        } else {
            fresh->key = key;
            fresh->childId = childId;
            fresh->helloSeq = seq;
            fresh->needed = recordLength;
            fresh->started = ZorvaneSecondsNow();
            fresh->record = record;
        }
    }

    HelloAssembly* done = nullptr;
    HelloAssembly* givenUp = nullptr;
    E_ZorvaneHelloStep step = ZORVANE_HELLO_NOT_MINE;
    OsLockHandle handle;
    OsSpinLockAcquire(&gHelloLock, &handle);
    HelloAssembly* assembly = gAssemblies;
    while (assembly != nullptr && !sameConnection(assembly->key, key)) {
        assembly = assembly->next;
    }
    if (assembly != nullptr) {
        if (length == 0) {
            step = ZORVANE_HELLO_NOT_MINE;
        } else if (seqDiff(seq + length, assembly->helloSeq + assembly->have) <= 0) {
            step = ZORVANE_HELLO_DUPLICATE;  // a resend of bytes already gathered
        } else if (assembly->segmentCount == ZORVANE_HELLO_MAX_SEGMENTS) {
            unlinkAssembly(assembly);
            givenUp = assembly;
            step = ZORVANE_HELLO_PASS;
        } else {
            assembly->segments[assembly->segmentCount++] = packet;
            gather(assembly);
            if (assembly->have == assembly->needed) {
                unlinkAssembly(assembly);
                done = assembly;
            }
            step = ZORVANE_HELLO_HELD;
        }
    } else if (fresh != nullptr) {
        fresh->segments[fresh->segmentCount++] = packet;
        gather(fresh);
        if (gAssemblyCount >= ZORVANE_HELLO_MAX_ASSEMBLIES) {
            // New ones go in front, so the oldest is at the tail.
            HelloAssembly* oldest = gAssemblies;
            while (oldest->next != nullptr) {
                oldest = oldest->next;
            }
            unlinkAssembly(oldest);
            givenUp = oldest;
        }
        fresh->next = gAssemblies;
        gAssemblies = fresh;
        ++gAssemblyCount;
        fresh = nullptr;
        step = ZORVANE_HELLO_HELD;
    }
    OsSpinLockRelease(&handle);

    if (fresh != nullptr) {
        freeAssembly(fresh);
    }
    if (givenUp != nullptr) {
        ZorvLog(ZORVANE_DBG_ERROR, "ClientHello of port %d given up after %u segments\n",
                givenUp->key.localPort, static_cast<unsigned>(givenUp->segmentCount));
        finish(givenUp);
    }
    if (done != nullptr) {
        finish(done);
    }
    return step;
}

uint32_t ZorvaneExpireHelloAssemblies() {
    const uint32_t now = ZorvaneSecondsNow();
    HelloAssembly* expired = nullptr;
    OsLockHandle handle;
    OsSpinLockAcquire(&gHelloLock, &handle);
    HelloAssembly** at = &gAssemblies;
    while (*at != nullptr) {
        HelloAssembly* assembly = *at;
        if (now - assembly->started > ZORVANE_HELLO_SECONDS) {
            *at = assembly->next;
            --gAssemblyCount;
            assembly->next = expired;
            expired = assembly;
        } else {
            at = &assembly->next;
        }
    }
    OsSpinLockRelease(&handle);
    uint32_t count = 0;
    while (expired != nullptr) {
        HelloAssembly* assembly = expired;
        expired = assembly->next;
        ZorvLog(ZORVANE_DBG_ERROR, "ClientHello of port %d incomplete after %u seconds\n",
                assembly->key.localPort, static_cast<unsigned>(ZORVANE_HELLO_SECONDS));
        finish(assembly);
        ++count;
    }
    return count;
}

uint32_t ZorvaneHelloAssemblyCount() {
    OsLockHandle handle;
    OsSpinLockAcquire(&gHelloLock, &handle);
    const uint32_t count = gAssemblyCount;
    OsSpinLockRelease(&handle);
    return count;
}
