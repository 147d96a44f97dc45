#pragma once

// The notifier fixtures: users' notifiers in memory, and the real per-user
// channel, for the notifier tests of every platform.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "system/Accounts.h"
#include "zorvane_bytes.h"
#include "settings/FileStore.h"
#include "notifier/Notifier.h"
#include "notifier/NotifyCodes.h"
#include "commands/NotifyCommand.h"
#include "port/ProcessInfo.h"
#include "settings/Settings.h"
#include "TestSupport.h"
#include "UserNotifierServer.h"

#ifdef _WIN32
#include <windows.h>

#include "WinProcessUser.h"
#include "WinUserNotifierChannel.h"
#else
#include <unistd.h>

#include "LinuxNotifyFolders.h"
#endif

// Users' notifiers in memory: who listens, what arrived, which write fails.
class FakeChannel : public UserNotifierChannel {
public:
    struct State {
        std::set<String> listening;
        std::set<String> failWrite;
        std::map<String, uint32_t> answers;
        std::vector<std::pair<String, std::vector<char>>> received;  // sid, message
        std::vector<String> contacted;
    };

    explicit FakeChannel(State& state) : mState(state) {}

    bool connect(const String& sid, int& error) override {
        mState.contacted.push_back(sid);
        if (!mState.listening.count(sid)) {
            error = 2;
            return false;
        }
        mSid = sid;
        mFrame.clear();
        return true;
    }
    bool write(const char* data, uint32_t length, int& error) override {
        if (mState.failWrite.count(mSid)) {
            error = 232;
            return false;
        }
        mFrame.insert(mFrame.end(), data, data + length);
        return true;
    }
    bool read(char* data, uint32_t length, int&) override {
        if (length != 4 || mFrame.size() < 4) {
            return false;
        }
        mState.received.push_back({mSid, std::vector<char>(mFrame.begin() + 4, mFrame.end())});
        StoreLe32(data, mState.answers.count(mSid) ? mState.answers[mSid] : 1);
        return true;
    }
    void close() override { mSid.clear(); }
    String name(const String& sid) const override { return String("fake:" + sid); }

private:
    State& mState;
    String mSid;
    std::vector<char> mFrame;
};

class TestNotifier : public Notifier {
public:
    explicit TestNotifier(std::unique_ptr<UserNotifierChannel> channel)
        : Notifier(std::move(channel)) {
        registerInstance(this);
    }
    ~TestNotifier() override { registerInstance(nullptr); }
    std::unique_ptr<Command> waitForCommand() override { return nullptr; }
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override {
        response.reset();
        return 0;
    }
};

inline std::vector<char> record(int code, uint32_t child, const std::string& data) {
    std::vector<char> bytes(8 + data.size());
    StoreLe32(bytes.data(), static_cast<uint32_t>(code));
    StoreLe32(bytes.data() + 4, child);
    if (!data.empty()) {
        std::memcpy(bytes.data() + 8, data.data(), data.size());
    }
    return bytes;
}

// The process's settings get the map; "" empties it.
inline void setUserMap(const char* text) {
    Settings::instance()->populateUserMapFromString(*text ? text : "\n");
}

class NotifierRules : public testing::Test {
protected:
    NotifierRules() : notifier(std::make_unique<FakeChannel>(users)) {}
    ~NotifierRules() override { setUserMap(""); }

    std::vector<String> receivers() const {
        std::vector<String> sids;
        for (const auto& message : users.received) {
            sids.push_back(message.first);
        }
        return sids;
    }

    FakeChannel::State users;
    TestNotifier notifier;
};


class NotifierTransport : public testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        setenv("ZORVANE_RUN_DIR", runDir.path().string().c_str(), 1);
        ownSid = String("S-1-22-1-" + std::to_string(getuid()));
        otherSid = String("S-1-22-1-" + std::to_string(getuid() + 4242));
#else
        ownSid = String("S-1-5-21-1000-2000-3000-" + std::to_string(GetCurrentProcessId()));
        otherSid = String(ownSid + "1");
#endif
    }
    void TearDown() override {
        setUserMap("");
#ifndef _WIN32
        unsetenv("ZORVANE_RUN_DIR");
#endif
    }

    // The platform's channel. Windows: the pipe of the made-up own SID is
    // served by this program's real user, and the channel's server check
    // is told so.
    std::unique_ptr<UserNotifierChannel> realChannel() const {
#ifdef _WIN32
        const String made = ownSid;
        const String real = processSid();
        return std::make_unique<WinUserNotifierChannel>(
            [made, real](const String& sid) { return sid == made ? real : sid; });
#else
        return UserNotifierChannel::create();
#endif
    }

#ifdef _WIN32
    static String processSid() {
        int error = 0;
        return WinProcessUser::sidText(GetCurrentProcess(), error);
    }
#endif

    // Serves `sid` on a thread until the test ends; keeps what arrived.
    struct User {
        explicit User(const String& sid, uint32_t answer) : server(UserNotifierServer::create(sid)) {
            int error = 0;
#ifndef _WIN32
            // The user's folder, as the service makes it for a mapped user.
            LinuxNotifyFolders::prepare({sid});
#endif
            listening = server->listen(error);
            if (listening) {
                thread = std::thread([this, answer] {
                    std::vector<char> message;
                    while (!stopped) {
                        if (server->serveOne(message, answer)) {
                            std::lock_guard<std::mutex> lock(mutex);
                            messages.push_back(message);
                        }
                    }
                });
            }
        }
        ~User() {
            stopped = true;
            server->stop();
            if (thread.joinable()) {
                thread.join();
            }
        }
        // The server records a message after it answered: wait for it.
        size_t waitForMessages(size_t count) {
            for (int i = 0; i < 2000; ++i) {
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    if (messages.size() >= count) {
                        return messages.size();
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::lock_guard<std::mutex> lock(mutex);
            return messages.size();
        }

        std::unique_ptr<UserNotifierServer> server;
        bool listening = false;
        std::atomic<bool> stopped{false};
        std::thread thread;
        std::mutex mutex;
        std::vector<std::vector<char>> messages;
    };

    TempDir runDir;
    String ownSid;
    String otherSid;
};

