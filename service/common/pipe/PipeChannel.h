#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port/PipeServer.h"

// Request frames of the service's local channels: a 4-byte little-endian
// length N, then N bytes. Requests are a command id and a few hundred bytes
// at most; a longer frame is not allocated and its sender is dropped.
constexpr uint32_t kFrameLengthBytes = 4;
constexpr uint32_t kMaxRequestFrameLength = 64 * 1024;

// How one channel's log lines name it: "<createFailed> - <error>" when the
// listening end cannot be made, "<connectName> invalid handle" without one,
// "<connectName> failed <error> <result>" after each wait for a client,
// "<readFailed> <error>" when a client goes inside a frame,
// "<frameName> frame length ..." for a frame above the limit, and
// `channelName` in the other lines ("desktop", "notifier").
struct PipeChannelTexts {
    const char* createFailed;
    const char* connectName;
    const char* readFailed;
    const char* frameName;
    const char* channelName;
};

// What one client may take of a channel. Any local user can connect, so a
// client that idles, trickles a frame or never reads its answer must not
// hold the others.
struct PipeChannelLimits {
    // A frame whose first byte has come must be whole within this.
    uint32_t frameTimeoutMs = 5000;
    // A client must take its answer within this.
    uint32_t answerTimeoutMs = 5000;
    // Connections served at once, and per local account. A new client of an
    // account at its limit (or of a full channel) takes the place of that
    // account's (or anybody's) longest idle connection.
    size_t maxClients = 16;
    size_t maxClientsPerPeer = 4;
};

// One connected client of a channel. The channel's reader thread and the
// client's own thread share it.
class PipeSession {
public:
    explicit PipeSession(std::unique_ptr<PipeConnection> connection)
        : mConnection(std::move(connection)), mPeer(mConnection->peerIdentity()) {}

    const String& peer() const { return mPeer; }

    // State the channel's owner keeps per connection, guarded by its own lock.
    bool signedIn() const;
    void setSignedIn(bool value);
    // True the first time only: for lines logged once per connection.
    bool firstRefusal();
    // Failed password checks in a row on this connection and the time before
    // which the next check waits.
    int failures() const;
    std::chrono::steady_clock::time_point notBefore() const;
    void setFailures(int count, std::chrono::steady_clock::time_point notBefore);

private:
    friend class PipeChannel;

    std::unique_ptr<PipeConnection> mConnection;
    const String mPeer;
    std::thread mThread;

    mutable std::mutex mStateLock;  // guards the owner's state below
    bool mSignedIn = false;
    bool mRefusalLogged = false;
    int mFailures = 0;
    std::chrono::steady_clock::time_point mNotBefore{};

    // Guarded by the channel's lock.
    bool mBusy = false;      // a frame is being read or a request is open
    bool mFinished = false;  // the thread has ended
    bool mEvicted = false;   // cancelled to make room; ends soon
    std::chrono::steady_clock::time_point mIdleSince = std::chrono::steady_clock::now();
    bool mRequestOpen = false;       // queued or being executed
    std::deque<std::string> mOutbox;  // answers to write
};

// One served pipe: accepts clients side by side, each on a thread of its
// own that reads its frames within the limits, and hands whole requests to
// the one reader thread in the order they arrived. A client's next frame is
// read only once its request is done, so every client sees its answers in
// order.
class PipeChannel {
public:
    // Runs on the client's thread before a request is queued: false drops
    // the request (the client stays). It may wait (a back-off).
    using Gate = std::function<bool(PipeSession& session, const std::vector<char>& body)>;

    PipeChannel(std::unique_ptr<PipeServer> server, PipeChannelTexts texts,
                PipeChannelLimits limits = PipeChannelLimits());
    // Ends every client and joins the threads.
    ~PipeChannel();
    PipeChannel(const PipeChannel&) = delete;
    PipeChannel& operator=(const PipeChannel&) = delete;

    // Creates the listening end; a failure is logged (the accepting thread
    // tries again every second).
    void create();
    bool exists() const { return mServer->exists(); }
    void setGate(Gate gate);

    // Finishes the current request and waits for the next whole frame of any
    // client: its body, whose client becomes the current session. Starts
    // accepting clients on the first call.
    std::vector<char> nextRequest();
    // The client of the request being executed; null when it has gone.
    std::shared_ptr<PipeSession> current() const;
    // Queues an answer to the current request's client (several per request
    // are allowed); false when there is no such client any more.
    bool answer(const char* data, size_t length);

    // Waits `delay` unless the channel is being destroyed first; false then.
    bool pause(std::chrono::milliseconds delay);

    const PipeChannelLimits& limits() const { return mLimits; }
    PipeServer& server() { return *mServer; }

private:
    enum class Read { kFrame, kGone };

    void acceptClients();
    void serveClient(const std::shared_ptr<PipeSession>& session);
    Read readFrame(PipeSession& session, std::vector<char>& body);
    bool readExact(PipeSession& session, char* buffer, size_t length, bool idleFirst,
                   std::chrono::steady_clock::time_point& deadline);
    // Caller holds mLock.
    void admitLocked(const std::shared_ptr<PipeSession>& session);
    void reapLocked();
    void finishCurrentLocked();

    std::unique_ptr<PipeServer> mServer;
    const PipeChannelTexts mTexts;
    const PipeChannelLimits mLimits;
    Gate mGate;

    // Guards everything below and the sessions' channel state.
    mutable std::mutex mLock;
    std::condition_variable mChanged;
    bool mStopping = false;
    bool mAccepting = false;
    std::thread mAcceptThread;
    std::list<std::shared_ptr<PipeSession>> mSessions;
    std::deque<std::pair<std::shared_ptr<PipeSession>, std::vector<char>>> mRequests;
    std::shared_ptr<PipeSession> mCurrent;
};
