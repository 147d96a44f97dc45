#pragma once

#include <string>

#include "CloudData.h"
#include "CloudRole.h"
#include "CloudServer.h"

// The update server: GET /windows7/<platform>/UpdateInfo.meta (CR LF lines
// "Version:", "VersionInfo:", "DownloadUrl:", "SetupFile:", and a "Sha256:"
// line per file) and GET /windows7/<platform>/files/<name>, from the data's
// "updates". A platform without a release answers 404.
class UpdateRole : public CloudRole {
public:
    UpdateRole(const CloudData& data, const Endpoints& endpoints)
        : mData(data), mEndpoints(endpoints) {}

    void addRoutes(httplib::Server& server, Listener listener) override;

    // The metadata body for a caller that reached the cloud at `host`.
    std::string metadata(const UpdateRelease& release, const std::string& platform,
                         const std::string& host) const;

private:
    const CloudData& mData;
    Endpoints mEndpoints;
};

// Lowercase hex SHA-256 of `bytes`.
std::string sha256Hex(const std::string& bytes);
