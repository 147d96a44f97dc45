// Plain HTTP of a mapped user, for real: the whole system in a network
// namespace of its own (client side) with a web site in a second one. The
// user's port-80 connections go through the filter host's rules and proxy to
// the stand-in cloud's filter server with the tag before each request; other
// users' connections go straight to the site, untouched.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <regex>

#include "HostileSystem.h"

namespace {

constexpr char kSite[] = "10.77.0.2";
constexpr char kClientAddress[] = "10.77.0.1";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        out.push_back(text.substr(start, end - start));
    }
    return out;
}

// A system program by its full path (the test's runner takes no PATH).
std::string tool(const std::string& name) {
    for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
        if (access((folder + name).c_str(), X_OK) == 0) {
            return folder + name;
        }
    }
    return name;
}

// Lines of `text` that contain `part`.
std::vector<std::string> linesWith(const std::string& text, const std::string& part) {
    std::vector<std::string> out;
    for (const std::string& line : lines(text)) {
        if (contains(line, part)) {
            out.push_back(line);
        }
    }
    return out;
}

class PlainHttpTest : public HostileSystem {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "skipped: needs root to make network namespaces";
        }
        if (access(tool("iptables-restore").c_str(), X_OK) != 0) {
            GTEST_SKIP() << "skipped: iptables is not installed";
        }
        const std::string tag = std::to_string(getpid());
        mClientNs = "zvc" + tag;
        mWebNs = "zvw" + tag;
        const std::string clientLink = "vc" + tag;
        const std::string webLink = "vw" + tag;
        const std::vector<std::vector<std::string>> setup = {
            {tool("ip"), "netns", "add", mClientNs},
            {tool("ip"), "netns", "add", mWebNs},
            {tool("ip"), "link", "add", clientLink, "type", "veth", "peer", "name", webLink},
            {tool("ip"), "link", "set", clientLink, "netns", mClientNs},
            {tool("ip"), "link", "set", webLink, "netns", mWebNs},
            {tool("ip"), "-n", mClientNs, "addr", "add", std::string(kClientAddress) + "/24", "dev",
             clientLink},
            {tool("ip"), "-n", mWebNs, "addr", "add", std::string(kSite) + "/24", "dev", webLink},
            {tool("ip"), "-n", mClientNs, "link", "set", clientLink, "up"},
            {tool("ip"), "-n", mWebNs, "link", "set", webLink, "up"},
            {tool("ip"), "-n", mClientNs, "link", "set", "lo", "up"},
            {tool("ip"), "-n", mWebNs, "link", "set", "lo", "up"},
        };
        for (const auto& command : setup) {
            const ProgramResult result = runProgram(command, {}, {}, 10000);
            if (result.exitCode != 0) {
                const bool first = &command == &setup[0];
                removeNamespaces();
                if (first) {
                    GTEST_SKIP() << "skipped: cannot make network namespaces: " << result.output;
                }
                FAIL() << command[1] << " " << command[2] << ": " << result.output;
            }
        }
        mSiteDir = std::make_unique<TempDir>();
        ::chmod(mSiteDir->path().c_str(), 0755);
        mSite = std::make_unique<ChildProcess>(
            std::vector<std::string>{tool("ip"), "netns", "exec", mWebNs, ZORVANE_TEST_SITE, kSite,
                                     "80", siteLog()},
            Environment{});
        ASSERT_TRUE(eventually([&] { return contains(readFile(siteLog()), "listening"); }));

        // Everything this test starts from here on lives on the client side.
        mOwnNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int client = open(("/run/netns/" + mClientNs).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(client, 0);
        ASSERT_EQ(setns(client, CLONE_NEWNET), 0);
        close(client);

        std::string defaults;
        ASSERT_EQ(CloudProcess::runToEnd({"--print-default"}, defaults), 0);
        defaults = std::regex_replace(defaults, std::regex("\"page_fetch_allow\": \\[[^\\]]*\\]"),
                                      "\"page_fetch_allow\": [\"10.77.0.0/24\"]");
        // Level 1 (the parent's first child) is the first list.
        const size_t block = defaults.find("\"block\": [");
        ASSERT_NE(block, std::string::npos);
        defaults.insert(block + 10, "\"blocked.test\", ");
        mCloudData = mSiteDir->path().string() + "/cloud.json";
        writeFile(mCloudData, defaults);
        mCloudArguments = {"--filter-port", "80"};
        mPacketPath = true;
        // The service reads its adapters from /sys, which shows the network
        // namespace it was mounted in: this runs it with the client side's.
        mServicePrefix = {tool("ip"), "netns", "exec", mClientNs};
        HostileSystem::SetUp();
    }

    void TearDown() override {
        HostileSystem::TearDown();
        mSite.reset();
        if (mOwnNs >= 0) {
            setns(mOwnNs, CLONE_NEWNET);
            close(mOwnNs);
            mOwnNs = -1;
        }
        removeNamespaces();
    }

    void removeNamespaces() {
        for (const std::string& ns : {mClientNs, mWebNs}) {
            if (!ns.empty()) {
                runProgram({tool("ip"), "netns", "del", ns}, {}, {}, 10000);
            }
        }
    }

    std::string siteLog() const { return mSiteDir->path().string() + "/site.log"; }
    std::string filterServerLog() const { return readFile(mCloud->requestLogPath()); }

    // curl as `user`; its output ends with one "status=N" line per URL.
    ProgramResult curl(const LocalUser& user, const std::vector<std::string>& urls,
                       const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv{tool("curl"), "-sS", "--max-time",
                                      "10",         "-w",  "status=%{http_code}\\n"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), urls.begin(), urls.end());
        return runProgram(argv, {}, as(user), 20000);
    }

    std::string rules() {
        return runProgram({tool("iptables-save")}, {}, {}, 10000).output +
               runProgram({tool("ip6tables-save")}, {}, {}, 10000).output;
    }

    void signInAndMapChild() {
        startService();
        ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n"));
        const std::string uidRule = "--uid-owner " + std::to_string(child().uid) + " -j REDIRECT";
        ASSERT_TRUE(eventually([&] { return contains(rules(), uidRule); }))
            << rules() << filterLog();
    }

    std::string mClientNs;
    std::string mWebNs;
    int mOwnNs = -1;
    std::unique_ptr<TempDir> mSiteDir;
    std::unique_ptr<ChildProcess> mSite;
};

