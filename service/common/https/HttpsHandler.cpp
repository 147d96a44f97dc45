#include "https/HttpsHandler.h"

#include <cstdlib>

#include "base/Logger.h"
#include "cloud/Authentication.h"
#include "cloud/ConnectionInfo.h"
#include "cloud/HttpTransfer.h"
#include "driver/DriverCommand.h"
#include "https/HttpsHostCache.h"
#include "port/ThreadHandler.h"
#include "settings/Settings.h"
#include "zorvane_ioctl.h"

namespace {

// A host the filter took from a handshake is the child's text: a control
// byte in it would end the header line and start one of the child's own.
bool headerSafe(const String& host) {
    for (unsigned char c : host) {
        if (c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return !host.empty();
}

}  // namespace

HttpsHandler::~HttpsHandler() {
    stopThread();
    forget(this);
}

namespace {

void* runQueue(void* handler) {
    static_cast<HttpsHandler*>(handler)->processHostQueue();
    return nullptr;
}

}  // namespace

bool HttpsHandler::threadRunning() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    return mThread && mThread->status() == 1;
}

void HttpsHandler::startThread() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    ThreadHandler* threads = ThreadHandler::instance();
    if (!threads || !eventReady()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "HttpsHandler thread not started\n");
        return;
    }
    mThread = threads->createThread(runQueue, this);
    if (!mThread || !mThread->create()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "HttpsHandler thread not started\n");
    }
}

void HttpsHandler::stopThread() {
    std::lock_guard<std::mutex> lock(mThreadLock);
    if (mThread && mThread->status() == 1) {
        mThread->terminate();
    }
    mThread.reset();
}

bool HttpsHandler::answerDriver(uint32_t childId, const String& host, int verdict) {
    DriverCommand answer(ZORVANE_IOCTL_HTTPS_BLOCKED);
    answer.setArgument(DriverCommand::kArgHost, ArgumentBlock(host.c_str(), host.size() + 1));
    answer.setArgument(DriverCommand::kArgHostStatus,
                       ArgumentBlock::fromUint32(static_cast<uint32_t>(verdict)));
    answer.setArgument(DriverCommand::kArgHostChildId, ArgumentBlock::fromUint32(childId));
    auto response = answer.execute();
    if (!response || response->getStatus() != COMMAND_SUCCESS) {
        Logger::instance()->out(LOGLEVEL_ERROR, "HttpsHandler answer for %s not taken\n",
                                host.c_str());
        return false;
    }
    return true;
}

void HttpsHandler::validateHttpsHost(unsigned int childId, String host) {
    if (!threadRunning()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "HttpsHandler verification thread restarted\n");
        startThread();
    }
    {
        std::lock_guard<std::mutex> lock(mQueueLock);
        hostQueue.push_back(HostQueueEntry{childId, std::move(host)});
    }
    signalEvent();
}

bool HttpsHandler::queueEmpty() {
    std::lock_guard<std::mutex> lock(mQueueLock);
    return hostQueue.empty();
}

bool HttpsHandler::takeFront(HostQueueEntry& entry) {
    std::lock_guard<std::mutex> lock(mQueueLock);
    if (hostQueue.empty()) {
        return false;
    }
    entry = std::move(hostQueue.front());
    hostQueue.pop_front();
    return true;
}

void HttpsHandler::reauthenticate() {
    Logger::instance()->out(LOGLEVEL_INFO,
                            "HttpsHandler signing in again after an expired session\n");
    Authentication::instance()->doAuth(nullptr);
}

void HttpsHandler::processHostQueue() {
    while (keepServing()) {
        serveOnce();
    }
}

