#include "LinuxOs.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <new>

#include "Classify.h"
#include "FlatPacket.h"
#include "Packet.h"
#include "os_interface.h"

namespace {

struct Event {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
    uint64_t generation = 0;  // counts sets: a set releases every waiter
};
static_assert(sizeof(Event) <= sizeof(OsEvent), "event storage");
static_assert(alignof(Event) <= alignof(OsEvent), "event storage");
static_assert(sizeof(std::mutex) <= sizeof(OsSpinLock), "lock storage");
static_assert(sizeof(std::mutex) <= sizeof(OsMutex), "mutex storage");
static_assert(sizeof(std::mutex*) <= sizeof(OsLockHandle), "handle storage");

std::mutex* mutexOf(unsigned char* opaque) {
    return reinterpret_cast<std::mutex*>(opaque);
}
Event* eventOf(OsEvent* event) {
    return reinterpret_cast<Event*>(event->opaque);
}

// Guards gLogFile and gAtLineStart.
std::mutex gLogMutex;
FILE* gLogFile = nullptr;
bool gAtLineStart = true;

struct WorkQueue {
    std::mutex mutex;  // guards everything below
    std::condition_variable changed;
    std::deque<std::pair<void (*)(void*), void*>> items;
    bool running = false;
    bool stopping = false;
    pthread_t thread{};
};
WorkQueue gWork;

void* workLoop(void* /*unused*/) {
    std::unique_lock<std::mutex> lock(gWork.mutex);
    for (;;) {
        gWork.changed.wait(lock, [] { return gWork.stopping || !gWork.items.empty(); });
        if (gWork.items.empty()) {
            return nullptr;  // stopping with nothing left
        }
        auto item = gWork.items.front();
        gWork.items.pop_front();
        lock.unlock();
        item.first(item.second);
        lock.lock();
    }
}

// Guards gHooks.
std::mutex gHookMutex;
LinuxOs::PacketHooks gHooks{nullptr, nullptr};

LinuxOs::PacketHooks hooks() {
    std::lock_guard<std::mutex> lock(gHookMutex);
    return gHooks;
}

ZorvaneFlatPacket* flatOf(ZorvanePacket* packet) {
    return static_cast<ZorvaneFlatPacket*>(packet->netBufferList);
}

}  // namespace

struct OsThread {
    pthread_t thread;
    void (*routine)(void*);
    void* context;
};

namespace {

void* threadMain(void* argument) {
    auto* thread = static_cast<OsThread*>(argument);
    thread->routine(thread->context);
    return nullptr;
}

}  // namespace

void* OsAllocate(size_t size) {
    return calloc(1, size);
}

void OsFree(void* memory) {
    free(memory);
}

void OsSpinLockInit(OsSpinLock* lock) {
    new (lock->opaque) std::mutex();
}
void OsSpinLockDestroy(OsSpinLock* lock) {
    mutexOf(lock->opaque)->~mutex();
}
void OsSpinLockAcquire(OsSpinLock* lock, OsLockHandle* handle) {
    std::mutex* held = mutexOf(lock->opaque);
    held->lock();
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
    mutexOf(mutex->opaque)->~mutex();
}
void OsMutexAcquire(OsMutex* mutex) {
    mutexOf(mutex->opaque)->lock();
}
void OsMutexRelease(OsMutex* mutex) {
    mutexOf(mutex->opaque)->unlock();
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
    std::unique_lock<std::mutex> lock(e->mutex);
    const uint64_t generation = e->generation;
    auto released = [&] { return e->signalled || e->generation != generation; };
    if (timeout == OS_WAIT_FOREVER) {
        e->changed.wait(lock, released);
        return OS_WAIT_SIGNALLED;
    }
    // steady_clock: the wait is not disturbed by changes of the wall clock.
    const auto limit = std::chrono::microseconds(timeout / 10);
    return e->changed.wait_for(lock, limit, released) ? OS_WAIT_SIGNALLED : OS_WAIT_TIMEOUT;
}

