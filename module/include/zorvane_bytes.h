#pragma once

// Little-endian fields of the control and channel records, whatever the
// host's order. Both ends of every record use these.

#include <cstdint>

inline uint32_t LoadLe32(const void* at) {
    const auto* bytes = static_cast<const uint8_t*>(at);
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

inline uint16_t LoadLe16(const void* at) {
    const auto* bytes = static_cast<const uint8_t*>(at);
    return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

inline void StoreLe32(void* at, uint32_t value) {
    auto* bytes = static_cast<uint8_t*>(at);
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
    bytes[2] = static_cast<uint8_t>(value >> 16);
    bytes[3] = static_cast<uint8_t>(value >> 24);
}

inline void StoreLe16(void* at, uint16_t value) {
    auto* bytes = static_cast<uint8_t*>(at);
    bytes[0] = static_cast<uint8_t>(value);
    bytes[1] = static_cast<uint8_t>(value >> 8);
}
