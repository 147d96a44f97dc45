#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "base/Registered.h"
#include "base/String.h"
#include "https/HttpsHostCache.h"
#include "port/Thread.h"

// What one filter-server query came to.
enum { HTTPS_STATUS_ERROR = 0, HTTPS_STATUS_SUCCESS = 1, HTTPS_STATUS_SESSION_EXPIRED = 2 };

struct HostQueueEntry {
    uint32_t childId = 0;
    String host;
};

// Asks the cloud filter about HTTPS hosts the cache cannot answer. The
// driver read thread queues questions; one verification thread answers them
// in arrival order, caches what may be cached and tells the driver. The
// platform class gives the thread and the manual-reset event only.
class HttpsHandler : public Registered<HttpsHandler> {
public:
    // Queues a question and wakes the verification thread, starting it
    // again first if it died.
    virtual void validateHttpsHost(unsigned int childId, String host);
    // The verification thread's body; never returns.
    virtual void processHostQueue();
    // One query of the filter server: an HTTPS_STATUS_* result, `blocked`
    // set to the verdict when there is one. `noAuth` adds the header that
    // keeps the server from demanding a new sign-in.
    virtual int checkHttpsHostWithFilter(unsigned int childId, String host, int& blocked,
                                         int noAuth);
    virtual ~HttpsHandler();

    // Sends a verdict on (child, host) to the driver; false when the driver
    // did not take it.
    static bool answerDriver(uint32_t childId, const String& host, int verdict);

protected:
    HttpsHandler() = default;

    // One pass of the verification loop: waits for a question when none is
    // queued, else answers the front one.
    void serveOnce();
    // processHostQueue loops while this holds; only a test ends it.
    virtual bool keepServing() { return true; }

    // The verification thread, from the thread handler: the platform's
    // constructor starts it once its event exists, and its destructor stops
    // it before the event goes. Tests that drive serveOnce themselves
    // replace both.
    virtual bool threadRunning();
    virtual void startThread();
    void stopThread();
    // Whether the platform's event could be made; no thread runs without.
    virtual bool eventReady() const { return true; }

    // The platform's manual-reset event.
    virtual void signalEvent() = 0;
    virtual void resetEvent() = 0;
    virtual void waitEvent() = 0;  // without time limit

    // The account's sign-in again, in the background, once a batch that met
    // an expired session is done.
    virtual void reauthenticate();

private:
    bool takeFront(HostQueueEntry& entry);
    bool queueEmpty();

    std::mutex mThreadLock;  // guards mThread
    std::unique_ptr<Thread> mThread;
    std::mutex mQueueLock;  // held only to push, test and take
    std::deque<HostQueueEntry> hostQueue;
    int mRemembered = HTTPS_STATUS_ERROR;  // the verification thread's only
};
