#include "TestOs.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "BlockPool.h"
#include "Classify.h"
#include "FlatPacket.h"
#include "Packet.h"
#include "os_interface.h"

namespace {

struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    uint64_t generation = 0;  // counts sets, so a set releases every waiter
};
static_assert(sizeof(Event) <= sizeof(OsEvent), "event storage");
static_assert(sizeof(std::mutex) <= sizeof(OsSpinLock), "lock storage");
static_assert(sizeof(std::mutex) <= sizeof(OsMutex), "mutex storage");
static_assert(sizeof(std::mutex*) <= sizeof(OsLockHandle), "handle storage");

struct State {
    std::mutex mutex;  // guards everything below
    uint64_t ticks = 0;
    std::chrono::milliseconds waitCap{std::chrono::hours(1)};
    int64_t lastWaitTimeout = 0;
    int allocationsLeft = -1;
    long outstanding = 0;
    std::string log;
    std::deque<std::pair<void (*)(void*), void*>> workItems;
    std::function<void()> beforeInject;
    bool injectAccepted = true;
    std::vector<TestOs::Injection> injections;
    std::vector<uint16_t> released;
    std::map<uint64_t, std::string> processUsers;
    bool pendAccepted = true;
    std::vector<void*> completed;
    E_OsStreamInject streamResult = OS_STREAM_INJECTED;
    std::vector<TestOs::StreamInjection> streamInjections;
};

State& state() {
    static State instance;
    return instance;
}

std::mutex* lockOf(OsSpinLock* lock) {
    return reinterpret_cast<std::mutex*>(lock->opaque);
}
Event* eventOf(OsEvent* event) {
    return reinterpret_cast<Event*>(event->opaque);
}

bool inject(ZorvanePacket* packet, bool receive) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        hook = state().beforeInject;
    }
    if (hook) {
        hook();
    }
    bool accepted = false;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        accepted = state().injectAccepted;
        if (accepted) {
            const auto* clone = static_cast<const ZorvaneFlatPacket*>(packet->clone);
            std::vector<uint8_t> bytes;
            if (clone != nullptr) {
                bytes.assign(clone->data, clone->data + clone->length);
            }
            const uint8_t* tcp = OsPacketTcpHeader(packet);
            const uint32_t sequence = tcp != nullptr ? static_cast<uint32_t>(tcp[4]) << 24 |
                                                           tcp[5] << 16 | tcp[6] << 8 | tcp[7]
                                                     : 0;
            state().injections.push_back(
                {receive, ZorvanePacketSourcePort(packet), sequence, std::move(bytes)});
        }
    }
    if (accepted) {
        ZorvaneFreePacket(packet);  // the completion runs at once
    }
    return accepted;
}

ZorvaneFlatPacket* flatOf(ZorvanePacket* packet) {
    return static_cast<ZorvaneFlatPacket*>(packet->netBufferList);
}

}  // namespace

void* OsAllocate(size_t size) {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().allocationsLeft == 0) {
            return nullptr;
        }
        if (state().allocationsLeft > 0) {
            --state().allocationsLeft;
        }
        ++state().outstanding;
    }
    return calloc(1, size);
}

void OsFree(void* memory) {
    if (memory == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        --state().outstanding;
    }
    free(memory);
}

void OsSpinLockInit(OsSpinLock* lock) {
    new (lock->opaque) std::mutex();
}
void OsSpinLockDestroy(OsSpinLock* lock) {
    lockOf(lock)->~mutex();
}
void OsSpinLockAcquire(OsSpinLock* lock, OsLockHandle* handle) {
    lockOf(lock)->lock();
    std::mutex* held = lockOf(lock);
    memcpy(handle->opaque, &held, sizeof(held));
}
void OsSpinLockRelease(OsLockHandle* handle) {
    std::mutex* held = nullptr;
    memcpy(&held, handle->opaque, sizeof(held));
    held->unlock();
}

void OsMutexInit(OsMutex* mutex) {
    new (mutex->opaque) std::mutex();
}
void OsMutexDestroy(OsMutex* mutex) {
    reinterpret_cast<std::mutex*>(mutex->opaque)->~mutex();
}
void OsMutexAcquire(OsMutex* mutex) {
    reinterpret_cast<std::mutex*>(mutex->opaque)->lock();
}
void OsMutexRelease(OsMutex* mutex) {
    reinterpret_cast<std::mutex*>(mutex->opaque)->unlock();
}

