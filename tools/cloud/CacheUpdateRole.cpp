#include "CacheUpdateRole.h"

#include <httplib.h>

#include <cstdlib>
#include <set>

namespace {

const char kPartName[] = "https_host_cache";

// The verdict at the end of a host reply ("<anything>,<n>"); false when the
// reply has no comma or no number there.
bool replyVerdict(const std::string& reply, long& verdict) {
    const size_t comma = reply.rfind(',');
    if (comma == std::string::npos || comma + 1 >= reply.size()) {
        return false;
    }
    const char* begin = reply.c_str() + comma + 1;
    char* end = nullptr;
    verdict = std::strtol(begin, &end, 10);
    return end != begin && *end == '\0';
}

}  // namespace

CacheUpdateRole::CacheUpdateRole(const CloudData& data, SessionState& sessions)
    : mData(data), mFilter(data, sessions) {}

CacheUpdateRole::Answer CacheUpdateRole::keepList(const std::string& sessionKey,
                                                  const std::string& posted) const {
    if (!mData.findChildByKey(sessionKey)) {
        return {404, ""};
    }
    std::string keep;
    std::set<std::string> seen;
    size_t start = 0;
    while (start < posted.size()) {
        size_t end = posted.find('\n', start);
        if (end == std::string::npos) {
            end = posted.size();
        }
        const std::string line = posted.substr(start, end - start);
        start = end + 1;
        const size_t comma = line.find(',');
        if (comma == std::string::npos || comma == 0) {
            continue;
        }
        // The host exactly as the service keeps it: it compares byte for byte.
        const std::string host = line.substr(0, comma);
        if (!seen.insert(host).second) {
            continue;
        }
        // A list update is no host question: an expired session does not
        // hold it.
        FilterRole::Answer answer = mFilter.verdict(sessionKey, host, true);
        long verdict = 0;
        if (answer.status != 200 || !replyVerdict(answer.body, verdict) ||
            (verdict != 0 && verdict != 1)) {
            continue;  // not cacheable any more: the next visit asks again
        }
        keep += host + "," + std::to_string(verdict) + "\n";
    }
    return {200, keep};
}

void CacheUpdateRole::addRoutes(httplib::Server& server, Listener) {
    server.Post(R"(/zorvane2/filter\.php/0([^/]*))", [this](const httplib::Request& request,
                                                            httplib::Response& response) {
        if (request.get_header_value("Zorvane-Https-Filter-Type") != "2" ||
            !request.is_multipart_form_data() || !request.has_file(kPartName)) {
            response.status = 400;
            return;
        }
        Answer answer = keepList(request.matches[1], request.get_file_value(kPartName).content);
        response.status = answer.status;
        if (answer.status != 200) {
            return;
        }
        response.set_header("Zorvane-Cache-Expiry-Time", std::to_string(kCacheExpirySeconds));
        response.set_header("Zorvane-Updated-Time",
                            std::to_string(static_cast<long long>(std::time(nullptr))));
        response.set_header("Zorvane-Time-Limit-Enforced", "0");
        // An empty list is an answer too: the child keeps nothing.
        response.set_content(answer.body, "text/plain");
    });
}
