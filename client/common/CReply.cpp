#include "CReply.h"

void CReply::setValue(int key, ArgumentBlock block) {
    mValues[key] = std::move(block);
}

const ArgumentBlock* CReply::value(int key) const {
    auto found = mValues.find(key);
    return found == mValues.end() ? nullptr : &found->second;
}

uint32_t CReply::number(int key, uint32_t fallback) const {
    const ArgumentBlock* block = value(key);
    return block && block->size() >= 4 ? block->asUint32() : fallback;
}

std::string CReply::text(int key) const {
    const ArgumentBlock* block = value(key);
    if (!block || block->size() == 0) {
        return std::string();
    }
    return std::string(block->data(), block->size() - 1);
}
