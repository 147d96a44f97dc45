#include <windows.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "zorvane_bytes.h"
#include "notifier/NotifyCodes.h"
#include "NotifierPlatform.h"
#include "UserNotifierServer.h"
#include "UserNotifiers.h"
#include "WinNotifier.h"
#include "WinUserNotifierChannel.h"

namespace {

// The made-up SIDs of this process's test users.
String testSidPrefix() {
    return String("S-1-5-21-" + std::to_string(GetCurrentProcessId()) + "-2000-3000-");
}

}  // namespace

// The service's notifier, whose pipe check expects this program's own user
// behind the made-up SIDs (one Wine user serves them all).
struct UserNotifiers::Place {
    Place() {
        int error = 0;
        const String own = NotifierPlatform::ownSid(error);
        const String prefix = testSidPrefix();
        notifier = std::make_unique<WinNotifier>(
            String(WinNotifier::kCommandPipeName),
            std::make_unique<WinUserNotifierChannel>([own, prefix](const String& sid) {
                return sid.rfind(prefix, 0) == 0 ? own : sid;
            }));
        Notifier::registerInstance(notifier.get());
    }
    ~Place() { Notifier::registerInstance(nullptr); }

    std::unique_ptr<WinNotifier> notifier;
};

// The notifier program's server for one SID, served on a thread; keeps what
// the program would show.
struct UserNotifiers::User {
    explicit User(const String& sid) : server(UserNotifierServer::create(sid)) {}
    ~User() {
        stopped = true;
        server->stop();
        if (thread.joinable()) {
            thread.join();
        }
    }

    std::unique_ptr<UserNotifierServer> server;
    std::atomic<bool> stopped{false};
    std::thread thread;
    std::mutex lock;
    std::vector<std::string> shown;  // guarded by lock
};

UserNotifiers::UserNotifiers() : mPlace(std::make_unique<Place>()) {}

UserNotifiers::~UserNotifiers() {
    mUsers.clear();
    mPlace.reset();
}

std::string UserNotifiers::unavailable() {
    return std::string();
}

String UserNotifiers::sidOf(unsigned n) {
    // Of this process, so test programs side by side never share a pipe.
    return String(testSidPrefix() + std::to_string(1000 + n));
}

bool UserNotifiers::start(const String& sid) {
    auto user = std::make_unique<User>(sid);
    int error = 0;
    if (!user->server->listen(error)) {
        return false;
    }
    User* served = user.get();
    user->thread = std::thread([served] {
        std::vector<char> message;
        while (!served->stopped) {
            if (!served->server->serveOne(message, 1)) {
                continue;
            }
            // Status checks are answered, not shown, as the program does.
            if (message.size() == 4 && LoadLe32(message.data()) == NOTIFY_STATUS_CHECK) {
                continue;
            }
            std::lock_guard<std::mutex> guard(served->lock);
            served->shown.push_back(describeNotification(message));
        }
    });
    mUsers[sid] = std::move(user);
    return true;
}

void UserNotifiers::stop(const String& sid) {
    mUsers.erase(sid);
}

std::vector<std::string> UserNotifiers::shown(const String& sid, size_t count) {
    auto found = mUsers.find(sid);
    if (found == mUsers.end()) {
        return {};
    }
    User& user = *found->second;
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> guard(user.lock);
            if (user.shown.size() >= count) {
                return user.shown;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::lock_guard<std::mutex> guard(user.lock);
    return user.shown;
}
