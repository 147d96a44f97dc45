#include "commands/ArgumentBlock.h"

#include <cstring>

#include "zorvane_bytes.h"

ArgumentBlock::ArgumentBlock(const char* bytes, size_t size)
    : mData(new char[size + 1]()), mSize(size) {
    if (bytes && size) {
        std::memcpy(mData.get(), bytes, size);
    }
}

ArgumentBlock::ArgumentBlock(const ArgumentBlock& other)
    : ArgumentBlock(other.data(), other.size()) {}

ArgumentBlock& ArgumentBlock::operator=(const ArgumentBlock& other) {
    if (this != &other) {
        *this = ArgumentBlock(other.data(), other.size());
    }
    return *this;
}

ArgumentBlock ArgumentBlock::fromUint32(uint32_t value) {
    char bytes[4];
    StoreLe32(bytes, value);
    return ArgumentBlock(bytes, sizeof bytes);
}

ArgumentBlock ArgumentBlock::fromText(const String& text) {
    return ArgumentBlock(text.data(), text.size());
}

uint32_t ArgumentBlock::asUint32() const {
    return mSize >= 4 ? LoadLe32(mData.get()) : 0;
}
