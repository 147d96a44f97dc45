// The stand-in cloud as a real process on loopback, spoken to over real
// HTTP and HTTPS.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

#include "CloudProcess.h"
#include "TestSupport.h"

namespace {

const char kConnectionQuery[] =
    "/cgi-bin/connection?v=2.0&user=linux&timezone=W.\\%20Europe\\%20Standard\\%20Time";

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

std::string authPath(const std::string& user, const std::string& password,
                     const std::string& signature) {
    return "/cgi-bin/auth?user=" + user + "&passwd=" + md5Hex(password) + "&dev=" + signature +
           "&os=netbook&version=3";
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

struct Reply {
    int status = 0;  // 0: no answer
    std::string body;
};

Reply get(httplib::ClientImpl& client, const std::string& path,
          const httplib::Headers& headers = {}) {
    client.set_url_encode(false);  // send the target byte for byte, as the service does
    auto result = client.Get(path.c_str(), headers);
    if (!result) {
        return {};
    }
    return {result->status, result->body};
}

Reply get(const CloudProcess& cloud, const std::string& path,
          const httplib::Headers& headers = {}) {
    httplib::ClientImpl client("127.0.0.1", cloud.httpPort());
    return get(client, path, headers);
}

// The DEVICEID of a passed sign-in, 0 when there is none.
unsigned long deviceId(const CloudProcess& cloud, const std::string& signature) {
    Reply reply = get(cloud, authPath("parent", "parent123", signature));
    std::smatch match;
    if (reply.status != 200 ||
        !std::regex_search(reply.body, match, std::regex("DEVICEID, (\\d+)"))) {
        return 0;
    }
    return std::stoul(match[1]);
}

TEST(CloudConnection, NamesItsOwnServersAndTheCallersAddress) {
    TempDir dir;
    CloudProcess cloud(dir.path().string());
    Reply reply = get(cloud, kConnectionQuery);
    const std::string https = "https://127.0.0.1:" + std::to_string(cloud.httpsPort());
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body,
              "ZORVANE_VERSION, 2\n"
              "FILTER, " +
                  https +
                  "/zorv\n"
                  "AUTH, " +
                  https +
                  "/cgi-bin/auth\n"
                  "FILTER1, " +
                  https +
                  "/zorv1\n"
                  "PUBLICIP, 127.0.0.1\n");
}

// The servers are named as the client named the cloud, so that a TLS client
// that matches certificates by name only can verify them.
TEST(CloudConnection, NamesItsServersByTheHostTheClientAsked) {
    TempDir dir;
    CloudProcess cloud(dir.path().string());
    const struct {
        const char* host;
        const char* named;
    } cases[] = {
        {"localhost", "localhost"},
        {"127.0.0.1", "127.0.0.1"},
        {"[::1]", "[::1]"},
        {"bad/name", "127.0.0.1"},  // not a plain name: the address reached
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        const std::string port = std::to_string(cloud.httpPort());
        Reply reply = get(cloud, kConnectionQuery, {{"Host", std::string(c.host) + ":" + port}});
        const std::string https =
            std::string("https://") + c.named + ":" + std::to_string(cloud.httpsPort());
        EXPECT_NE(reply.body.find("FILTER, " + https + "/zorv\n"), std::string::npos)
            << reply.body;
        EXPECT_NE(reply.body.find("AUTH, " + https + "/cgi-bin/auth\n"), std::string::npos)
            << reply.body;
    }
}

TEST(CloudConnection, FollowsTheDataFile) {
    TempDir dir;
    const std::string data = dir.file("cloud.json");
    writeFile(data, R"({
        "zorvane_version": "7",
        "filter": "https://filter.example/zorv",
        "auth": "https://{host}:{https_port}/cgi-bin/auth",
        "auth_expiry_seconds": 60,
        "accounts": [ { "user": "solo", "password": "pw 1" } ]
    })");
    CloudProcess cloud(dir.path().string(), data);
    Reply reply = get(cloud, kConnectionQuery);
    const std::string auth =
        "https://127.0.0.1:" + std::to_string(cloud.httpsPort()) + "/cgi-bin/auth";
    // Without a fallback in the data there is no FILTER1 line at all: an
    // empty value would end the client's parsing before PUBLICIP.
    EXPECT_EQ(reply.body,
              "ZORVANE_VERSION, 7\n"
              "FILTER, https://filter.example/zorv\n"
              "AUTH, " +
                  auth +
                  "\n"
                  "PUBLICIP, 127.0.0.1\n");