// Milliseconds of the monotonic clock.
uint64_t OsTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}
uint32_t OsTickIncrement() {
    return 10000;
}

bool OsQueueWorkItem(void (*routine)(void*), void* context) {
    std::lock_guard<std::mutex> lock(gWork.mutex);
    if (!gWork.running || gWork.stopping) {
        return false;
    }
    gWork.items.emplace_back(routine, context);
    gWork.changed.notify_one();
    return true;
}

OsThread* OsStartSystemThread(void (*routine)(void*), void* context) {
    auto* thread = static_cast<OsThread*>(calloc(1, sizeof(OsThread)));
    if (thread == nullptr) {
        return nullptr;
    }
    thread->routine = routine;
    thread->context = context;
    if (pthread_create(&thread->thread, nullptr, threadMain, thread) != 0) {
        free(thread);
        return nullptr;
    }
    return thread;
}

void OsWaitForSystemThread(OsThread* thread) {
    pthread_join(thread->thread, nullptr);
    free(thread);
}

void OsDebugPrint(int /*level*/, const char* format, va_list args) {
    char text[2048];
    vsnprintf(text, sizeof(text), format, args);
    std::lock_guard<std::mutex> lock(gLogMutex);
    FILE* out = gLogFile != nullptr ? gLogFile : stderr;
    // Each line starts with the local time; a message may end mid-line.
    for (const char* part = text; *part != 0;) {
        if (gAtLineStart) {
            const time_t now = time(nullptr);
            tm local{};
            localtime_r(&now, &local);
            char stamp[32];
            strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S ", &local);
            fputs(stamp, out);
        }
        const char* end = strchr(part, '\n');
        const size_t length = end != nullptr ? static_cast<size_t>(end - part) + 1 : strlen(part);
        fwrite(part, 1, length, out);
        gAtLineStart = end != nullptr;
        part += length;
    }
    fflush(out);
}

bool OsPacketInjectReceive(ZorvanePacket* packet) {
    const LinuxOs::PacketHooks current = hooks();
    return current.inject != nullptr && current.inject(packet, true);
}

bool OsPacketInjectSend(ZorvanePacket* packet) {
    const LinuxOs::PacketHooks current = hooks();
    return current.inject != nullptr && current.inject(packet, false);
}

void OsPacketRelease(ZorvanePacket* packet) {
    const LinuxOs::PacketHooks current = hooks();
    if (current.release != nullptr) {
        current.release(packet);
    }
    FlatPacketFree(flatOf(packet));
    FlatPacketFree(static_cast<ZorvaneFlatPacket*>(packet->clone));
    FlatPacketFree(static_cast<ZorvaneFlatPacket*>(packet->newList));
    packet->netBufferList = nullptr;
    packet->clone = nullptr;
    packet->current = nullptr;
    packet->newList = nullptr;
}

namespace {

struct ProcessToken {
    char sid[32];  // "S-1-22-1-" and a 32-bit uid
};
static_assert(sizeof(ProcessToken) <= sizeof(OsProcessToken), "token storage");

}  // namespace

E_OsProcessOpen OsOpenProcessToken(uint64_t pid, OsProcessToken* token) {
    if (pid == 0 || pid > 0x7FFFFFFF) {
        return OS_PROCESS_INVALID_PARAMETER;
    }
    char path[64];
    snprintf(path, sizeof(path), "/proc/%llu/status", static_cast<unsigned long long>(pid));
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) {
            return OS_PROCESS_INVALID_ID;
        }
        return errno == EACCES ? OS_PROCESS_ACCESS_DENIED : OS_PROCESS_OPEN_FAILED;
    }
    char text[4096];
    size_t used = 0;
    for (;;) {
        const ssize_t got = read(fd, text + used, sizeof(text) - 1 - used);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        used += static_cast<size_t>(got);
        if (used == sizeof(text) - 1) {
            break;
        }
    }
    close(fd);
    text[used] = '\0';
    auto* opened = reinterpret_cast<ProcessToken*>(token->opaque);
    if (!LinuxOs::sidFromStatus(text, opened->sid, sizeof(opened->sid))) {
        return OS_PROCESS_NO_TOKEN;
    }
    return OS_PROCESS_OPENED;
}

