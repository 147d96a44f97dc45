#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>

#include "base/String.h"
#include "settings/Store.h"

// A host's verdict for one child; which of them are cached is the host
// verifier's choice.
enum {
    HTTPS_HOST_FILTER_STATUS_ALLOWED = 0,
    HTTPS_HOST_FILTER_STATUS_BLOCKED = 1,
    HTTPS_HOST_FILTER_STATUS_ALLOWED_NOCACHE = 2,
    HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE = 3,
};

// The fixed URL the filter server expects in the "Zorvane-Url: " header of
// every host question and cache update; its host is a reserved name that
// never resolves.
extern const char* const kHttpsFilterMarkerUrl;
// The user agent of the filter server's requests.
extern const char* const kHttpsFilterUserAgent;

// Host name (byte for byte, case kept) -> verdict, in byte order.
using UrlCache = std::map<String, int>;
// Child id -> that child's verdicts, ascending by id.
using ChildUrlCache = std::map<uint32_t, UrlCache>;

// Per child, the host verdicts the service has learned, so that a known host
// is answered without asking the filter server. A periodic update sends each
// child's list to the server and keeps the list the server answers.
//
// mLock guards every field. The update's transfers run without it (a lookup
// must not wait for the network); a child's new map is built aside and
// swapped in whole under the lock, so a lookup never sees a half-filled map,
// and verdicts recorded while the transfer ran are applied on top of it.
class HttpsHostCache {
public:
    // The first call creates the cache on `store` (not owned); later calls
    // pass null and get the same object.
    static HttpsHostCache* instance(Store* store = nullptr);

    explicit HttpsHostCache(Store* store);
    HttpsHostCache(const HttpsHostCache&) = delete;
    HttpsHostCache& operator=(const HttpsHostCache&) = delete;
    virtual ~HttpsHostCache() = default;

    // True with the cached verdict; false with BLOCKED when the child has no
    // entry for the host.
    bool checkUrl(unsigned int childId, String host, int& status);
    bool updateUrl(unsigned int childId, String host, int status);
    // The periodic update of every child, then the store written.
    bool updateCache();
    bool updateChildCache();
    // Posts `list` for the child and replaces it with the server's answer.
    // False (list emptied) when no request could be made; true otherwise,
    // even after a failed transfer, whose empty answer empties the child.
    virtual bool sendHttpsCacheUpdateReq(unsigned int childId, String& list);
    // Verdicts do not outlive the process: nothing is read back.
    void loadFromStore();
    void saveToStore();
    time_t getUpdatedTime() const;

    // A copy of the child's verdicts (empty for an unknown child).
    UrlCache childCache(unsigned int childId) const;
    time_t getCacheExpTime() const;
    time_t getLastUpdatedTime() const;
    bool getTimeLimitEnforced() const;

    // The verdict list text: "host,verdict\n" per entry, in map order; a
    // host holding a comma, CR or LF is left out (it could not be read back).
    static String formatList(const UrlCache& cache);
    // The server's list; a line without a comma, with an empty host or with
    // a verdict that is not a decimal number is skipped (logged).
    static UrlCache parseList(const String& list);
    // Builds the update URL; false when it would not fit the request buffer.
    static bool buildUpdateUrl(const String& httpsServer, const String& sessionKey, String& url);

    // The largest update URL with its terminating zero.
    static constexpr size_t kUrlBufferSize = 384;

private:
    // Reads the three values the server sends back in its reply headers.
    void parseReplyHeaders(const std::string& headers);
    // Caller holds mLock.
    void saveToStoreLocked();

    mutable std::mutex mLock;
    ChildUrlCache mChildUrlCache;
    time_t updatedTime = 0;
    Store* mFileStore;
    time_t cacheExpTime = 0;
    time_t lastUpdatedTime = 0;
    bool timeLimitEnforced = false;
    // While an update pass runs: what updateUrl recorded meanwhile, per child.
    bool mUpdating = false;
    ChildUrlCache mLateVerdicts;
};
