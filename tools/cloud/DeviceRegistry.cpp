#include "DeviceRegistry.h"

#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "AtomicFile.h"

using nlohmann::json;

DeviceRegistry::DeviceRegistry(std::string path) : mPath(std::move(path)) {
    struct stat info {};
    if (::stat(mPath.c_str(), &info) != 0) {
        return;  // first start
    }
    try {
        json root = json::parse(readWholeFile(mPath));
        mNextId = root.at("next_id").get<uint32_t>();
        for (const auto& item : root.at("devices").items()) {
            uint32_t id = item.value().get<uint32_t>();
            mIds[item.key()] = id;
            if (id >= mNextId) {
                mNextId = id + 1;  // never hand out an id twice
            }
        }
    } catch (const json::exception& error) {
        throw std::runtime_error("damaged device file " + mPath + ": " + error.what());
    }
}

uint32_t DeviceRegistry::idFor(const std::string& signature) {
    std::lock_guard<std::mutex> lock(mMutex);
    auto found = mIds.find(signature);
    if (found != mIds.end()) {
        return found->second;
    }
    std::map<std::string, uint32_t> ids = mIds;
    uint32_t id = mNextId;
    ids[signature] = id;
    json root;
    root["next_id"] = id + 1;
    root["devices"] = ids;
    writeFileAtomically(mPath, root.dump(2) + "\n", 0600);
    mIds.swap(ids);
    mNextId = id + 1;
    return id;
}