TEST_F(PlainHttpTest, MappedUsersRequestsReachTheFilterServerTagged) {
    signInAndMapChild();

    // The page, fetched by the filter server for child 101.
    ProgramResult page = curl(child(), {std::string("http://") + kSite + "/start"});
    EXPECT_EQ(page.exitCode, 0) << page.output;
    EXPECT_TRUE(contains(page.output, "site page /start\nstatus=200")) << page.output;
    std::vector<std::string> tagged = linesWith(filterServerLog(), "GET 10.77.0.2/start 200");
    ASSERT_EQ(tagged.size(), 1u) << filterServerLog();
    EXPECT_TRUE(std::regex_search(tagged[0], std::regex(" child=101 device=[1-9]"))) << tagged[0];
    // The site saw the filter server's request, plain HTTP without a tag.
    EXPECT_EQ(linesWith(readFile(siteLog()), "GET /start HTTP/1.1").size(), 1u)
        << readFile(siteLog());

    // A blocked host: the block page, and the site never hears of it.
    ProgramResult blocked = curl(child(), {"http://blocked.test/"},
                                 {"--resolve", std::string("blocked.test:80:") + kSite});
    EXPECT_TRUE(contains(blocked.output, "blocked.test is blocked for Alice (child 101)"))
        << blocked.output;
    EXPECT_TRUE(contains(blocked.output, "status=403")) << blocked.output;
    EXPECT_TRUE(linesWith(readFile(siteLog()), "blocked").empty());

    // Two requests on one kept-alive connection: each carries its own tag.
    ProgramResult twice = curl(child(), {std::string("http://") + kSite + "/one",
                                         std::string("http://") + kSite + "/two"});
    EXPECT_EQ(countOf(twice.output, "status=200"), 2) << twice.output;
    const std::vector<std::string> one =
        linesWith(filterServerLog(), "GET 10.77.0.2/one 200 child=101");
    const std::vector<std::string> two =
        linesWith(filterServerLog(), "GET 10.77.0.2/two 200 child=101");
    ASSERT_EQ(one.size(), 1u) << filterServerLog();
    ASSERT_EQ(two.size(), 1u) << filterServerLog();
    // "filter <caller> ...": the same proxy connection carried both.
    EXPECT_EQ(one[0].substr(0, one[0].find(" GET")), two[0].substr(0, two[0].find(" GET")));

    // The other user goes straight to the site, untagged.
    ProgramResult straight = curl(other(), {std::string("http://") + kSite + "/other"});
    EXPECT_TRUE(contains(straight.output, "site page /other\nstatus=200")) << straight.output;
    EXPECT_EQ(
        linesWith(readFile(siteLog()), std::string(kClientAddress) + " GET /other HTTP/1.1").size(),
        1u)
        << readFile(siteLog());
    EXPECT_FALSE(contains(filterServerLog(), "/other"));

    // Once the parent unmaps the child, its next request goes straight too.
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 0\n"));
    ASSERT_TRUE(eventually([&] { return !contains(rules(), "--uid-owner"); })) << rules();
    ProgramResult unmapped = curl(child(), {std::string("http://") + kSite + "/after"});
    EXPECT_TRUE(contains(unmapped.output, "site page /after\nstatus=200")) << unmapped.output;
    EXPECT_FALSE(contains(filterServerLog(), "/after"));
    // Nothing reached the site with a tag in front.
    EXPECT_FALSE(contains(readFile(siteLog()), "\\x80")) << readFile(siteLog());
}

