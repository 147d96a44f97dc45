#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zorvane_bytes.h"

// Builds a little-endian control record field by field.
class RecordBytes {
public:
    RecordBytes& u32(uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            mBytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
        return *this;
    }
    RecordBytes& u16(uint16_t value) {
        mBytes.push_back(static_cast<uint8_t>(value));
        mBytes.push_back(static_cast<uint8_t>(value >> 8));
        return *this;
    }
    // The text and, unless told otherwise, its NUL.
    RecordBytes& text(const std::string& value, bool terminated = true) {
        mBytes.insert(mBytes.end(), value.begin(), value.end());
        if (terminated) {
            mBytes.push_back(0);
        }
        return *this;
    }
    RecordBytes& raw(size_t count, uint8_t value = 0) {
        mBytes.insert(mBytes.end(), count, value);
        return *this;
    }
    const std::vector<uint8_t>& bytes() const { return mBytes; }

private:
    std::vector<uint8_t> mBytes;
};
