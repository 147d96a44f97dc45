#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "commands/Command.h"

// The channels commands arrive on. Each takes only its own ids: 1-7 from
// the filter's read channel, 256-266 from the desktop program, 768-773 from
// the notifier programs. Any local user reaches the desktop and notifier
// channels, so an id of another channel is never built there.
enum class CommandChannel { kDriver, kDesktop, kNotifier };

// Turns a received buffer into the command its id names.
class CommandFactory {
public:
    static bool accepts(uint32_t id, CommandChannel channel);
    // "driver", "desktop", "notifier": how log lines name the channel.
    static const char* channelName(CommandChannel channel);

    // Builds a command from a buffer that holds at least `minLength` bytes.
    using Builder = std::unique_ptr<Command> (*)(const char* buffer, int length);

    struct Entry {
        uint32_t id;
        const char* className;
        int minLength;  // the id plus the fixed fields the class reads
        Builder build;  // null: the id builds nothing
    };

    // The service's table.
    static std::unique_ptr<Command> create(const char* buffer, int length);
    static const std::vector<Entry>& defaultTable();

    explicit CommandFactory(std::vector<Entry> table) : mTable(std::move(table)) {}
    // Null for an unknown id, an id without a class, or a buffer too short
    // for what the class reads.
    std::unique_ptr<Command> build(const char* buffer, int length) const;

private:
    const Entry* find(uint32_t id) const;

    std::vector<Entry> mTable;
};
