#include "https/HttpsHostCache.h"

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "base/Logger.h"
#include "cloud/ConnectionInfo.h"
#include "cloud/HttpTransfer.h"
#include "settings/Settings.h"

const char* const kHttpsFilterMarkerUrl = "http://https-verify.zorvane.invalid/verifyhttpshost";
const char* const kHttpsFilterUserAgent = "Tyrnex, Netbook";

namespace {

const char kFormPartName[] = "https_host_cache";

// The decimal number at the start of `text` (after blanks), as the reply
// headers carry it; 0 when there is none.
long long leadingNumber(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

// A whole decimal verdict, optionally signed, optionally ended by a CR.
bool parseVerdict(const std::string& text, int& verdict) {
    std::string digits = text;
    if (!digits.empty() && digits.back() == '\r') {
        digits.pop_back();
    }
    if (digits.empty()) {
        return false;
    }
    const char* begin = digits.c_str();
    char* end = nullptr;
    errno = 0;
    long value = std::strtol(begin, &end, 10);
    if (end == begin || *end != '\0' || errno == ERANGE || value < INT32_MIN || value > INT32_MAX ||
        begin[0] == ' ' || begin[0] == '\t') {
        return false;
    }
    verdict = static_cast<int>(value);
    return true;
}

}  // namespace

HttpsHostCache* HttpsHostCache::instance(Store* store) {
    static HttpsHostCache* singleton = new HttpsHostCache(store);
    return singleton;
}

HttpsHostCache::HttpsHostCache(Store* store) : mFileStore(store) {}

bool HttpsHostCache::checkUrl(unsigned int childId, String host, int& status) {
    std::lock_guard<std::mutex> lock(mLock);
    auto child = mChildUrlCache.find(childId);
    if (child != mChildUrlCache.end()) {
        auto entry = child->second.find(host);
        if (entry != child->second.end()) {
            status = entry->second;
            return true;
        }
    }
    status = HTTPS_HOST_FILTER_STATUS_BLOCKED;
    return false;
}

bool HttpsHostCache::updateUrl(unsigned int childId, String host, int status) {
    Logger::instance()->out(LOGLEVEL_INFO, "HttpsHostCache::updateUrl %d %s %d\n",
                            static_cast<int>(childId), host.c_str(), status);
    std::lock_guard<std::mutex> lock(mLock);
    mChildUrlCache[childId][host] = status;
    if (mUpdating) {
        mLateVerdicts[childId][host] = status;
    }
    saveToStoreLocked();
    return true;
}

bool HttpsHostCache::updateCache() {
    updateChildCache();
    saveToStore();
    return true;
}

bool HttpsHostCache::updateChildCache() {
    std::vector<std::pair<uint32_t, String>> lists;
    {
        std::lock_guard<std::mutex> lock(mLock);
        if (mChildUrlCache.empty() || mUpdating) {
            return true;
        }
        for (const auto& child : mChildUrlCache) {
            lists.emplace_back(child.first, formatList(child.second));
        }
        mUpdating = true;
        mLateVerdicts.clear();
    }
    for (auto& child : lists) {
        bool answered = sendHttpsCacheUpdateReq(child.first, child.second);
        UrlCache refill;
        if (answered) {
            refill = parseList(child.second);
        }
        std::lock_guard<std::mutex> lock(mLock);
        auto late = mLateVerdicts.find(child.first);
        if (answered) {
            // What the verifier learned while the server was asked is newer
            // than the server's list.
            if (late != mLateVerdicts.end()) {
                for (const auto& entry : late->second) {
                    refill[entry.first] = entry.second;
                }
            }
            mChildUrlCache[child.first].swap(refill);
        }
        if (late != mLateVerdicts.end()) {
            mLateVerdicts.erase(late);
        }
    }
    std::lock_guard<std::mutex> lock(mLock);
    mUpdating = false;
    mLateVerdicts.clear();
    return true;
}

bool HttpsHostCache::sendHttpsCacheUpdateReq(unsigned int childId, String& list) {
    Logger* log = Logger::instance();
    Settings* settings = Settings::instance();
    ChildInfo child = settings->getChildInfo(childId);
    std::shared_ptr<ConnectionInfo> connection = settings->getConnectionInfo();
    const String httpsServer = connection ? connection->getHttpsServer() : String();
    log->out(LOGLEVEL_INFO, "connectionInfo->getHttpsServer() %s\n", httpsServer.c_str());

    String url;
    if (!buildUpdateUrl(httpsServer, child.getSessionKey(), url)) {
        // Never sent cut: the server would take it for another child.
        log->out(LOGLEVEL_ERROR, "HttpsHostCache update URL too long for child %d\n",
                 static_cast<int>(childId));
        list.clear();
        return false;
    }

    HttpTransfer transfer;
    if (!transfer.valid()) {
        list.clear();
        return false;
    }
    time_t sentUpdatedTime;
    {
        std::lock_guard<std::mutex> lock(mLock);
        sentUpdatedTime = lastUpdatedTime;
    }
    transfer.addHeader("Zorvane-Https-Filter-Type: 2");
    transfer.addHeader(String("Zorvane-Url: ") + kHttpsFilterMarkerUrl);
    transfer.addHeader(String("User-Agent: ") + kHttpsFilterUserAgent);
    transfer.addHeader("Zorvane-Last-Updated-Time: " +
                       std::to_string(static_cast<long long>(sentUpdatedTime)));
    int formError = transfer.addFormPart(kFormPartName, list, "text/plain");
    if (formError != 0) {
        log->out(LOGLEVEL_ERROR, "curl_formadd failed %d\n", formError);
        list.clear();
        return false;
    }

    if (!transfer.perform(url)) {
        log->out(LOGLEVEL_WARN, "Error: %s\n", transfer.error().c_str());
    }
    if (!transfer.headers().empty()) {
        log->out(LOGLEVEL_INFO, "parsing post reply headers\n");
        parseReplyHeaders(transfer.headers());
    }
    log->out(LOGLEVEL_WARN, "headerFromFilter %s\n", transfer.headers().c_str());
    list = transfer.body();
    return true;
}

void HttpsHostCache::parseReplyHeaders(const std::string& headers) {
    Logger* log = Logger::instance();
    size_t start = 0;
    while (start < headers.size()) {
        size_t end = headers.find('\n', start);
        if (end == std::string::npos) {
            end = headers.size();
        }
        const std::string line = headers.substr(start, end - start);
        start = end + 1;
        const size_t space = line.find(' ');
        if (space == std::string::npos) {
            continue;
        }
        const std::string name = line.substr(0, space);
        const long long value = leadingNumber(line.substr(space + 1));
        std::lock_guard<std::mutex> lock(mLock);
        if (name == "Zorvane-Cache-Expiry-Time:") {
            cacheExpTime = static_cast<time_t>(value);
            log->out(LOGLEVEL_INFO, "cacheExpTime %d\n", static_cast<int>(cacheExpTime));
        } else if (name == "Zorvane-Time-Limit-Enforced:") {
            timeLimitEnforced = value != 0;
            log->out(LOGLEVEL_INFO, "timeLimitEnforced %d\n", timeLimitEnforced ? 1 : 0);
        } else if (name == "Zorvane-Updated-Time:") {
            lastUpdatedTime = static_cast<time_t>(value);
            log->out(LOGLEVEL_INFO, "lastUpdatedTime %d\n", static_cast<int>(lastUpdatedTime));
        }
    }
}

void HttpsHostCache::loadFromStore() {}

void HttpsHostCache::saveToStore() {
    std::lock_guard<std::mutex> lock(mLock);
    saveToStoreLocked();
}

void HttpsHostCache::saveToStoreLocked() {
    if (!mFileStore) {
        return;
    }
    mFileStore->open(ZORVANE_FILE_WRITE);
    mFileStore->write("  ", 2);
    if (!mFileStore->close()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "HttpsHostCache store not written\n");
    }
}

