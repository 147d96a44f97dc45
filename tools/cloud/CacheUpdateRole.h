#pragma once

#include <ctime>
#include <string>

#include "CloudData.h"
#include "CloudRole.h"
#include "FilterRole.h"

class SessionState;

// POST /zorvane2/filter.php/0<session key>, a multipart form whose part
// "https_host_cache" holds the child's verdict list ("host,verdict" lines):
// answers the list the child should keep, each listed host with its verdict
// now (the host question's rules), cacheable verdicts (0, 1) only, and the
// reply headers "Zorvane-Cache-Expiry-Time", "Zorvane-Updated-Time" and
// "Zorvane-Time-Limit-Enforced".
class CacheUpdateRole : public CloudRole {
public:
    CacheUpdateRole(const CloudData& data, SessionState& sessions);

    void addRoutes(httplib::Server& server, Listener listener) override;

    // Seconds the service may keep a list; sent, not enforced.
    static constexpr long kCacheExpirySeconds = 3600;

    struct Answer {
        int status;
        std::string body;
    };
    // The list to keep for the posted one; 404 for an unknown key.
    Answer keepList(const std::string& sessionKey, const std::string& posted) const;

private:
    const CloudData& mData;
    FilterRole mFilter;  // the verdict rules of the host question
};
