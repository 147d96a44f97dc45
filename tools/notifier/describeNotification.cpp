#include <cstring>

#include "zorvane_bytes.h"
#include "notifier/NotifyCodes.h"
#include "UserNotifierServer.h"

namespace {

String textAt(const std::vector<char>& message, size_t offset) {
    if (message.size() <= offset) {
        return String();
    }
    const char* start = message.data() + offset;
    const size_t room = message.size() - offset;
    const void* end = std::memchr(start, '\0', room);
    return String(start, static_cast<int>(end ? static_cast<const char*>(end) - start : room));
}

String numberAt(const std::vector<char>& message, size_t offset) {
    if (message.size() < offset + 4) {
        return String("?");
    }
    return String(static_cast<int>(LoadLe32(message.data() + offset)));
}

}  // namespace

String describeNotification(const std::vector<char>& message) {
    if (message.size() < 4) {
        return String("malformed message (" + std::to_string(message.size()) + " bytes)");
    }
    switch (static_cast<int>(LoadLe32(message.data()))) {
        case NOTIFY_CONNECTION_ERROR:
            return String("connection error: " + textAt(message, 4));
        case NOTIFY_HTTPS_SITE_BLOCKED:
            return String("site blocked: " + textAt(message, 4));
        case NOTIFY_STATUS_CHECK:
            return String("status check");
        case NOTIFY_NEW_UPDATE:
            return String("new version: " + textAt(message, 4));
        case NOTIFY_ALL_SERVER_DOWN:
            return String("filter servers down");
        case NOTIFY_AUTH_FAIL: {
            String background = message.size() >= 9 && message[8] ? " (background)" : "";
            return String("sign-in failure: code " + numberAt(message, 4) + background);
        }
        case NOTIFY_DRIVER_ERROR:
            return String("driver error: code " + numberAt(message, 4));
        case NOTIFY_REDIRECT_PROCESS:
            return String("redirect process: " + textAt(message, 4));
        default:
            return String("unknown notice " + numberAt(message, 0));
    }
}
