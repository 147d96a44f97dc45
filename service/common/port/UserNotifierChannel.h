#pragma once

#include <cstdint>
#include <memory>

#include "base/String.h"

// A short connection to one user's notifier program, named after the user's
// SID: connect, write a frame, read the 4-byte answer, close. Every step has
// a time-out, so a notifier that never answers cannot hold the service.
class UserNotifierChannel {
public:
    virtual ~UserNotifierChannel() = default;

    virtual bool connect(const String& sid, int& error) = 0;
    virtual bool write(const char* data, uint32_t length, int& error) = 0;
    virtual bool read(char* data, uint32_t length, int& error) = 0;
    virtual void close() = 0;
    // The notifier's address, for log lines.
    virtual String name(const String& sid) const = 0;

    // The platform's channel (one implementation per platform).
    static std::unique_ptr<UserNotifierChannel> create();

    static constexpr uint32_t kTimeoutMs = 5000;
};
