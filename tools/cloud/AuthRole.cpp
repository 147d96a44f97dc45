#include "AuthRole.h"

#include <httplib.h>

#include <cstdio>

#include "DeviceRegistry.h"
#include "SessionState.h"

namespace {

AuthRole::Answer refuse(int status, const std::string& reason) {
    return {status, "STATUS, FAILED\nREASON, " + reason + "\n"};
}

}  // namespace

AuthRole::AuthRole(const CloudData& data, DeviceRegistry& devices, SessionState& sessions)
    : mData(data), mDevices(devices), mSessions(sessions), mRandom(std::random_device{}()) {}

std::string AuthRole::newSessionId() {
    std::lock_guard<std::mutex> lock(mRandomMutex);
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(mRandom()),
                  static_cast<unsigned long long>(mRandom()));
    return text;
}

AuthRole::Answer AuthRole::signIn(const std::string& user, const std::string& digest,
                                  const std::string& signature) {
    const CloudAccount* account = mData.findAccount(user);
    if (!account) {
        return refuse(401, "no such account");
    }
    if (!account->active) {
        return refuse(402, "account inactive");
    }
    if (digest != account->passwordMd5) {
        return refuse(403, "wrong password");
    }
    if (signature.empty()) {
        return refuse(400, "no device signature");
    }
    auto owner = mData.deviceOwners.find(signature);
    if (owner != mData.deviceOwners.end() && owner->second != user) {
        return refuse(404, "device belongs to another account");
    }
    mSessions.renew(*account);
    std::string body = "STATUS, PASSED\n";
    body += "NCHILDREN, " + std::to_string(account->children.size()) + "\n";
    body += "DEVICEID, " + std::to_string(mDevices.idFor(signature)) + "\n";
    body += "SESSIONID, " + newSessionId() + "\n";
    body += "AUTHEXPIRY, " + std::to_string(mData.authExpirySeconds) + "\n";
    for (const auto& child : account->children) {
        body += "CHILDINFO, " + std::to_string(child.id) + "; " + child.name + "; " +
                levelText(child.level) + "; " + child.sessionKey + "\n";
    }
    if (account->passReplyLines > 0) {
        size_t end = 0;
        for (int line = 0; line < account->passReplyLines && end != std::string::npos; ++line) {
            end = body.find('\n', end);
            end = end == std::string::npos ? end : end + 1;
        }
        if (end != std::string::npos) {
            body.resize(end);
        }
    }
    return {200, body};
}

void AuthRole::addRoutes(httplib::Server& server, Listener) {
    server.Get("/cgi-bin/auth", [this](const httplib::Request& request,
                                       httplib::Response& response) {
        Answer answer = signIn(request.get_param_value("user"), request.get_param_value("passwd"),
                               request.get_param_value("dev"));
        response.status = answer.status;
        response.set_content(answer.body, "text/plain");
    });
}