TEST_F(PlainHttpTest, RulesCoverMappedUsersOnlyAndLeaveWithTheHost) {
    signInAndMapChild();
    const std::string table = rules();
    EXPECT_FALSE(contains(table, "--uid-owner " + std::to_string(other().uid) + " ")) << table;
    // IPv6 would pass the filter server by: the child's port 80 there is refused.
    EXPECT_TRUE(contains(
        table, "--uid-owner " + std::to_string(child().uid) + " -j REJECT --reject-with tcp-reset"))
        << table;

    // The host stops in order: every rule of its own goes with it.
    ASSERT_EQ(kill(mFilter->pid(), SIGTERM), 0);
    EXPECT_EQ(mFilter->waitForExit(10000), 0);
    EXPECT_FALSE(contains(rules(), "ZORVANE")) << rules();
    ProgramResult straight = curl(child(), {std::string("http://") + kSite + "/after-stop"});
    EXPECT_TRUE(contains(straight.output, "status=200")) << straight.output;
}

TEST_F(PlainHttpTest, KilledHostLeavesMappedUsersClosedAndOthersOpen) {
    signInAndMapChild();
    ASSERT_EQ(kill(mFilter->pid(), SIGKILL), 0);
    mFilter->waitForExit(10000);
    ProgramResult child_ = curl(child(), {std::string("http://") + kSite + "/killed"});
    EXPECT_NE(child_.exitCode, 0) << child_.output;
    EXPECT_FALSE(contains(readFile(siteLog()), "/killed"));
    ProgramResult others = curl(other(), {std::string("http://") + kSite + "/others"});
    EXPECT_TRUE(contains(others.output, "status=200")) << others.output;

    // A new host clears what the killed one left and starts from nothing.
    mFilter = std::make_unique<ChildProcess>(
        std::vector<std::string>{ZORVANE_FILTER_PROGRAM, "--socket", runDir() + "ZorvaneFilter2",
                                 "--log", root() + "/filter2.log"},
        Environment{});
    ASSERT_TRUE(eventually([&] { return socketAccepts(runDir() + "ZorvaneFilter2"); }));
    EXPECT_FALSE(contains(rules(), "--uid-owner")) << rules();
}

}  // namespace
