// The stand-in cloud's answer to a child's verdict-list update, over real
// HTTPS: the hosts the child should keep with their verdicts now, and the
// three reply headers.
#include <gtest/gtest.h>
#include <httplib.h>

#include <ctime>
#include <string>

#include "CloudProcess.h"
#include "TestSupport.h"

namespace {

struct UpdateReply {
    int status = 0;  // 0: no answer
    std::string body;
    httplib::Headers headers;
};

UpdateReply postList(const CloudProcess& cloud, const std::string& key, const std::string& list,
                     const char* filterType = "2", const char* partName = "https_host_cache") {
    httplib::SSLClient client("127.0.0.1", cloud.httpsPort());
    client.set_ca_cert_path(cloud.certificate().c_str());
    client.enable_server_certificate_verification(true);
    httplib::Headers headers;
    if (filterType) {
        headers.emplace("Zorvane-Https-Filter-Type", filterType);
    }
    httplib::MultipartFormDataItems items{{partName, list, "", "text/plain"}};
    auto result = client.Post(("/zorvane2/filter.php/0" + key).c_str(), headers, items);
    if (!result) {
        return {};
    }
    return {result->status, result->body, result->headers};
}

TEST(CloudCacheUpdate, AnswersTheListToKeepWithTodaysVerdicts) {
    TempDir dir;
    writeFile(dir.file("filter.json"), R"({ "zorvane_version": "2",
        "https_filter": { "1": { "block": ["bad.example"], "allow": [] } },
        "accounts": [ { "user": "parent", "password": "parent123", "children": [
          { "id": 101, "name": "Alice", "level": 1, "session_key": "k1",
            "hosts": { "held.example": 3, "odd.example": "no comma",
                       "own.example": 1 } },
          { "id": 102, "name": "Ben", "level": 1, "session_key": "k2",
            "session_expired": true } ] } ] })");
    CloudProcess cloud(dir.file("cloud"), dir.file("filter.json"));

    const std::time_t before = std::time(nullptr);
    // Verdicts that changed are answered anew; hosts keep their spelling;
    // verdicts that may not be cached, broken lines and repeats are dropped.
    UpdateReply reply = postList(cloud, "k1",
                                 "bad.example,0\nBad.Example,0\nfine.example,1\nheld.example,3\n"
                                 "odd.example,0\nown.example,0\nno comma here\nbad.example,0\n");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "bad.example,1\nBad.Example,1\nfine.example,0\nown.example,1\n");
    ASSERT_EQ(reply.headers.count("Zorvane-Cache-Expiry-Time"), 1u);
    EXPECT_EQ(reply.headers.find("Zorvane-Cache-Expiry-Time")->second, "3600");
    ASSERT_EQ(reply.headers.count("Zorvane-Time-Limit-Enforced"), 1u);
    EXPECT_EQ(reply.headers.find("Zorvane-Time-Limit-Enforced")->second, "0");
    ASSERT_EQ(reply.headers.count("Zorvane-Updated-Time"), 1u);
    const long long updated = std::stoll(reply.headers.find("Zorvane-Updated-Time")->second);
    EXPECT_GE(updated, before);
    EXPECT_LE(updated, std::time(nullptr));

    // An expired session does not hold an update; an empty list stays empty.
    EXPECT_EQ(postList(cloud, "k2", "bad.example,0\n").body, "bad.example,1\n");
    UpdateReply empty = postList(cloud, "k2", "");
    EXPECT_EQ(empty.status, 200);
    EXPECT_EQ(empty.body, "");
}

TEST(CloudCacheUpdate, RefusesUnknownChildrenAndOtherRequests) {
    TempDir dir;
    CloudProcess cloud(dir.path().string());
    const std::string alice = "a1ce0101c0ffee01";
    EXPECT_EQ(postList(cloud, alice, "games.example,0\n").body, "games.example,1\n");
    EXPECT_EQ(postList(cloud, "unknownkey", "games.example,0\n").status, 404);
    EXPECT_EQ(postList(cloud, alice, "games.example,0\n", nullptr).status, 400);
    EXPECT_EQ(postList(cloud, alice, "games.example,0\n", "1").status, 400);
    EXPECT_EQ(postList(cloud, alice, "games.example,0\n", "2", "other_part").status, 400);
}

}  // namespace
