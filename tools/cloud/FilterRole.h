#pragma once

#include <string>

#include "CloudData.h"
#include "CloudRole.h"

class SessionState;

// The verdict reply for `host` (any case) by the child's own entries, then
// its level's allow and block lists: "<host>,<verdict>" or the child's own text.
std::string hostVerdictText(const CloudData& data, const CloudChild& child,
                            const std::string& host);
// Whether plain-HTTP pages of `host` are blocked for the child: its verdict
// reply names a verdict other than 0.
bool hostBlocked(const CloudData& data, const CloudChild& child, const std::string& host);

// GET /zorvane2/filter.php/0<session key> with the host in
// "Zorvane-Https-Host": answers "<host>,<verdict>" for the child's level,
// 0 allowed, 1 blocked; a child's own host replies come first. An expired
// session answers an empty 302 unless the request says "auth-processing: 1".
class FilterRole : public CloudRole {
public:
    FilterRole(const CloudData& data, SessionState& sessions);

    void addRoutes(httplib::Server& server, Listener listener) override;

    struct Answer {
        int status;
        std::string body;
    };
    Answer verdict(const std::string& sessionKey, const std::string& host,
                   bool authProcessing) const;

private:
    const CloudData& mData;
    SessionState& mSessions;
};