    // The announced authentication URL works, over HTTPS, with the plain
    // password of the data file digested by the cloud.
    httplib::SSLClient client("127.0.0.1", cloud.httpsPort());
    client.set_ca_cert_path(cloud.certificate().c_str());
    client.enable_server_certificate_verification(true);
    Reply signIn = get(client, authPath("solo", "pw 1", "0a0b0c0d0e0f"));
    EXPECT_EQ(signIn.status, 200);
    auto body = lines(signIn.body);
    ASSERT_EQ(body.size(), 5u) << signIn.body;
    EXPECT_EQ(body[1], "NCHILDREN, 0");
    EXPECT_EQ(body[4], "AUTHEXPIRY, 60");
}

// The default accounts, with the passwords the README and the data file name.
TEST(CloudSignIn, AnswersEachAccountStateWithItsStatus) {
    TempDir dir;
    CloudProcess cloud(dir.path().string());
    struct Case {
        const char* user;
        const char* password;
        const char* signature;
        int status;
    };
    const Case cases[] = {
        {"nobody", "parent123", "001122334455", 401},
        {"lapsed", "lapsed123", "001122334455", 402},
        {"parent", "Parent123", "001122334455", 403},
        {"parent", "parent123", "02aa00bb00cc", 404},  // bound to "neighbour"
        {"neighbour", "neighbour123", "02aa00bb00cc", 200},
        {"neighbour", "neighbour123", "001122334455", 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.user) + " " + c.signature);
        Reply reply = get(cloud, authPath(c.user, c.password, c.signature));
        EXPECT_EQ(reply.status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(reply.body.rfind("STATUS, PASSED\nNCHILDREN, 1\nDEVICEID, ", 0), 0u)
                << reply.body;
        } else {
            EXPECT_EQ(reply.body.rfind("STATUS, FAILED\n", 0), 0u) << reply.body;
            EXPECT_EQ(reply.body.find("DEVICEID"), std::string::npos);
        }
    }

    Reply passed = get(cloud, authPath("parent", "parent123", "001122334455"));
    EXPECT_EQ(passed.status, 200);
    auto body = lines(passed.body);
    ASSERT_EQ(body.size(), 8u) << passed.body;
    EXPECT_EQ(body[0], "STATUS, PASSED");
    EXPECT_EQ(body[1], "NCHILDREN, 3");
    EXPECT_TRUE(std::regex_match(body[2], std::regex("DEVICEID, [1-9][0-9]*"))) << body[2];
    EXPECT_TRUE(std::regex_match(body[3], std::regex("SESSIONID, [0-9a-f]{32}"))) << body[3];
    EXPECT_EQ(body[4], "AUTHEXPIRY, 86400");
    EXPECT_EQ(body[5], "CHILDINFO, 101; Alice; Elementary School Level; a1ce0101c0ffee01");
    EXPECT_EQ(body[6], "CHILDINFO, 102; Ben; Middle School Level; be0e0102c0ffee02");
    EXPECT_EQ(body[7], "CHILDINFO, 103; Cara; High School Level; ca0a0103c0ffee03");
}

TEST(CloudSignIn, CutsThePassReplyWhereTheDataSays) {
    TempDir dir;
    writeFile(dir.file("cut.json"), R"({ "zorvane_version": "2", "accounts": [
        { "user": "parent", "password": "parent123", "pass_reply_lines": 6, "children": [
          { "id": 101, "name": "Alice", "level": 1, "session_key": "k1" },
          { "id": 102, "name": "Ben", "level": 2, "session_key": "k2" } ] } ] })");
    CloudProcess cloud(dir.file("cloud"), dir.file("cut.json"));
    Reply passed = get(cloud, authPath("parent", "parent123", "001122334455"));
    EXPECT_EQ(passed.status, 200);
    auto body = lines(passed.body);
    ASSERT_EQ(body.size(), 6u) << passed.body;
    EXPECT_EQ(body[1], "NCHILDREN, 2");
    EXPECT_EQ(body[5], "CHILDINFO, 101; Alice; Elementary School Level; k1");
    EXPECT_EQ(passed.body.back(), '\n');
    // Refusals are not cut.
    EXPECT_EQ(get(cloud, authPath("parent", "wrong", "001122334455")).body,
              "STATUS, FAILED\nREASON, wrong password\n");
}

Reply hostVerdict(const CloudProcess& cloud, const std::string& key, const std::string& host,
                  bool authProcessing = false) {
    httplib::Headers headers = {{"Zorvane-Https-Host", host},
                                {"Zorvane-Https-Filter-Type", "1"}};
    if (authProcessing) {
        headers.emplace("auth-processing", "1");
    }
    return get(cloud, "/zorvane2/filter.php/0" + key, headers);
}