E_OsTokenUser OsQueryTokenUser(OsProcessToken* token, char* sid, uint32_t* length) {
    const auto* opened = reinterpret_cast<const ProcessToken*>(token->opaque);
    const uint32_t needed = static_cast<uint32_t>(strlen(opened->sid) + 1);
    if (sid == nullptr || *length < needed) {
        *length = needed;
        return OS_TOKEN_USER_TOO_SMALL;
    }
    memcpy(sid, opened->sid, needed);
    return OS_TOKEN_USER_OK;
}

void OsCloseProcessToken(OsProcessToken* token) {
    memset(token->opaque, 0, sizeof(token->opaque));
}

bool OsPendOperation(void* completionHandle, void** completionContext) {
    if (completionHandle == nullptr) {
        return false;
    }
    *completionContext = completionHandle;
    return true;
}

void OsCompleteOperation(void* completionContext) {
    auto* completion = static_cast<LinuxOs::Completion*>(completionContext);
    completion->complete(completion->argument);
}

E_OsStreamInject OsStreamInject(const ZorvaneClassifyInput* input, ZorvaneTaggedBuffer* tagged) {
    auto* sink = static_cast<LinuxOs::StreamSink*>(input->platformContext);
    if (sink == nullptr || sink->write == nullptr) {
        return OS_STREAM_INJECT_FAILED;
    }
    if (!sink->write(sink->argument, tagged->data, tagged->length)) {
        return OS_STREAM_INJECT_FAILED;
    }
    ZorvaneFreeTaggedBuffer(tagged);  // written synchronously: done
    return OS_STREAM_INJECTED;
}

namespace LinuxOs {

bool sidFromStatus(const char* statusText, char* sid, size_t size) {
    for (const char* line = statusText; line != nullptr && *line != '\0';) {
        if (strncmp(line, "Uid:", 4) == 0) {
            const char* digits = line + 4;
            while (*digits == ' ' || *digits == '\t') {
                ++digits;
            }
            if (*digits < '0' || *digits > '9') {
                return false;
            }
            unsigned long long uid = 0;
            for (; *digits >= '0' && *digits <= '9'; ++digits) {
                uid = uid * 10 + static_cast<unsigned>(*digits - '0');
                if (uid > 0xFFFFFFFFull) {
                    return false;
                }
            }
            const int written = snprintf(sid, size, "S-1-22-1-%llu", uid);
            return written > 0 && static_cast<size_t>(written) < size;
        }
        line = strchr(line, '\n');
        if (line != nullptr) {
            ++line;
        }
    }
    return false;
}

bool openLog(const char* path) {
    FILE* file = fopen(path, "a");
    if (file == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(gLogMutex);
    if (gLogFile != nullptr) {
        fclose(gLogFile);
    }
    gLogFile = file;
    gAtLineStart = true;
    return true;
}

void closeLog() {
    std::lock_guard<std::mutex> lock(gLogMutex);
    if (gLogFile != nullptr) {
        fclose(gLogFile);
        gLogFile = nullptr;
    }
}

bool startWorkItems() {
    std::lock_guard<std::mutex> lock(gWork.mutex);
    if (gWork.running) {
        return true;
    }
    gWork.stopping = false;
    if (pthread_create(&gWork.thread, nullptr, workLoop, nullptr) != 0) {
        return false;
    }
    gWork.running = true;
    return true;
}

void stopWorkItems() {
    {
        std::lock_guard<std::mutex> lock(gWork.mutex);
        if (!gWork.running) {
            return;
        }
        gWork.stopping = true;
        gWork.changed.notify_all();
    }
    pthread_join(gWork.thread, nullptr);
    std::lock_guard<std::mutex> lock(gWork.mutex);
    gWork.running = false;
}

void setPacketHooks(const PacketHooks& packetHooks) {
    std::lock_guard<std::mutex> lock(gHookMutex);
    gHooks = packetHooks;
}

}  // namespace LinuxOs
