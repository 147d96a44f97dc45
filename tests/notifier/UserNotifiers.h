#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "notifier/PipeNotifier.h"
#include "base/String.h"

// Stand-in notifiers of several users, each serving its user's channel.
// Linux: the real zorvane_notifier program run as each user, which needs
// root; Windows: the program's channel server on a thread per user, and the
// service's notifier told that the made-up SIDs' pipes are served by this
// program's own user (the server check itself runs as ever). Platform parts:
// LinuxUserNotifiers.cpp, WinUserNotifiers.cpp.
class UserNotifiers {
public:
    UserNotifiers();
    ~UserNotifiers();
    UserNotifiers(const UserNotifiers&) = delete;
    UserNotifiers& operator=(const UserNotifiers&) = delete;

    // Empty when they can run here, else why not.
    static std::string unavailable();
    // The SID of test user `n` (1, 2, ...): ascending with `n`.
    static String sidOf(unsigned n);

    // Starts the notifier of `sid`; false when it does not serve.
    bool start(const String& sid);
    // Ends it; its channel is gone afterwards.
    void stop(const String& sid);
    // What the notifier of `sid` has shown, one description per notice,
    // waiting up to 10 s for at least `count`.
    std::vector<std::string> shown(const String& sid, size_t count = 0);

    // The service's notifier, registered as the Notifier instance for the
    // life of this object.
    Notifier& serviceNotifier() { return *Notifier::instance(); }

    struct User;

private:
    std::map<String, std::unique_ptr<User>> mUsers;
    struct Place;
    std::unique_ptr<Place> mPlace;
};
