#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "commands/ArgumentBlock.h"

// The service's answer to one request: status 1 when it was read completely;
// key 1 holds the command id, key 2 the answer (a 4-byte number, or for text
// answers the text followed by one added NUL byte).
class CReply {
public:
    static constexpr int kKeyCommandId = 1;
    static constexpr int kKeyAnswer = 2;

    int status() const { return mStatus; }
    void setStatus(int status) { mStatus = status; }

    void setValue(int key, ArgumentBlock block);
    // The block under `key`, or null.
    const ArgumentBlock* value(int key) const;
    // The 4-byte number under `key`, or `fallback` when there is none.
    uint32_t number(int key, uint32_t fallback = 0) const;
    // The text under `key` without the added NUL; empty when there is none.
    std::string text(int key) const;

private:
    int mStatus = 0;
    std::map<int, ArgumentBlock> mValues;
};
