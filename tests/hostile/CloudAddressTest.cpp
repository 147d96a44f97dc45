// A reply to the plain-HTTP connection request can be forged by anyone on
// the way (a child's own access point will do). It must not move the
// parent's sign-in, nor the child's filter server, to the forger.

#include <memory>
#include <string>

#include "HostileSystem.h"

namespace {

// Sign-in requests in a stand-in cloud's request log that came in on
// `listener` ("http" or "https").
int signIns(const std::string& requestLog, const std::string& listener) {
    int count = 0;
    size_t start = 0;
    while (start < requestLog.size()) {
        size_t end = requestLog.find('\n', start);
        const std::string line = requestLog.substr(start, end - start);
        start = end == std::string::npos ? requestLog.size() : end + 1;
        if (line.compare(0, listener.size() + 1, listener + " ") == 0 &&
            contains(line, " GET /cgi-bin/auth?")) {
            ++count;
        }
    }
    return count;
}

class CloudAddress : public HostileSystem {
protected:
    void SetUp() override {
        HostileSystem::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        // The forger knows the parent's password too: only the refusal keeps
        // the sign-in away from it.
        const std::string data = root() + "/forged-cloud.json";
        writeFile(data, R"({
            "zorvane_version": "2",
            "filter": "https://{host}:{https_port}/forged",
            "auth": "http://{host}:{http_port}/cgi-bin/auth",
            "accounts": [ { "user": "parent", "password": "parent123",
                "children": [ { "id": 101, "name": "Alice", "level": 1,
                                "session_key": "f0f0f0f0" } ] } ]
        })");
        mForger = std::make_unique<CloudProcess>(root() + "/forger", data);
    }
    void TearDown() override {
        mService.reset();
        mForger.reset();
        HostileSystem::TearDown();
    }

    // The service asks the forger, over plain HTTP as configured.
    void startServiceAskingTheForger() {
        startService({"ZORVANE_CONNECTION_URL=" + mForger->plainConnectionUrl(),
                      "ZORVANE_CONNECTION_URL_FALLBACK=" + mForger->plainConnectionUrl()});
    }
    std::string forgedAuth() const {
        return "http://127.0.0.1:" + std::to_string(mForger->httpPort()) + "/cgi-bin/auth";
    }
    std::string honestAuth() const {
        return "https://127.0.0.1:" + std::to_string(mCloud->httpsPort()) + "/cgi-bin/auth";
    }
    ProgramResult parentSignsIn() {
        return ctl({"signin", kParent}, std::string(kParentPassword) + "\n");
    }
    std::string honestRequests() const { return readFile(mCloud->requestLogPath()); }
    std::string forgerRequests() const { return readFile(mForger->requestLogPath()); }

    std::unique_ptr<CloudProcess> mForger;
};

TEST_F(CloudAddress, ForgedPlainHttpSignInAddressIsRefused) {
    // A service that only ever hears the forger cannot sign in at all.
    startServiceAskingTheForger();
    ProgramResult refused = parentSignsIn();
    EXPECT_NE(refused.exitCode, 0) << refused.output;
    const std::string refusal = "Authentication::parseConnectionData refused AUTH " + forgedAuth() +
                                ": not an https address";
    EXPECT_TRUE(contains(serviceLog(), refusal)) << serviceLog();
    EXPECT_TRUE(contains(serviceLog(),
                         "connection URL " + mForger->plainConnectionUrl() + " is not https"));
    EXPECT_TRUE(contains(forgerRequests(), "GET /cgi-bin/connection?"));
    EXPECT_EQ(signIns(forgerRequests(), "http") + signIns(forgerRequests(), "https"), 0)
        << forgerRequests();
    stopService();

    // The real cloud over HTTPS: the parent signs in and maps the child.
    startService();
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n")) << serviceLog();
    const int honestSignIns = signIns(honestRequests(), "https");
    EXPECT_GE(honestSignIns, 1) << honestRequests();
    EXPECT_TRUE(contains(settingsText(), honestAuth())) << settingsText();
    stopService();

    // The forger answers again: its reply is refused, the connection info
    // in force stays and the parent's sign-in still goes to the real cloud.
    startServiceAskingTheForger();
    ASSERT_TRUE(eventually([&] { return contains(serviceLog(), refusal); })) << serviceLog();
    ProgramResult signedIn = parentSignsIn();
    EXPECT_EQ(signedIn.exitCode, 0) << signedIn.output;
    EXPECT_GT(signIns(honestRequests(), "https"), honestSignIns) << honestRequests();
    EXPECT_EQ(signIns(forgerRequests(), "http") + signIns(forgerRequests(), "https"), 0)
        << forgerRequests();
    const std::string settings = settingsText();
    EXPECT_TRUE(contains(settings, honestAuth())) << settings;
    EXPECT_FALSE(contains(settings, "/forged")) << settings;
}

}  // namespace
