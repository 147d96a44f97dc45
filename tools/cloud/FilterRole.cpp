#include "FilterRole.h"

#include <httplib.h>

#include <algorithm>

#include "SessionState.h"

namespace {

std::string lowerCase(std::string value) {
    std::transform(value.begin(), value.end(), value.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return value;
}

bool listed(const std::vector<std::string>& hosts, const std::string& host) {
    return std::find(hosts.begin(), hosts.end(), host) != hosts.end();
}

}  // namespace

std::string hostVerdictText(const CloudData& data, const CloudChild& child,
                            const std::string& host) {
    const std::string name = lowerCase(host);
    auto own = child.hostReplies.find(name);
    if (own != child.hostReplies.end()) {
        return own->second;
    }
    int blocked = 0;
    auto lists = data.levelHosts.find(child.level);
    if (lists != data.levelHosts.end() && !listed(lists->second.allow, name) &&
        listed(lists->second.block, name)) {
        blocked = 1;
    }
    return name + "," + std::to_string(blocked);
}

bool hostBlocked(const CloudData& data, const CloudChild& child, const std::string& host) {
    const std::string reply = hostVerdictText(data, child, host);
    const size_t comma = reply.rfind(',');
    if (comma == std::string::npos || comma + 1 == reply.size()) {
        return false;  // a reply without a verdict names no block
    }
    return reply.substr(comma + 1) != "0";
}

FilterRole::FilterRole(const CloudData& data, SessionState& sessions)
    : mData(data), mSessions(sessions) {}

FilterRole::Answer FilterRole::verdict(const std::string& sessionKey, const std::string& host,
                                       bool authProcessing) const {
    const CloudChild* child = mData.findChildByKey(sessionKey);
    if (!child || host.empty()) {
        return {404, ""};
    }
    if (mSessions.expired(child->id) && !authProcessing) {
        return {302, ""};
    }
    return {200, hostVerdictText(mData, *child, host)};
}

void FilterRole::addRoutes(httplib::Server& server, Listener) {
    server.Get(R"(/zorvane2/filter\.php/0([^/]*))", [this](const httplib::Request& request,
                                                           httplib::Response& response) {
        Answer answer = verdict(request.matches[1], request.get_header_value("Zorvane-Https-Host"),
                                request.get_header_value("auth-processing") == "1");
        response.status = answer.status;
        if (!answer.body.empty()) {
            response.set_content(answer.body, "text/plain");
        }
    });
}
