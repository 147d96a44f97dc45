#include "pipe/PipeChannel.h"

#include <algorithm>
#include <utility>

#include "base/Logger.h"
#include "zorvane_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kRecreateDelay(1000);
// Failed waits for a client in a row mean the server itself fails.
constexpr std::chrono::milliseconds kAcceptRetryDelay(100);

}  // namespace

bool PipeSession::signedIn() const {
    std::lock_guard<std::mutex> lock(mStateLock);
    return mSignedIn;
}

void PipeSession::setSignedIn(bool value) {
    std::lock_guard<std::mutex> lock(mStateLock);
    mSignedIn = value;
}

bool PipeSession::firstRefusal() {
    std::lock_guard<std::mutex> lock(mStateLock);
    return !std::exchange(mRefusalLogged, true);
}

int PipeSession::failures() const {
    std::lock_guard<std::mutex> lock(mStateLock);
    return mFailures;
}

Clock::time_point PipeSession::notBefore() const {
    std::lock_guard<std::mutex> lock(mStateLock);
    return mNotBefore;
}

void PipeSession::setFailures(int count, Clock::time_point notBefore) {
    std::lock_guard<std::mutex> lock(mStateLock);
    mFailures = count;
    mNotBefore = notBefore;
}

PipeChannel::PipeChannel(std::unique_ptr<PipeServer> server, PipeChannelTexts texts,
                         PipeChannelLimits limits)
    : mServer(std::move(server)), mTexts(texts), mLimits(limits) {}

PipeChannel::~PipeChannel() {
    std::list<std::shared_ptr<PipeSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(mLock);
        mStopping = true;
        for (const auto& session : mSessions) {
            if (session->mConnection) {
                session->mConnection->cancel();
            }
        }
        sessions = mSessions;
    }
    mChanged.notify_all();
    mServer->cancelWait();
    if (mAcceptThread.joinable()) {
        mAcceptThread.join();
    }
    for (const auto& session : sessions) {
        if (session->mThread.joinable()) {
            session->mThread.join();
        }
    }
}

void PipeChannel::create() {
    if (!mServer->create()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "%s - %d\n", mTexts.createFailed,
                                mServer->lastError());
    }
}

void PipeChannel::setGate(Gate gate) {
    std::lock_guard<std::mutex> lock(mLock);
    mGate = std::move(gate);
}

bool PipeChannel::pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mLock);
    mChanged.wait_for(lock, delay, [this] { return mStopping; });
    return !mStopping;
}

void PipeChannel::acceptClients() {
    Logger* log = Logger::instance();
    int failedWaits = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mLock);
            if (mStopping) {
                return;
            }
        }
        if (!mServer->exists()) {
            log->out(LOGLEVEL_ERROR, "%s invalid handle", mTexts.connectName);
            if (!pause(kRecreateDelay)) {
                return;
            }
            create();
            continue;
        }
        if (failedWaits > 1 && !pause(kAcceptRetryDelay)) {
            return;
        }
        std::unique_ptr<PipeConnection> connection = mServer->waitForClient();
        log->out(LOGLEVEL_ERROR, "%s failed %d %d\n", mTexts.connectName,
                 connection ? 0 : mServer->lastError(), connection ? 1 : 0);
        failedWaits = connection ? 0 : failedWaits + 1;
        std::lock_guard<std::mutex> lock(mLock);
        if (mStopping) {
            return;
        }
        if (connection) {
            reapLocked();
            admitLocked(std::make_shared<PipeSession>(std::move(connection)));
        }
    }
}

void PipeChannel::reapLocked() {
    for (auto it = mSessions.begin(); it != mSessions.end();) {
        if ((*it)->mFinished) {
            // The thread has nothing left to do under the lock.
            if ((*it)->mThread.joinable()) {
                (*it)->mThread.join();
            }
            it = mSessions.erase(it);
        } else {
            ++it;
        }
    }
}

void PipeChannel::admitLocked(const std::shared_ptr<PipeSession>& session) {
    Logger* log = Logger::instance();
    // Makes room by ending the longest idle connection among those `counted`
    // selects; false when every one of them is busy.
    auto makeRoom = [this](auto counted) {
        std::shared_ptr<PipeSession> idlest;
        for (const auto& other : mSessions) {
            if (other->mFinished || other->mEvicted || !counted(*other) || other->mBusy) {
                continue;
            }
            if (!idlest || other->mIdleSince < idlest->mIdleSince) {
                idlest = other;
            }
        }
        if (!idlest) {
            return false;
        }
        idlest->mConnection->cancel();
        idlest->mEvicted = true;  // no longer counted; its thread ends on its own
        Logger::instance()->out(LOGLEVEL_ERROR, "%s channel: idle client of %s dropped for a new one\n",
                                mTexts.channelName, idlest->peer().c_str());
        return true;
    };
    auto count = [this](auto counted) {
        return static_cast<size_t>(std::count_if(
            mSessions.begin(), mSessions.end(),
            [&](const auto& other) {
                return !other->mFinished && !other->mEvicted && counted(*other);
            }));
    };
    auto samePeer = [&session](const PipeSession& other) {
        return !session->peer().empty() && other.peer() == session->peer();
    };
    auto anyone = [](const PipeSession&) { return true; };
    if ((count(samePeer) >= mLimits.maxClientsPerPeer && !makeRoom(samePeer)) ||
        (count(anyone) >= mLimits.maxClients && !makeRoom(anyone))) {
        log->out(LOGLEVEL_ERROR, "%s channel busy - client of %s refused\n", mTexts.channelName,
                 session->peer().c_str());
        return;  // the connection ends with the session
    }
    mSessions.push_back(session);
    session->mThread = std::thread([this, session] { serveClient(session); });
}

