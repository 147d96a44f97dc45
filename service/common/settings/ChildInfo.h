#pragma once

#include <cstdint>

#include "base/String.h"

// One child profile of the parent's account.
class ChildInfo {
public:
    void setName(const String& name) { mName = name; }
    String getName() const { return mName; }
    // 1 elementary, 2 middle, 3 high school, 0 unknown.
    void setLevel(uint32_t level) { mLevel = level; }
    uint32_t getLevel() const { return mLevel; }
    void setSessionKey(const String& key) { mSessionKey = key; }
    String getSessionKey() const { return mSessionKey; }
    void setId(uint32_t id) { mId = id; }
    uint32_t getId() const { return mId; }

private:
    String mName;
    uint32_t mLevel = 0;
    String mSessionKey;
    uint32_t mId = 0;
};
