// The periodic host-cache update against the real stand-in cloud over
// verified TLS: the cloud's list replaces a child's verdicts, and a pass
// that cannot reach it (cloud gone, or not trusted) empties them.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CloudProcess.h"
#include "TestSupport.h"
#include "cloud/ConnectionInfo.h"
#include "cloud/HttpTransfer.h"
#include "https/HttpsHostCache.h"
#include "settings/Settings.h"

namespace {

class HttpsCacheUpdate : public testing::Test {
protected:
    void SetUp() override {
        mSavedOptions = HttpTransfer::defaultOptions();
        writeFile(mDir.file("filter.json"), R"({ "zorvane_version": "2",
            "https_filter": { "1": { "block": ["bad.example"], "allow": [] } },
            "accounts": [ { "user": "parent", "password": "parent123", "children": [
              { "id": 101, "name": "Alice", "level": 1, "session_key": "k1",
                "hosts": { "held.example": 3 } },
              { "id": 102, "name": "Ben", "level": 3, "session_key": "k2" } ] } ] })");
        mCloud = std::make_unique<CloudProcess>(mDir.file("cloud"), mDir.file("filter.json"));
        trustCloud(true);
        auto info = std::make_shared<ConnectionInfo>();
        info->setFilterServer("https://127.0.0.1:" + std::to_string(mCloud->httpsPort()) + "/zorv");
        Settings::instance()->setConnectionInfo(info);
        Settings::instance()->setChildList({{101, child(101, "k1")}, {102, child(102, "k2")}});
    }
    void TearDown() override {
        HttpTransfer::setDefaultOptions(mSavedOptions);
        Settings::instance()->setConnectionInfo(nullptr);
        Settings::instance()->setChildList({});
    }
    void trustCloud(bool trust) {
        HttpTransfer::Options options = mSavedOptions;
        options.caFile = trust ? mCloud->certificate() : "";
        HttpTransfer::setDefaultOptions(options);
    }
    static ChildInfo child(uint32_t id, const std::string& key) {
        ChildInfo info;
        info.setId(id);
        info.setName("child" + std::to_string(id));
        info.setLevel(1);
        info.setSessionKey(key);
        return info;
    }
    // Both children with verdicts the cloud no longer agrees with.
    static void learnStaleVerdicts(HttpsHostCache& cache) {
        cache.updateUrl(101, "bad.example", HTTPS_HOST_FILTER_STATUS_ALLOWED);
        cache.updateUrl(101, "fine.example", HTTPS_HOST_FILTER_STATUS_BLOCKED);
        cache.updateUrl(101, "held.example", HTTPS_HOST_FILTER_STATUS_ALLOWED);
        cache.updateUrl(102, "bad.example", HTTPS_HOST_FILTER_STATUS_BLOCKED);
    }

    TempDir mDir;
    HttpTransfer::Options mSavedOptions;
    std::unique_ptr<CloudProcess> mCloud;
};

TEST_F(HttpsCacheUpdate, CloudListReplacesEachChildsVerdicts) {
    HttpsHostCache cache(nullptr);
    learnStaleVerdicts(cache);
    EXPECT_TRUE(cache.updateCache());

    EXPECT_EQ(cache.childCache(101), (UrlCache{{"bad.example", 1}, {"fine.example", 0}}));
    EXPECT_EQ(cache.childCache(102), (UrlCache{{"bad.example", 0}}));
    int status = -1;
    EXPECT_TRUE(cache.checkUrl(101, "bad.example", status));
    EXPECT_EQ(status, HTTPS_HOST_FILTER_STATUS_BLOCKED);
    EXPECT_FALSE(cache.checkUrl(101, "held.example", status));  // asked again next time
    EXPECT_GT(cache.getLastUpdatedTime(), 0);
    EXPECT_EQ(cache.getCacheExpTime(), 3600);
    // One update request per child, over HTTPS (the log hides session keys).
    const std::string log = readFile(mCloud->requestLogPath());
    const std::string line = "https 127.0.0.1 POST /zorvane2/filter.php/0";
    size_t posts = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
        ++posts;
    }
    EXPECT_EQ(posts, 2u) << log;
}

TEST_F(HttpsCacheUpdate, PassThatCannotReachTheCloudEmptiesTheVerdicts) {
    struct Case {
        const char* name;
        bool trusted;
        bool stopped;
    } cases[] = {{"certificate not trusted", false, false}, {"cloud gone", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HttpsHostCache cache(nullptr);
        learnStaleVerdicts(cache);
        trustCloud(c.trusted);
        if (c.stopped) {
            mCloud->stop();
        }
        EXPECT_TRUE(cache.updateCache());
        EXPECT_EQ(cache.childCache(101), UrlCache());
        EXPECT_EQ(cache.childCache(102), UrlCache());
        int status = -1;
        EXPECT_FALSE(cache.checkUrl(102, "bad.example", status));
        EXPECT_EQ(status, HTTPS_HOST_FILTER_STATUS_BLOCKED);
    }
}

}  // namespace