void OsEventInit(OsEvent* event) {
    new (event->opaque) Event();
}
void OsEventDestroy(OsEvent* event) {
    eventOf(event)->~Event();
}
void OsEventSet(OsEvent* event) {
    Event* e = eventOf(event);
    std::lock_guard<std::mutex> lock(e->mutex);
    e->signalled = true;
    ++e->generation;
    e->changed.notify_all();
}
void OsEventClear(OsEvent* event) {
    Event* e = eventOf(event);
    std::lock_guard<std::mutex> lock(e->mutex);
    e->signalled = false;
}
E_OsWaitResult OsEventWait(OsEvent* event, int64_t timeout) {
    Event* e = eventOf(event);
    std::chrono::milliseconds limit{std::chrono::hours(24)};
    if (timeout != OS_WAIT_FOREVER) {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().lastWaitTimeout = timeout;
        limit = std::min(state().waitCap, std::chrono::milliseconds(timeout / 10000));
    }
    std::unique_lock<std::mutex> lock(e->mutex);
    const uint64_t generation = e->generation;
    auto released = [&] { return e->signalled || e->generation != generation; };
    if (timeout == OS_WAIT_FOREVER) {
        e->changed.wait(lock, released);
        return OS_WAIT_SIGNALLED;
    }
    return e->changed.wait_for(lock, limit, released) ? OS_WAIT_SIGNALLED : OS_WAIT_TIMEOUT;
}

uint64_t OsTickCount() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().ticks;
}
uint32_t OsTickIncrement() {
    return TestOs::kTickIncrement;
}

bool OsQueueWorkItem(void (*routine)(void*), void* context) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().workItems.emplace_back(routine, context);
    return true;
}

struct OsThread {
    std::thread thread;
};
OsThread* OsStartSystemThread(void (*routine)(void*), void* context) {
    return new OsThread{std::thread(routine, context)};
}
void OsWaitForSystemThread(OsThread* thread) {
    thread->thread.join();
    delete thread;
}

void OsDebugPrint(int /*level*/, const char* format, va_list args) {
    char text[2048];
    vsnprintf(text, sizeof(text), format, args);
    std::lock_guard<std::mutex> lock(state().mutex);
    state().log += text;
}

bool OsPacketInjectReceive(ZorvanePacket* packet) {
    return inject(packet, true);
}
bool OsPacketInjectSend(ZorvanePacket* packet) {
    return inject(packet, false);
}
void OsPacketRelease(ZorvanePacket* packet) {
    const uint16_t port = ZorvanePacketSourcePort(packet);
    FlatPacketFree(flatOf(packet));
    FlatPacketFree(static_cast<ZorvaneFlatPacket*>(packet->clone));
    packet->netBufferList = nullptr;
    packet->clone = nullptr;
    packet->current = nullptr;
    std::lock_guard<std::mutex> lock(state().mutex);
    state().released.push_back(port);
}

E_OsProcessOpen OsOpenProcessToken(uint64_t pid, OsProcessToken* token) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (pid == 0) {
        return OS_PROCESS_INVALID_PARAMETER;
    }
    auto user = state().processUsers.find(pid);
    if (user == state().processUsers.end()) {
        return OS_PROCESS_INVALID_ID;
    }
    if (user->second.empty()) {
        return OS_PROCESS_NO_TOKEN;
    }
    memcpy(token->opaque, &pid, sizeof(pid));
    return OS_PROCESS_OPENED;
}

E_OsTokenUser OsQueryTokenUser(OsProcessToken* token, char* sid, uint32_t* length) {
    uint64_t pid = 0;
    memcpy(&pid, token->opaque, sizeof(pid));
    std::lock_guard<std::mutex> lock(state().mutex);
    const std::string& user = state().processUsers[pid];
    const uint32_t needed = static_cast<uint32_t>(user.size() + 1);
    if (sid == nullptr || *length < needed) {
        *length = needed;
        return OS_TOKEN_USER_TOO_SMALL;
    }
    memcpy(sid, user.c_str(), needed);
    return OS_TOKEN_USER_OK;
}

