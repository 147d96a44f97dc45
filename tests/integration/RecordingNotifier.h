#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UserNotifierServer.h"

// A user's notifier in the test process, recording what arrives.
class RecordingNotifier {
public:
    explicit RecordingNotifier(const std::string& sid) : mServer(UserNotifierServer::create(sid)) {
        int error = 0;
        mListening = mServer->listen(error);
        if (mListening) {
            mThread = std::thread([this] {
                std::vector<char> message;
                while (mServer->serveOne(message, 1)) {
                    std::lock_guard<std::mutex> lock(mLock);
                    mNotices.push_back(describeNotification(message));
                }
            });
        }
    }
    ~RecordingNotifier() {
        mServer->stop();
        if (mThread.joinable()) {
            mThread.join();
        }
    }
    bool listening() const { return mListening; }
    std::vector<std::string> notices() const {
        std::lock_guard<std::mutex> lock(mLock);
        return mNotices;
    }

private:
    std::unique_ptr<UserNotifierServer> mServer;
    bool mListening = false;
    std::thread mThread;
    mutable std::mutex mLock;
    std::vector<std::string> mNotices;
};
