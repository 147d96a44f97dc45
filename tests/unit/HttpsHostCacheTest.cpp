// The per-child host verdicts: lookups and records, the verdict-list text
// both ways, the store file, and the update pass exactly as the filter
// server receives it.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "RawHttpServer.h"
#include "TestSupport.h"
#include "cloud/ConnectionInfo.h"
#include "https/HttpsHostCache.h"
#include "settings/FileStore.h"
#include "settings/Settings.h"

namespace {

TEST(HttpsHostCache, LookupsAnswerOnlyWhatWasRecordedForThatChild) {
    HttpsHostCache cache(nullptr);
    cache.updateUrl(7, "Example.com", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    cache.updateUrl(7, "blocked.test", HTTPS_HOST_FILTER_STATUS_BLOCKED);
    cache.updateUrl(7, "blocked.test", HTTPS_HOST_FILTER_STATUS_ALLOWED);  // replaced
    cache.updateUrl(8, "odd.test", 42);                                    // stored as given

    const struct {
        unsigned int child;
        const char* host;
        bool found;
        int status;
    } cases[] = {
        {7, "Example.com", true, HTTPS_HOST_FILTER_STATUS_ALLOWED},
        {7, "example.com", false, HTTPS_HOST_FILTER_STATUS_BLOCKED},  // case matters
        {7, "blocked.test", true, HTTPS_HOST_FILTER_STATUS_ALLOWED},
        {8, "odd.test", true, 42},
        {8, "Example.com", false, HTTPS_HOST_FILTER_STATUS_BLOCKED},  // other child's
        {9, "Example.com", false, HTTPS_HOST_FILTER_STATUS_BLOCKED},  // no map at all
    };
    for (const auto& c : cases) {
        int status = -1;
        EXPECT_EQ(cache.checkUrl(c.child, c.host, status), c.found) << c.child << " " << c.host;
        EXPECT_EQ(status, c.status) << c.child << " " << c.host;
    }
}

TEST(HttpsHostCache, ListTextIsHostCommaVerdictPerLineInByteOrder) {
    UrlCache cache{{"b.test", 1}, {"B.test", 0}, {"a.test", 3}};
    EXPECT_EQ(HttpsHostCache::formatList(cache), "B.test,0\na.test,3\nb.test,1\n");
    EXPECT_EQ(HttpsHostCache::formatList({}), "");
    // A reported name that would split into other lines is not sent.
    EXPECT_EQ(HttpsHostCache::formatList(
                  {{"x.test,0\nevil.test", 1}, {"c,d", 0}, {"cr\r", 0}, {"ok.test", 0}}),
              "ok.test,0\n");
    EXPECT_EQ(HttpsHostCache::parseList(HttpsHostCache::formatList(cache)), cache);
}

TEST(HttpsHostCache, ParserKeepsWellFormedLinesOnly) {
    const struct {
        const char* text;
        UrlCache expected;
    } cases[] = {
        {"", {}},
        {"a.test,1\nb.test,0\n", {{"a.test", 1}, {"b.test", 0}}},
        {"a.test,1", {{"a.test", 1}}},  // last line unterminated
        {"a.test,1\r\nb.test,2\r\n", {{"a.test", 1}, {"b.test", 2}}},
        {"a.test,1\na.test,0\n", {{"a.test", 0}}},  // the later line wins
        {"no comma\nb.test,1\n", {{"b.test", 1}}},
        {",1\nb.test,1\n", {{"b.test", 1}}},  // empty host
        {"a.test,\na.test,x\na.test,1x\na.test, 1\nb.test,-1\n", {{"b.test", -1}}},
        {"a.test,99999999999999999999\n", {}},  // out of range
        {"\n\n\nweird,host,1\n", {}},           // "host,1" is no number
        {"with space.test,3\n", {{"with space.test", 3}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HttpsHostCache::parseList(c.text), c.expected) << c.text;
    }
}

TEST(HttpsHostCache, StoreFileHoldsTwoSpacesAfterEveryRecord) {
    TempDir dir;
    const std::string path = dir.file("https_cache");
    writeFile(path, "example.com,0\n");
    FileStore store(path);
    HttpsHostCache cache(&store);
    cache.loadFromStore();
    int status = 0;
    EXPECT_FALSE(cache.checkUrl(1, "example.com", status));  // nothing read back
    cache.updateUrl(1, "example.com", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    EXPECT_EQ(readFile(path), "  ");
}

TEST(HttpsHostCache, UpdateUrlMustFitTheRequestBuffer) {
    String url;
    const String server = "https://filter.test/zorvane2/filter.php";
    const std::string fits(HttpsHostCache::kUrlBufferSize - 1 - server.size() - 2, 'k');
    EXPECT_TRUE(HttpsHostCache::buildUpdateUrl(server, fits, url));
    EXPECT_EQ(url, server + "/0" + fits);
    EXPECT_EQ(url.size() + 1, HttpsHostCache::kUrlBufferSize);
    String untouched = "before";
    EXPECT_FALSE(HttpsHostCache::buildUpdateUrl(server, fits + "k", untouched));
    EXPECT_EQ(untouched, "before");
}

// The settings record names the filter server (a bare listener here) and
// the children's session keys; both come back as they were.
class HttpsHostCacheUpdate : public testing::Test {
protected:
    void SetUp() override {
        mServerHost = "127.0.0.1:" + std::to_string(mServer.port());
        auto info = std::make_shared<ConnectionInfo>();
        info->setHttpsServer("http://" + mServerHost + "/zorvane2/filter.php");
        Settings::instance()->setConnectionInfo(info);
        Settings::instance()->setChildList({{3, child(3, "KEY3")}, {5, child(5, "KEY5")}});
    }
    void TearDown() override {
        Settings::instance()->setConnectionInfo(nullptr);
        Settings::instance()->setChildList({});
    }
    static ChildInfo child(uint32_t id, const std::string& key) {
        ChildInfo info;
        info.setId(id);
        info.setName("child" + std::to_string(id));
        info.setLevel(1);
        info.setSessionKey(key);
        return info;
    }

    std::string mReplyFor3 = "kept.test,1\nnew.test,0\n";
    std::string mReplyFor5 = "";
    RawHttpServer mServer{[this](const std::string& target) -> std::string {
        return target.find("/0KEY3") != std::string::npos ? mReplyFor3 : mReplyFor5;
    }};
    std::string mServerHost;
};

// The request's multipart boundary is libcurl's own choice.
std::string boundaryOf(const std::string& request) {
    const std::string marker = "boundary=";
    const size_t at = request.find(marker);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + marker.size();
    return request.substr(start, request.find("\r\n", start) - start);
}

TEST_F(HttpsHostCacheUpdate, RequestCarriesExactlyTheHeadersAndTheList) {
    HttpsHostCache cache(nullptr);
    cache.updateUrl(3, "kept.test", HTTPS_HOST_FILTER_STATUS_BLOCKED);
    cache.updateUrl(3, "Gone.test", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    mServer.setReplyHeaders(
        "Zorvane-Cache-Expiry-Time: 3600\r\nZorvane-Updated-Time: 1765400000\r\n"
        "Zorvane-Time-Limit-Enforced: 1\r\n");
    ASSERT_TRUE(cache.updateCache());
    // The second pass sends back the time the first one was given.
    ASSERT_TRUE(cache.updateCache());

    const std::vector<std::string> requests = mServer.requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string lists[] = {"Gone.test,0\nkept.test,1\n", "kept.test,1\nnew.test,0\n"};
    const std::string times[] = {"0", "1765400000"};
    for (size_t i = 0; i < requests.size(); ++i) {
        const std::string boundary = boundaryOf(requests[i]);
        ASSERT_FALSE(boundary.empty()) << requests[i];
        const std::string body = "--" + boundary +
                                 "\r\nContent-Disposition: form-data; name=\"https_host_cache\""
                                 "\r\nContent-Type: text/plain\r\n\r\n" +
                                 lists[i] + "\r\n--" + boundary + "--\r\n";
        EXPECT_EQ(requests[i],
                  "POST /zorvane2/filter.php/0KEY3 HTTP/1.1\r\nHost: " + mServerHost +
                      "\r\nAccept: */*\r\n"
                      "Zorvane-Https-Filter-Type: 2\r\n"
                      "Zorvane-Url: http://https-verify.zorvane.invalid/verifyhttpshost\r\n"
                      "User-Agent: Tyrnex, Netbook\r\n"
                      "Zorvane-Last-Updated-Time: " +
                      times[i] + "\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nContent-Type: multipart/form-data; boundary=" + boundary + "\r\n\r\n" +
                      body);
    }
    EXPECT_EQ(cache.getCacheExpTime(), 3600);
    EXPECT_EQ(cache.getLastUpdatedTime(), 1765400000);
    EXPECT_TRUE(cache.getTimeLimitEnforced());
}

TEST_F(HttpsHostCacheUpdate, EachChildKeepsExactlyTheListTheServerAnswers) {
    HttpsHostCache cache(nullptr);
    cache.updateUrl(3, "kept.test", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    cache.updateUrl(3, "gone.test", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    cache.updateUrl(5, "any.test", HTTPS_HOST_FILTER_STATUS_BLOCKED);
    cache.updateCache();

    EXPECT_EQ(cache.childCache(3), (UrlCache{{"kept.test", 1}, {"new.test", 0}}));
    EXPECT_EQ(cache.childCache(5), UrlCache());  // the server answered an empty list
    const std::vector<std::string> requests = mServer.requests();
    ASSERT_EQ(requests.size(), 2u);  // ascending child ids
    EXPECT_EQ(requests[0].rfind("POST /zorvane2/filter.php/0KEY3 ", 0), 0u);
    EXPECT_EQ(requests[1].rfind("POST /zorvane2/filter.php/0KEY5 ", 0), 0u);
}

TEST_F(HttpsHostCacheUpdate, ReplyHeadersCountOnlyUnderTheirExactNames) {
    HttpsHostCache cache(nullptr);
    cache.updateUrl(3, "kept.test", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    mServer.setReplyHeaders(
        "zorvane-cache-expiry-time: 11\r\nZorvane-Updated-Time:12\r\n"
        "X-Zorvane-Time-Limit-Enforced: 1\r\n");
    cache.updateCache();
    EXPECT_EQ(cache.getCacheExpTime(), 0);
    EXPECT_EQ(cache.getLastUpdatedTime(), 0);
    EXPECT_FALSE(cache.getTimeLimitEnforced());
}

TEST_F(HttpsHostCacheUpdate, FailedTransferEmptiesTheChild) {
    auto info = std::make_shared<ConnectionInfo>();
    {
        RawHttpServer gone([](const std::string&) { return std::string(); });
        // A port nothing listens on any more.
        info->setHttpsServer("http://127.0.0.1:" + std::to_string(gone.port()) +
                             "/zorvane2/filter.php");
    }
    Settings::instance()->setConnectionInfo(info);
    HttpsHostCache cache(nullptr);
    cache.updateUrl(3, "kept.test", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    LogWatch log;
    EXPECT_TRUE(cache.updateCache());
    EXPECT_EQ(cache.childCache(3), UrlCache());
    int status = -1;
    EXPECT_FALSE(cache.checkUrl(3, "kept.test", status));
    EXPECT_TRUE(log.saw("Error: "));
}

TEST_F(HttpsHostCacheUpdate, UrlTooLongIsNeverSentAndKeepsTheChild) {
    Settings::instance()->setChildInfo(3, child(3, std::string(400, 'k')));
    HttpsHostCache cache(nullptr);
    cache.updateUrl(3, "kept.test", HTTPS_HOST_FILTER_STATUS_BLOCKED);
    cache.updateUrl(5, "other.test", HTTPS_HOST_FILTER_STATUS_BLOCKED);
    cache.updateCache();
    EXPECT_EQ(cache.childCache(3), (UrlCache{{"kept.test", 1}}));
    EXPECT_EQ(cache.childCache(5), UrlCache());  // the next child still updated
    const std::vector<std::string> requests = mServer.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("POST /zorvane2/filter.php/0KEY5 ", 0), 0u);
}

// A verdict learned while the server is being asked is not lost to the
// server's older list.
class SlowUpdateCache : public HttpsHostCache {
public:
    SlowUpdateCache() : HttpsHostCache(nullptr) {}
    bool sendHttpsCacheUpdateReq(unsigned int childId, String& list) override {
        updateUrl(childId, "learned.test", HTTPS_HOST_FILTER_STATUS_BLOCKED);
        updateUrl(childId, "listed.test", HTTPS_HOST_FILTER_STATUS_BLOCKED);
        int status = -1;
        sawOldMap = checkUrl(childId, "old.test", status) && status == 0;
        list = "listed.test,0\nserver.test,0\n";
        return true;
    }
    bool sawOldMap = false;
};

TEST(HttpsHostCache, VerdictsRecordedDuringAnUpdateSurviveTheRefill) {
    SlowUpdateCache cache;
    cache.updateUrl(4, "old.test", HTTPS_HOST_FILTER_STATUS_ALLOWED);
    cache.updateCache();
    EXPECT_TRUE(cache.sawOldMap);  // lookups answered while the server was asked
    EXPECT_EQ(cache.childCache(4),
              (UrlCache{{"learned.test", 1}, {"listed.test", 1}, {"server.test", 0}}));
}

TEST(HttpsHostCache, EmptyCacheSendsNothing) {
    RawHttpServer server([](const std::string&) { return std::string("x.test,1\n"); });
    auto info = std::make_shared<ConnectionInfo>();
    info->setHttpsServer("http://127.0.0.1:" + std::to_string(server.port()) + "/f");
    Settings::instance()->setConnectionInfo(info);
    HttpsHostCache cache(nullptr);
    EXPECT_TRUE(cache.updateCache());
    Settings::instance()->setConnectionInfo(nullptr);
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
