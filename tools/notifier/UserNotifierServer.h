#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/String.h"

// The notifier program's end of one user's notification channel: the pipe
// (Windows) or socket (Linux) named after the user's SID. Each connection
// carries one frame (4-byte count, then the message) and gets a 4-byte answer.
class UserNotifierServer {
public:
    // The platform's server for `sid` (one implementation per platform).
    static std::unique_ptr<UserNotifierServer> create(const String& sid);

    virtual ~UserNotifierServer() = default;

    // Waits until the channel has a place to be served in (Linux: the
    // user's folder, which the service makes); `waiting` is told once what
    // it waits for. False when stopped first.
    virtual bool waitForPlace(const std::function<void(const String&)>& waiting) = 0;
    // Creates the pipe or socket; false (with the system's error) on failure,
    // also when another server already serves the name.
    virtual bool listen(int& error) = 0;
    // Waits for one connection, reads its message and answers `answer`.
    // False when stopped, or when the connection broke (message then empty).
    virtual bool serveOne(std::vector<char>& message, uint32_t answer) = 0;
    // Makes a waiting serveOne return false; callable from another thread.
    virtual void stop() = 0;
    // The pipe's or socket's name, for messages.
    virtual String name() const = 0;

    // Largest message accepted; the service's messages are far smaller.
    static constexpr uint32_t kMaxMessage = 64 * 1024;
};

// A message as a person would read it, e.g. "site blocked: example.com".
String describeNotification(const std::vector<char>& message);
