#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

// Device ids the cloud hands out, one per device signature, kept in a file
// so a device keeps its id across restarts of the cloud.
class DeviceRegistry {
public:
    static constexpr uint32_t kFirstId = 1001;

    // Loads `path` when it exists; throws std::runtime_error for a damaged file.
    explicit DeviceRegistry(std::string path);

    // The signature's id; a new signature gets the next id, saved before it
    // is handed out. Throws std::runtime_error when it cannot be saved.
    uint32_t idFor(const std::string& signature);

private:
    std::string mPath;
    std::mutex mMutex;  // guards mIds, mNextId and the file
    std::map<std::string, uint32_t> mIds;
    uint32_t mNextId = kFirstId;
};
