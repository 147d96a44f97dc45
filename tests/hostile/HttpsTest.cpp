// HTTPS of a mapped user, for real: the ClientHello's host goes to the
// service, which asks the stand-in cloud; an allowed host's connection goes
// on, a blocked host's ServerHello becomes the 403 reply and the user's
// notifier is told. Other users are never touched.

#include "NetworkSystem.h"

namespace {

class HttpsTest : public NetworkSystem {
protected:
    // curl to https://<host>/ at the site, certificate not checked (it is
    // the site's own), given up after `seconds`.
    ProgramResult fetch(const LocalUser& user, const std::string& host, int seconds = 8) {
        return runProgram({tool("curl"), "-sS", "-k", "--max-time", std::to_string(seconds),
                           "--resolve", host + ":443:" + kSite, "https://" + host + "/"},
                          {}, as(user), (seconds + 7) * 1000);
    }

    std::unique_ptr<ChildProcess> notifierOf(const LocalUser& user, const std::string& output) {
        return std::make_unique<ChildProcess>(
            std::vector<std::string>{ZORVANE_NOTIFIER_PROGRAM, "--no-desktop"},
            Environment{"ZORVANE_RUN_DIR=" + runDir()}, as(user), output);
    }
};

TEST_F(HttpsTest, AllowedHostLoadsBlockedHostGetsTheReplyAndANotice) {
    signInAndMapChild();
    const std::string notices = root() + "/child-notifier.out";
    auto notifier = notifierOf(child(), notices);

    const ProgramResult allowed = fetch(child(), "allowed.test");
    EXPECT_EQ(allowed.exitCode, 0) << allowed.output << filterLog();
    EXPECT_TRUE(contains(allowed.output, "s_server")) << allowed.output;
    EXPECT_TRUE(contains(filterLog(), "UpdateHostStatus allowed.test")) << filterLog();

    const ProgramResult blocked = fetch(child(), "blocked.test");
    EXPECT_NE(blocked.exitCode, 0) << blocked.output;
    // The 403 reply reaches curl in place of the ServerHello: not TLS.
    EXPECT_TRUE(contains(blocked.output, "wrong version number")) << blocked.output;
    EXPECT_TRUE(eventually([&] {
        return contains(readFile(notices), "site blocked: blocked.test");
    })) << readFile(notices)
        << serviceLog();
    EXPECT_EQ(countOf(readFile(notices), "site blocked: blocked.test"), 1) << readFile(notices);
    // The server was told too: no connection of it is left open.
    const auto serverConnections = [&] {
        return runProgram({tool("ip"), "netns", "exec", mWebNs, tool("ss"), "-Htn", "state",
                           "established", "( sport = :443 )"},
                          {}, {}, 10000)
            .output;
    };
    EXPECT_TRUE(eventually([&] { return serverConnections().empty(); })) << serverConnections();

    // A second connection to the allowed host is judged from the cache.
    const int questions = countOf(filterLog(), "sending request to service");
    EXPECT_EQ(fetch(child(), "allowed.test").exitCode, 0);
    EXPECT_EQ(countOf(filterLog(), "sending request to service"), questions);

    // The other user reaches both, and nobody is asked about it.
    EXPECT_EQ(fetch(other(), "blocked.test").exitCode, 0);
    EXPECT_EQ(fetch(other(), "allowed.test").exitCode, 0);
    EXPECT_EQ(countOf(filterLog(), "sending request to service"), questions);
}

// Chromium's ClientHello (post-quantum key share) spans two segments.
TEST_F(HttpsTest, ChromiumOfAMappedUserLoadsTheAllowedHost) {
    const std::string chromium = tool("chromium");
    if (access(chromium.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "skipped: chromium is not installed";
    }
    signInAndMapChild();
    const std::string profile = root() + "/chromium-profile";
    runProgram({tool("install"), "-d", "-o", std::to_string(child().uid), profile});
    const auto load = [&] {
        return runProgram(
            {chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
             "--no-first-run", "--ignore-certificate-errors", "--user-data-dir=" + profile,
             std::string("--host-resolver-rules=MAP allowed.test ") + kSite, "--dump-dom",
             "https://allowed.test/"},
            {"HOME=" + profile}, as(child()), 60000);
    };
    ProgramResult page = load();
    // A browser drops a page load when it sees the network change under it;
    // once is the namespaces settling, not the filter.
    if (contains(page.output, "ERR_NETWORK_CHANGED")) {
        page = load();
    }
    EXPECT_TRUE(contains(page.output, "s_server")) << page.output;
    EXPECT_TRUE(contains(filterLog(), "UpdateHostStatus allowed.test")) << filterLog();
    EXPECT_TRUE(std::regex_search(
        filterLog(), std::regex("ClientHello of port [0-9]+ whole after [2-9] segments")))
        << filterLog();
}

TEST_F(HttpsTest, KilledHostLeavesMappedUsersClosedAndOthersOpen) {
    signInAndMapChild();
    ASSERT_EQ(kill(mFilter->pid(), SIGKILL), 0);
    mFilter->waitForExit(10000);
    // The queue has no listener: the child's packets are dropped.
    EXPECT_NE(fetch(child(), "allowed.test", 2).exitCode, 0);
    EXPECT_EQ(fetch(other(), "allowed.test").exitCode, 0);
}

}  // namespace