bool PipeChannel::readExact(PipeSession& session, char* buffer, size_t length, bool idleFirst,
                            Clock::time_point& deadline) {
    size_t done = 0;
    while (done < length) {
        uint32_t timeoutMs = 0;  // waiting for a frame to start has no limit
        if (!idleFirst || done > 0) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            timeoutMs = static_cast<uint32_t>(std::max<int64_t>(1, left.count()));
        }
        size_t got = session.mConnection->readSome(buffer + done, length - done, timeoutMs);
        if (got == 0) {
            if (session.mConnection->timedOut()) {
                Logger::instance()->out(LOGLEVEL_ERROR,
                                        "%s client of %s too slow - dropped after %u ms\n",
                                        mTexts.channelName, session.peer().c_str(),
                                        mLimits.frameTimeoutMs);
            }
            return false;
        }
        if (idleFirst && done == 0) {
            // The frame has started: it must be whole within the frame time.
            deadline = Clock::now() + std::chrono::milliseconds(mLimits.frameTimeoutMs);
            std::lock_guard<std::mutex> lock(mLock);
            session.mBusy = true;
        }
        done += got;
    }
    return true;
}

PipeChannel::Read PipeChannel::readFrame(PipeSession& session, std::vector<char>& body) {
    Logger* log = Logger::instance();
    body.clear();
    Clock::time_point deadline;
    char lengthBytes[kFrameLengthBytes];
    if (!readExact(session, lengthBytes, sizeof lengthBytes, true, deadline)) {
        return Read::kGone;
    }
    const uint32_t length = LoadLe32(lengthBytes);
    if (length > kMaxRequestFrameLength) {
        log->out(LOGLEVEL_ERROR, "%s frame length %u above %u - client dropped\n",
                 mTexts.frameName, length, kMaxRequestFrameLength);
        return Read::kGone;
    }
    body.resize(length);
    if (length > 0 && !readExact(session, body.data(), length, false, deadline)) {
        log->out(LOGLEVEL_ERROR, "%s %d\n", mTexts.readFailed, session.mConnection->lastError());
        body.clear();
        return Read::kGone;
    }
    return Read::kFrame;
}

void PipeChannel::serveClient(const std::shared_ptr<PipeSession>& session) {
    std::vector<char> body;
    for (bool gone = false; !gone;) {
        if (readFrame(*session, body) == Read::kGone) {
            break;
        }
        Gate gate;
        {
            std::lock_guard<std::mutex> lock(mLock);
            gate = mGate;
        }
        // A frame of length 0 carries no command.
        bool queued = false;
        if (!body.empty() && (!gate || gate(*session, body))) {
            std::lock_guard<std::mutex> lock(mLock);
            if (mStopping) {
                break;
            }
            session->mRequestOpen = true;
            mRequests.emplace_back(session, std::move(body));
            queued = true;
        }
        mChanged.notify_all();
        // Writes what the request's execution answers until it is done.
        std::unique_lock<std::mutex> lock(mLock);
        while (queued && !gone) {
            mChanged.wait(lock, [&] {
                return mStopping || !session->mOutbox.empty() || !session->mRequestOpen;
            });
            if (mStopping) {
                gone = true;
            } else if (!session->mOutbox.empty()) {
                std::string bytes = std::move(session->mOutbox.front());
                session->mOutbox.pop_front();
                lock.unlock();
                gone = !session->mConnection->writeAll(bytes.data(), bytes.size(),
                                                       mLimits.answerTimeoutMs);
                if (gone && session->mConnection->timedOut()) {
                    Logger::instance()->out(LOGLEVEL_ERROR,
                                            "%s client of %s did not take its answer in %u ms\n",
                                            mTexts.channelName, session->peer().c_str(),
                                            mLimits.answerTimeoutMs);
                } else if (gone) {
                    Logger::instance()->out(LOGLEVEL_ERROR, "%s answer to %s not written - %d\n",
                                            mTexts.channelName, session->peer().c_str(),
                                            session->mConnection->lastError());
                }
                lock.lock();
            } else {
                break;  // done, everything written
            }
        }
        session->mBusy = false;
        session->mIdleSince = Clock::now();
    }
    std::lock_guard<std::mutex> lock(mLock);
    // A request still queued or being executed answers nobody.
    mRequests.erase(std::remove_if(mRequests.begin(), mRequests.end(),
                                   [&](const auto& request) { return request.first == session; }),
                    mRequests.end());
    session->mOutbox.clear();
    session->mConnection.reset();
    session->mFinished = true;
}

void PipeChannel::finishCurrentLocked() {
    if (mCurrent) {
        mCurrent->mRequestOpen = false;
        mCurrent.reset();
        mChanged.notify_all();
    }
}

std::vector<char> PipeChannel::nextRequest() {
    std::unique_lock<std::mutex> lock(mLock);
    if (!mAccepting) {
        mAccepting = true;
        mAcceptThread = std::thread([this] { acceptClients(); });
    }
    finishCurrentLocked();
    mChanged.wait(lock, [this] { return mStopping || !mRequests.empty(); });
    if (mStopping) {
        return {};
    }
    std::vector<char> body = std::move(mRequests.front().second);
    mCurrent = std::move(mRequests.front().first);
    mRequests.pop_front();
    return body;
}

std::shared_ptr<PipeSession> PipeChannel::current() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mCurrent && !mCurrent->mFinished ? mCurrent : nullptr;
}

bool PipeChannel::answer(const char* data, size_t length) {
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (!mCurrent || mCurrent->mFinished || !mCurrent->mConnection) {
            return false;
        }
        mCurrent->mOutbox.emplace_back(data, length);
    }
    mChanged.notify_all();
    return true;
}
