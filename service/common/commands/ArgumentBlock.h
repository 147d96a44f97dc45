#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/String.h"

// One argument of a command or a response: an owned block of bytes that
// knows its size, so nobody reads past it.
class ArgumentBlock {
public:
    ArgumentBlock() = default;
    ArgumentBlock(const char* bytes, size_t size);

    static ArgumentBlock fromUint32(uint32_t value);    // 4 bytes, little-endian
    static ArgumentBlock fromText(const String& text);  // the bytes, no terminator

    ArgumentBlock(ArgumentBlock&&) = default;
    ArgumentBlock& operator=(ArgumentBlock&&) = default;
    ArgumentBlock(const ArgumentBlock& other);
    ArgumentBlock& operator=(const ArgumentBlock& other);

    const char* data() const { return mData.get(); }
    char* data() { return mData.get(); }
    size_t size() const { return mSize; }
    // The first four bytes as a little-endian number; 0 for a shorter block.
    uint32_t asUint32() const;

private:
    std::unique_ptr<char[]> mData;
    size_t mSize = 0;
};
