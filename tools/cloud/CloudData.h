#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct CloudChild {
    uint32_t id = 0;
    std::string name;
    int level = 0;  // 1 elementary, 2 middle, 3 high school
    std::string sessionKey;
    // The session starts expired: host questions get an empty 302 until
    // the account signs in again.
    bool sessionExpired = false;
    // Host (lower case) -> the whole reply body for it, before the lists.
    std::map<std::string, std::string> hostReplies;
};

// Hosts (lower case) one filter level blocks and allows.
struct LevelHosts {
    std::vector<std::string> block;
    std::vector<std::string> allow;
};

struct CloudAccount {
    std::string user;
    std::string passwordMd5;  // 32 lowercase hexadecimal digits
    bool active = true;
    std::vector<CloudChild> children;
    // The pass reply ends after this many lines (0: whole), playing a reply
    // cut on its way to the service.
    int passReplyLines = 0;
};

// One file of a published update.
struct UpdateFile {
    std::string name;     // the last part of its URL
    std::string content;  // "text", or "size" bytes of a fixed pattern
    int status = 200;     // another HTTP status plays a file the server fails on
    bool wrongDigest = false;  // publish a digest the content does not have
};

// What "/windows7/<platform>/UpdateInfo.meta" publishes for one platform.
struct UpdateRelease {
    std::string version;
    std::string versionInfo;
    std::string setupFile;   // empty: no SetupFile line
    std::string fileUrl;     // URL template of the folder of the files, ends with "/"
    bool digests = true;     // publish a "Sha256:" line per file
    std::vector<UpdateFile> files;
    bool emptyMetadata = false;  // answer an empty body
};

// What the cloud answers with: read once at start from one JSON text, then
// only read (by every request thread at once).
struct CloudData {
    std::string version;  // decimal, sent as ZORVANE_VERSION
    // URL templates; {host}, {http_port} and {https_port} are filled per request.
    std::string filterUrl;
    std::string fallbackFilterUrl;  // empty: no FILTER1 line
    std::string authUrl;
    long authExpirySeconds = 86400;
    std::vector<CloudAccount> accounts;
    std::map<std::string, std::string> deviceOwners;  // device signature -> user
    std::map<int, LevelHosts> levelHosts;             // filter level -> lists
    // IPv4 networks (host order: address, mask) the plain-HTTP filter server
    // may fetch pages from. Default: loopback only.
    std::vector<std::pair<uint32_t, uint32_t>> pageFetchAllow;
    std::map<std::string, UpdateRelease> updates;  // platform ("amd64", "x86") -> release

    const CloudChild* findChildById(uint32_t id) const;
    bool pageFetchAllowed(uint32_t address) const;

    // The child and its account for a session key; null when unknown.
    const CloudChild* findChildByKey(const std::string& sessionKey,
                                     const CloudAccount** account = nullptr) const;

    const CloudAccount* findAccount(const std::string& user) const;

    // Throws std::runtime_error naming the offending entry.
    static CloudData parse(const std::string& jsonText);
    // The built-in default (tools/cloud/default-cloud.json).
    static const char* defaultText();
};

// The school-level text of a child's filter level in the sign-in reply.
const char* levelText(int level);
