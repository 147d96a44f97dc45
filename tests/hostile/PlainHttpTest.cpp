// Plain HTTP of a mapped user, for real: the whole system in a network
// namespace of its own (client side) with a web site in a second one. The
// user's port-80 connections go through the filter host's rules and proxy to
// the stand-in cloud's filter server with the tag before each request; other
// users' connections go straight to the site, untouched.

#include "NetworkSystem.h"

namespace {

using PlainHttpTest = NetworkSystem;

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