time_t HttpsHostCache::getUpdatedTime() const {
    std::lock_guard<std::mutex> lock(mLock);
    return updatedTime;
}

UrlCache HttpsHostCache::childCache(unsigned int childId) const {
    std::lock_guard<std::mutex> lock(mLock);
    auto child = mChildUrlCache.find(childId);
    return child == mChildUrlCache.end() ? UrlCache() : child->second;
}

time_t HttpsHostCache::getCacheExpTime() const {
    std::lock_guard<std::mutex> lock(mLock);
    return cacheExpTime;
}

time_t HttpsHostCache::getLastUpdatedTime() const {
    std::lock_guard<std::mutex> lock(mLock);
    return lastUpdatedTime;
}

bool HttpsHostCache::getTimeLimitEnforced() const {
    std::lock_guard<std::mutex> lock(mLock);
    return timeLimitEnforced;
}

String HttpsHostCache::formatList(const UrlCache& cache) {
    String list;
    for (const auto& entry : cache) {
        // A name the line format cannot carry would read back as other hosts.
        if (entry.first.find_first_of(",\r\n") != std::string::npos) {
            continue;
        }
        list += entry.first;
        list += ',';
        list += std::to_string(entry.second);
        list += '\n';
    }
    return list;
}

UrlCache HttpsHostCache::parseList(const String& list) {
    UrlCache cache;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find('\n', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string line = list.substr(start, end - start);
        start = end + 1;
        const size_t comma = line.find(',');
        int verdict = 0;
        if (comma == std::string::npos || comma == 0 ||
            !parseVerdict(line.substr(comma + 1), verdict)) {
            if (!line.empty()) {
                Logger::instance()->out(LOGLEVEL_WARN, "HttpsHostCache skipped list line %s\n",
                                        line.c_str());
            }
            continue;
        }
        cache[line.substr(0, comma)] = verdict;
    }
    return cache;
}

bool HttpsHostCache::buildUpdateUrl(const String& httpsServer, const String& sessionKey,
                                    String& url) {
    String built = httpsServer + "/0" + sessionKey;
    if (built.size() + 1 > kUrlBufferSize) {
        return false;
    }
    url = built;
    return true;
}
