#include "commands/HttpsCommand.h"

#include <cstring>

#include "base/Logger.h"
#include "https/HttpsHandler.h"
#include "https/HttpsHostCache.h"
#include "zorvane_bytes.h"

namespace {

constexpr int kHostOffset = 8;

// The host's length, or -1 when no NUL ends it inside the record.
int hostLength(const char* buffer, int length) {
    if (!buffer || length < HttpsCommand::kMinLength) {
        return -1;
    }
    const void* end = memchr(buffer + kHostOffset, 0, static_cast<size_t>(length - kHostOffset));
    return end ? static_cast<int>(static_cast<const char*>(end) - (buffer + kHostOffset)) : -1;
}

}  // namespace

HttpsCommand::HttpsCommand(const char* buffer, int length) : Command(buffer) {
    Logger::instance()->out(LOGLEVEL_INFO, "HttpsCommand::HttpsCommand\n");
    const int hostBytes = hostLength(buffer, length);
    if (hostBytes >= 0) {
        mChildId = LoadLe32(buffer + 4);
        mHost.assign(buffer + kHostOffset, static_cast<size_t>(hostBytes));
    }
}

std::unique_ptr<Command> HttpsCommand::build(const char* buffer, int length) {
    if (hostLength(buffer, length) < 0) {
        // A cut record would name another host than the one held.
        Logger::instance()->out(LOGLEVEL_ERROR, "HttpsCommand host not terminated in %d bytes\n",
                                length);
        return nullptr;
    }
    return std::make_unique<HttpsCommand>(buffer, length);
}

std::unique_ptr<CommandResponse> HttpsCommand::execute() {
    Logger* log = Logger::instance();
    int status = HTTPS_HOST_FILTER_STATUS_BLOCKED;
    HttpsHostCache* cache = HttpsHostCache::instance(nullptr);
    if (cache && cache->checkUrl(mChildId, mHost, status)) {
        log->out(LOGLEVEL_INFO, "HttpsCommand::execute host in cache %s %d\n", mHost.c_str(),
                 status);
        HttpsHandler::answerDriver(mChildId, mHost, status);
        return nullptr;
    }
    HttpsHandler* handler = HttpsHandler::instance();
    if (!handler) {
        // No verifier yet: the connection stays held until the filter's own
        // time-out rather than being let through unchecked.
        log->out(LOGLEVEL_ERROR, "HttpsCommand no verifier for %s\n", mHost.c_str());
        return nullptr;
    }
    handler->validateHttpsHost(mChildId, mHost);
    return nullptr;
}