void OsCloseProcessToken(OsProcessToken* token) {
    memset(token->opaque, 0, sizeof(token->opaque));
}

bool OsPendOperation(void* completionHandle, void** completionContext) {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!state().pendAccepted) {
        return false;
    }
    *completionContext = completionHandle;
    return true;
}

void OsCompleteOperation(void* completionContext) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().completed.push_back(completionContext);
}

E_OsStreamInject OsStreamInject(const ZorvaneClassifyInput* input, ZorvaneTaggedBuffer* tagged) {
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().streamResult != OS_STREAM_INJECTED) {
            return state().streamResult;
        }
        state().streamInjections.push_back(
            {input->flowHandle, std::vector<uint8_t>(tagged->data, tagged->data + tagged->length)});
    }
    ZorvaneFreeTaggedBuffer(tagged);  // the completion runs at once
    return OS_STREAM_INJECTED;
}

namespace TestOs {

void setProcessUser(uint64_t pid, const std::string& sid) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().processUsers[pid] = sid;
}

void setPendAccepted(bool accepted) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().pendAccepted = accepted;
}

std::vector<void*> completedOperations() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().completed;
}

void setStreamInjectResult(E_OsStreamInject result) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().streamResult = result;
}

std::vector<StreamInjection> streamInjections() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().streamInjections;
}

void reset() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().ticks = 0;
    state().waitCap = std::chrono::hours(1);
    state().lastWaitTimeout = 0;
    state().allocationsLeft = -1;
    state().log.clear();
    state().workItems.clear();
    state().beforeInject = nullptr;
    state().injectAccepted = true;
    state().injections.clear();
    state().released.clear();
    state().processUsers.clear();
    state().pendAccepted = true;
    state().completed.clear();
    state().streamResult = OS_STREAM_INJECTED;
    state().streamInjections.clear();
}

void setSeconds(uint64_t seconds) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().ticks = seconds * 10000000ull / kTickIncrement;
}

void setMinutes(uint64_t minutes) {
    setSeconds(minutes * 60);
}

void setWaitCap(std::chrono::milliseconds cap) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().waitCap = cap;
}

int64_t lastWaitTimeout() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().lastWaitTimeout;
}

void failAllocationsAfter(int count) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().allocationsLeft = count;
}

long outstandingAllocations() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().outstanding;
}

std::string log() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().log;
}

void clearLog() {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().log.clear();
}

bool logged(const std::string& text) {
    return log().find(text) != std::string::npos;
}

int runWorkItems() {
    int ran = 0;
    for (;;) {
        std::pair<void (*)(void*), void*> item;
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            if (state().workItems.empty()) {
                return ran;
            }
            item = state().workItems.front();
            state().workItems.pop_front();
        }
        item.first(item.second);
        ++ran;
    }
}

void setBeforeInject(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().beforeInject = std::move(hook);
}

void setInjectAccepted(bool accepted) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().injectAccepted = accepted;
}

std::vector<Injection> injections() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().injections;
}

std::vector<uint16_t> releasedPorts() {
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().released;
}

ZorvanePacket* makeTcpPacket(uint32_t layerId, uint16_t sourcePort, uint16_t destinationPort) {
    uint8_t bytes[40] = {};
    bytes[0] = 0x45;  // IPv4, 20-byte header
    bytes[3] = sizeof(bytes);
    bytes[8] = 64;
    bytes[9] = 6;  // TCP
    bytes[20] = static_cast<uint8_t>(sourcePort >> 8);
    bytes[21] = static_cast<uint8_t>(sourcePort);
    bytes[22] = static_cast<uint8_t>(destinationPort >> 8);
    bytes[23] = static_cast<uint8_t>(destinationPort);
    bytes[32] = 0x50;  // 20-byte TCP header
    ZorvanePacket* packet = ZorvaneAllocatePacket();
    if (packet == nullptr) {
        return nullptr;
    }
    packet->layerId = layerId;
    packet->netBufferList = FlatPacketMake(bytes, sizeof(bytes));
    if (OsPacketClone(packet)) {
        return packet;
    }
    ZorvaneFreePacket(packet);
    return nullptr;
}

}  // namespace TestOs