TEST(CloudHostFilter, DefaultListsBlockLessForOlderChildren) {
    TempDir dir;
    CloudProcess cloud(dir.path().string());
    struct Case {
        const char* key;
        const char* host;
        const char* body;
    };
    const Case cases[] = {
        {"a1ce0101c0ffee01", "games.example", "games.example,1"},  // Alice, level 1
        {"a1ce0101c0ffee01", "Adult.Example", "adult.example,1"},
        {"a1ce0101c0ffee01", "www.school.example", "www.school.example,0"},
        {"be0e0102c0ffee02", "games.example", "games.example,0"},  // Ben, level 2
        {"be0e0102c0ffee02", "casino.example", "casino.example,1"},
        {"ca0a0103c0ffee03", "adult.example", "adult.example,0"},  // Cara, level 3
    };
    for (const auto& c : cases) {
        Reply reply = hostVerdict(cloud, c.key, c.host);
        EXPECT_EQ(reply.status, 200) << c.key << " " << c.host;
        EXPECT_EQ(reply.body, c.body) << c.key << " " << c.host;
    }
    EXPECT_EQ(hostVerdict(cloud, "unknownkey", "games.example").status, 404);
    EXPECT_EQ(hostVerdict(cloud, "a1ce0101c0ffee01", "").status, 404);
}

TEST(CloudHostFilter, FollowsChildRepliesAndExpiresSessionsUntilSignIn) {
    TempDir dir;
    writeFile(dir.file("filter.json"), R"({ "zorvane_version": "2",
        "https_filter": { "1": { "block": ["bad.example", "good.example"],
                                 "allow": ["good.example"] } },
        "accounts": [ { "user": "parent", "password": "parent123", "children": [
          { "id": 101, "name": "Alice", "level": 1, "session_key": "k1",
            "hosts": { "held.example": 3, "odd.example": "no comma" } },
          { "id": 102, "name": "Ben", "level": 1, "session_key": "k2",
            "session_expired": true } ] } ] })");
    CloudProcess cloud(dir.file("cloud"), dir.file("filter.json"));
    EXPECT_EQ(hostVerdict(cloud, "k1", "bad.example").body, "bad.example,1");
    EXPECT_EQ(hostVerdict(cloud, "k1", "good.example").body, "good.example,0");  // allow wins
    EXPECT_EQ(hostVerdict(cloud, "k1", "held.example").body, "held.example,3");
    EXPECT_EQ(hostVerdict(cloud, "k1", "odd.example").body, "no comma");

    Reply expired = hostVerdict(cloud, "k2", "bad.example");
    EXPECT_EQ(expired.status, 302);
    EXPECT_EQ(expired.body, "");
    // Asked without sign-in processing, the verdict comes all the same.
    EXPECT_EQ(hostVerdict(cloud, "k2", "bad.example", true).body, "bad.example,1");
    EXPECT_EQ(hostVerdict(cloud, "k2", "bad.example").status, 302);
    ASSERT_EQ(get(cloud, authPath("parent", "parent123", "001122334455")).status, 200);
    Reply renewed = hostVerdict(cloud, "k2", "bad.example");
    EXPECT_EQ(renewed.status, 200);
    EXPECT_EQ(renewed.body, "bad.example,1");
}

TEST(CloudSignIn, KeepsDeviceIdsPerSignatureAcrossRestarts) {
    TempDir dir;
    unsigned long first = 0;
    unsigned long second = 0;
    std::string certificate;
    {
        CloudProcess cloud(dir.path().string());
        first = deviceId(cloud, "00000000000a");
        second = deviceId(cloud, "00000000000b");
        ASSERT_NE(first, 0u);
        ASSERT_NE(second, 0u);
        EXPECT_NE(first, second);
        EXPECT_EQ(deviceId(cloud, "00000000000a"), first);
        certificate = readFile(cloud.certificate());
        EXPECT_EQ(cloud.stop(), 0) << "SIGTERM must end the cloud cleanly";
    }
    CloudProcess again(dir.path().string());
    EXPECT_EQ(deviceId(again, "00000000000b"), second);
    EXPECT_EQ(deviceId(again, "00000000000a"), first);
    unsigned long third = deviceId(again, "00000000000c");
    EXPECT_NE(third, 0u);
    EXPECT_NE(third, first);
    EXPECT_NE(third, second);
    // The same certificate, so clients that trust it keep working.
    EXPECT_EQ(readFile(again.certificate()), certificate);
}

TEST(CloudHttps, IsTrustedWithTheGeneratedCertificateOnly) {
    TempDir dir;
    CloudProcess cloud(dir.path().string());
    for (const char* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        httplib::SSLClient trusting(host, cloud.httpsPort());
        trusting.set_ca_cert_path(cloud.certificate().c_str());
        trusting.enable_server_certificate_verification(true);
        Reply reply = get(trusting, kConnectionQuery);
        EXPECT_EQ(reply.status, 200);
        EXPECT_NE(reply.body.find("PUBLICIP, 127.0.0.1\n"), std::string::npos) << reply.body;
    }
    httplib::SSLClient untrusting("127.0.0.1", cloud.httpsPort());
    untrusting.enable_server_certificate_verification(true);
    auto result = untrusting.Get(kConnectionQuery);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.error(), httplib::Error::SSLServerVerification);
}

