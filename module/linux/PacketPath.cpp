#include "PacketPath.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ChildMaps.h"
#include "FilterConfig.h"
#include "ZorvaneLog.h"

namespace {

constexpr char kUnixSidPrefix[] = "S-1-22-1-";

struct Collected {
    std::vector<std::pair<uint32_t, uint32_t>> users;  // uid, child
};

void collect(void* argument, const char* sid, uint32_t childId) {
    uint32_t uid = 0;
    if (PacketPath::uidOfSid(sid, &uid)) {
        static_cast<Collected*>(argument)->users.emplace_back(uid, childId);
    }
}

}  // namespace

bool PacketPath::uidOfSid(const char* sid, uint32_t* uid) {
    const size_t prefix = sizeof(kUnixSidPrefix) - 1;
    if (sid == nullptr || strncmp(sid, kUnixSidPrefix, prefix) != 0) {
        return false;
    }
    const char* digits = sid + prefix;
    if (*digits < '0' || *digits > '9' || (digits[0] == '0' && digits[1] != 0)) {
        return false;
    }
    uint64_t value = 0;
    for (const char* at = digits; *at != 0; ++at) {
        if (*at < '0' || *at > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*at - '0');
        if (value >= 0xFFFFFFFFull) {  // (uid_t)-1 is no user
            return false;
        }
    }
    *uid = static_cast<uint32_t>(value);
    return true;
}

PacketPath::Users PacketPath::coveredUsers() {
    FilterConfig config;
    ZorvaneGetConfig(&config);
    if (config.filterEnabled == 0) {
        return {};
    }
    Collected collected;
    collected.users.reserve(ZorvaneSidMapSize() + 8);
    ZorvaneVisitSidMap(collect, &collected);
    Users users;
    const uint32_t own = geteuid();
    for (const auto& [uid, childId] : collected.users) {
        if (childId == 0) {
            continue;
        }
        if (uid == own) {
            ZorvLog(ZORVANE_DBG_ERROR, "user %u runs the filter and is never filtered\n", uid);
            continue;
        }
        users.judged.push_back(uid);
    }
    std::sort(users.judged.begin(), users.judged.end());
    users.judged.erase(std::unique(users.judged.begin(), users.judged.end()), users.judged.end());
    if (config.serverSet != 0) {
        users.redirected = users.judged;
    }
    return users;
}

PacketPath::PacketPath() : mProxy(kOwnMark), mQueue(kQueueNumber, kOwnMark) {}

PacketPath::~PacketPath() {
    stop();
}

bool PacketPath::start(std::string* error) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!mProxy.start(error) || !mQueue.start(error)) {
        mQueue.stop();
        mProxy.stop();
        return false;
    }
    mRules = std::make_unique<PacketRules>(mProxy.port(), kOwnMark, kQueueNumber);
    if (!mRules->install(error)) {
        mRules->remove();
        mRules.reset();
        mQueue.stop();
        mProxy.stop();
        return false;
    }
    mApplied = Users{};
    mAppliedValid = true;
    ZorvLog(ZORVANE_DBG_INFO, "packet path: proxy on 127.0.0.1:%u\n",
            static_cast<unsigned>(mProxy.port()));
    return true;
}

void PacketPath::refresh() {
    std::lock_guard<std::mutex> lock(mMutex);
    Users wanted = coveredUsers();
    if (!mRules || (mAppliedValid && wanted == mApplied)) {
        return;
    }
    std::string error;
    if (!mRules->apply(wanted.judged, wanted.redirected, &error)) {
        // Tried again at the next control code.
        mAppliedValid = false;
        ZorvLog(ZORVANE_DBG_ERROR, "packet rules not applied: %s\n", error.c_str());
        return;
    }
    mApplied = std::move(wanted);
    mAppliedValid = true;
    std::string users;
    for (const uint32_t uid : mApplied.judged) {
        users += " " + std::to_string(uid);
    }
    ZorvLog(ZORVANE_DBG_INFO, "packet rules: %u users filtered%s, plain HTTP %s\n",
            static_cast<unsigned>(mApplied.judged.size()), users.c_str(),
            mApplied.redirected.empty() ? "not redirected" : "redirected");
}

void PacketPath::stop() {
    std::lock_guard<std::mutex> lock(mMutex);
    if (mRules) {
        mRules->remove();
        mRules.reset();
        ZorvLog(ZORVANE_DBG_INFO, "packet rules removed\n");
    }
    mQueue.stop();
    mProxy.stop();
}
