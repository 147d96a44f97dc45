#pragma once

#include <cstdint>
#include <memory>

#include "base/String.h"
#include "commands/Command.h"

// The filter's question whether a child may reach an HTTPS host (read
// record 2): the child id at bytes 4-7 and the host, zero-terminated, from
// byte 8. Answered from the verdict cache at once, or queued for the
// verification thread; either way the answer goes to the driver by control
// call, so execute() returns nothing.
class HttpsCommand : public Command {
public:
    static constexpr int kMinLength = 9;  // id, child id and at least the NUL

    HttpsCommand(const char* buffer, int length);
    std::unique_ptr<CommandResponse> execute() override;

    const String& getHost() const { return mHost; }
    uint32_t getChildId() const { return mChildId; }

    // Null when the record's host is not terminated inside the record.
    static std::unique_ptr<Command> build(const char* buffer, int length);

private:
    String mHost;
    uint32_t mChildId = 0;
};