TEST(CloudLog, HasOneLinePerRequestWithTheSignInHeadersAndNoSecrets) {
    TempDir dir;
    CloudProcess cloud(dir.path().string());
    get(cloud, kConnectionQuery);
    get(cloud, authPath("parent", "parent123", "001122334455"),
        {{"Device-Name", "KIDS-PC"}, {"Public-IP", "203.0.113.7"}, {"Device-Type", "Linux 6.1"}});
    // A filter query names the child by its session key (Alice's, built in).
    get(cloud, "/zorvane2/filter.php/0a1ce0101c0ffee01");
    // The line is written once the reply is out: wait for it.
    std::vector<std::string> log;
    for (int waited = 0; waited < 5000 && log.size() < 3; waited += 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        log = lines(readFile(cloud.requestLogPath()));
    }
    ASSERT_EQ(log.size(), 3u);
    // Each line is written when its reply is out, so they may come in any order.
    std::sort(log.begin(), log.end());
    EXPECT_EQ(log[0], "http 127.0.0.1 GET /cgi-bin/auth?user=parent&passwd=********"
                      "&dev=001122334455&os=netbook&version=3 200 Device-Name=\"KIDS-PC\""
                      " Public-IP=\"203.0.113.7\" Device-Type=\"Linux 6.1\"");
    EXPECT_EQ(log[1], std::string("http 127.0.0.1 GET ") + kConnectionQuery + " 200");
    EXPECT_EQ(log[2].rfind("http 127.0.0.1 GET /zorvane2/filter.php/0******** ", 0), 0u) << log[2];
    const std::string text = readFile(cloud.requestLogPath());
    EXPECT_EQ(text.find(md5Hex("parent123")), std::string::npos) << text;
    EXPECT_EQ(text.find("a1ce0101c0ffee01"), std::string::npos) << text;
}

TEST(CloudStart, RefusesBadDataAndBusyPorts) {
    TempDir dir;
    const std::string account =
        R"({ "user": "u", "password_md5": "0123456789abcdef0123456789abcdef" })";
    struct Case {
        std::string data;
        const char* mentions;
    };
    const Case cases[] = {
        {"{ \"zorvane_version\": ", "not valid JSON"},
        {R"({ "zorvane_version": "2", "acounts": [] })", "unknown key \"acounts\""},
        {R"({ "zorvane_version": "2", "accounts": [ { "user": "u", "password_md5": "ABC" } ] })",
         "password_md5"},
        {R"({ "zorvane_version": "2", "accounts": [ { "user": "u", "password": "p",
              "children": [ { "id": 1, "name": "A", "level": 4, "session_key": "k" } ] } ] })",
         "\"level\" out of range"},
        {R"({ "zorvane_version": "2", "accounts": [ )" + account +
             R"( ], "devices": [ { "signature": "001122334455", "account": "x" } ] })",
         "account \"x\" is not in"},
        {R"({ "zorvane_version": "2", "accounts": [ { "user": "u", "password": "p",
              "pass_reply_lines": 0 } ] })",
         "\"pass_reply_lines\" out of range"},
        {R"({ "zorvane_version": "2", "filter": "http://f/zorv", "accounts": [] })",
         "\"filter\" must start with https://"},
        {R"({ "zorvane_version": "2", "accounts": [], "updates": { "amd64": {
              "version": "3", "files": [ { "name": "a/b", "text": "x" } ] } } })",
         "updates amd64 file 0: \"name\" must be a plain file name"},
        {R"({ "zorvane_version": "2", "accounts": [], "updates": { "amd64": {
              "version": "3", "files": [ { "name": "a", "text": "x", "size": 3 } ] } } })",
         "give exactly one of"},
        {R"({ "zorvane_version": "2", "accounts": [], "updates": { "x86": {
              "version": "3", "file": [] } } })",
         "updates x86: unknown key \"file\""},
    };
    const std::string data = dir.file("bad.json");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mentions);
        writeFile(data, c.data);
        std::string output;
        EXPECT_EQ(CloudProcess::runToEnd({"--data", data, "--state", dir.file("state"),
                                          "--http-port", "any", "--https-port", "0"},
                                         output),
                  1);
        EXPECT_NE(output.find(c.mentions), std::string::npos) << output;
    }

    CloudProcess running(dir.file("first"));
    std::string output;
    EXPECT_EQ(CloudProcess::runToEnd({"--state", dir.file("second"), "--http-port",
                                      std::to_string(running.httpPort()), "--https-port", "0"},
                                     output),
              1);
    EXPECT_NE(output.find("cannot listen"), std::string::npos) << output;
    EXPECT_EQ(CloudProcess::runToEnd({"--https-port", "x"}, output), 2);
}

}  // namespace