void HttpsHandler::serveOnce() {
    Logger* log = Logger::instance();
    if (queueEmpty()) {
        if (mRemembered == HTTPS_STATUS_SESSION_EXPIRED) {
            // The batch is done: one sign-in renews the session for the next.
            reauthenticate();
            mRemembered = HTTPS_STATUS_ERROR;
        }
        log->out(LOGLEVEL_INFO, "WinHttpsHandler::processHostQueue waiting for command\n");
        waitEvent();
        if (queueEmpty()) {
            log->out(LOGLEVEL_INFO, "processHostQueue false alaram\n");
            resetEvent();
        }
        return;  // the queue is tested again before any wait
    }
    HostQueueEntry entry;
    if (!takeFront(entry)) {
        return;
    }
    int blocked = HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE;
    log->out(LOGLEVEL_INFO, "Got a HTTPS request %s\n", entry.host.c_str());
    if (mRemembered == HTTPS_STATUS_SESSION_EXPIRED) {
        checkHttpsHostWithFilter(entry.childId, entry.host, blocked, 1);
    } else {
        mRemembered = checkHttpsHostWithFilter(entry.childId, entry.host, blocked, 0);
        if (mRemembered == HTTPS_STATUS_SESSION_EXPIRED) {
            checkHttpsHostWithFilter(entry.childId, entry.host, blocked, 1);
        }
    }
    log->out(LOGLEVEL_INFO, "WinHttpsHandler::processHostQueue Got response %d\n", blocked);
    if (blocked == HTTPS_HOST_FILTER_STATUS_ALLOWED ||
        blocked == HTTPS_HOST_FILTER_STATUS_BLOCKED) {
        HttpsHostCache* cache = HttpsHostCache::instance(nullptr);
        if (cache) {
            cache->updateUrl(entry.childId, entry.host, blocked);
        }
    }
    answerDriver(entry.childId, entry.host, blocked);
    resetEvent();
}

int HttpsHandler::checkHttpsHostWithFilter(unsigned int childId, String host, int& blocked,
                                           int noAuth) {
    Logger* log = Logger::instance();
    int result = HTTPS_STATUS_SUCCESS;
    const ChildInfo child = Settings::instance()->getChildInfo(childId);
    std::shared_ptr<ConnectionInfo> connection = Settings::instance()->getConnectionInfo();
    if (!connection || connection->getHttpsServer().empty()) {
        // Nothing to ask: the connection stays held, as for a transfer
        // that cannot be made.
        log->out(LOGLEVEL_ERROR, "HttpsHandler no filter server\n");
        return HTTPS_STATUS_ERROR;
    }
    log->out(LOGLEVEL_INFO, "connectionInfo->getHttpsServer() %s\n",
             connection->getHttpsServer().c_str());
    String url;
    if (!HttpsHostCache::buildUpdateUrl(connection->getHttpsServer(), child.getSessionKey(), url)) {
        // Never sent cut: a cut key would ask about another child.
        log->out(LOGLEVEL_ERROR, "HttpsHandler url for child %u does not fit %d bytes\n", childId,
                 static_cast<int>(HttpsHostCache::kUrlBufferSize));
        blocked = HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE;
        return HTTPS_STATUS_ERROR;
    }
    if (!headerSafe(host)) {
        log->out(LOGLEVEL_ERROR, "HttpsHandler host refused: not a header value\n");
        blocked = HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE;
        return HTTPS_STATUS_ERROR;
    }
    log->out(LOGLEVEL_INFO, "url %s\n", url.c_str());

    HttpTransfer transfer;
    if (!transfer.valid()) {
        return result;
    }
    transfer.addHeader("Zorvane-Https-Host: " + host);
    transfer.addHeader("Zorvane-Https-Filter-Type: 1");
    transfer.addHeader(String("Zorvane-Url: ") + kHttpsFilterMarkerUrl);
    transfer.addHeader(String("User-Agent: ") + kHttpsFilterUserAgent);
    if (noAuth) {
        log->out(LOGLEVEL_WARN, "HttpsHandler::checkHttpsHostWithFilter skipping authentication\n");
        transfer.addHeader("auth-processing: 1");
    }
    if (!transfer.perform(url)) {
        log->out(LOGLEVEL_ERROR, "curl error: %s\n", transfer.error().c_str());
        // An unreachable filter lets the connection through, uncached.
        blocked = HTTPS_HOST_FILTER_STATUS_ALLOWED_NOCACHE;
        return result;
    }
    const std::string& body = transfer.body();
    log->out(LOGLEVEL_INFO, "resFromFilter %s\n", body.c_str());
    if (body.empty()) {
        long code = 0;
        transfer.responseCode(code);
        log->out(LOGLEVEL_INFO, "resFromFilter empty, respCode %d\n", static_cast<int>(code));
        if (code == 302) {
            log->out(LOGLEVEL_ERROR, "HttpsHandler::checkHttpsHostWithFilter reAuth required\n");
            result = HTTPS_STATUS_SESSION_EXPIRED;
        }
        return result;
    }
    const size_t comma = body.find(',');
    blocked = comma == std::string::npos
                  ? 0
                  : static_cast<int>(std::strtol(body.c_str() + comma + 1, nullptr, 10));
    return result;
}
