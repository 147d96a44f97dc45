// Each channel takes only its own commands: a user cannot unmap itself over
// the notifier channel, nor fake the filter's records on the desktop channel.

#include "HostileSystem.h"

namespace {

class Channels : public HostileSystem {};

TEST_F(Channels, NotifierChannelRefusesTheMapCommand) {
    ASSERT_NO_FATAL_FAILURE(startService());
    const std::string mapped = child().sid() + ", 101\n";
    ASSERT_TRUE(parentSetsMap(mapped));

    const std::string unmap = child().sid() + ", 0\n";
    ProgramResult attack = raw(child(), notifierSocket(),
                               {"frame:265:" + unmap, "frame:265:" + unmap, "word"}, 30000);
    EXPECT_TRUE(contains(attack.output, "connected")) << attack.output;
    EXPECT_FALSE(contains(attack.output, "answer ")) << attack.output;

    EXPECT_TRUE(contains(settingsText(), mapped)) << settingsText();
    ProgramResult map = ctl({"map"});
    EXPECT_EQ(map.exitCode, 0) << map.output;
    EXPECT_TRUE(contains(map.output, mapped)) << map.output;
    // Logged once for the connection, not once per frame.
    const std::string log = serviceLog();
    const std::string refusal = "command 265 not accepted on the notifier channel";
    EXPECT_TRUE(contains(log, refusal)) << log;
    EXPECT_EQ(log.find(refusal), log.rfind(refusal)) << log;
}

TEST_F(Channels, DesktopChannelRefusesTheFiltersRecords) {
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 101\n" + other().sid() + ", 102\n"));

    // A site-blocked record for child 102 and a redirect-process record
    // naming process 1.
    const std::string blocked = "bytes:1c000000" "03000000" "66000000" "00000000"
                                "6576696c2e6578616d706c6500000000";
    const std::string redirect = "bytes:0c000000" "07000000" "01000000" "00000000";
    for (const std::string& record : {blocked, redirect}) {
        ProgramResult attack = raw(child(), uiSocket(), {record, record, "frame:266", "word"});
        EXPECT_TRUE(contains(attack.output, "answer 1")) << attack.output;  // still served
    }

    const std::string log = serviceLog();
    EXPECT_TRUE(contains(log, "command 3 not accepted on the desktop channel")) << log;
    EXPECT_TRUE(contains(log, "command 7 not accepted on the desktop channel")) << log;
    // Once per connection.
    const std::string refusal = "command 3 not accepted";
    EXPECT_EQ(log.find(refusal), log.rfind(refusal)) << log;
    EXPECT_FALSE(contains(log, "DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD")) << log;
    EXPECT_FALSE(contains(log, "ZORVANE_READ_NOTIFY_REDIRECT_PID")) << log;

    ProgramResult status = ctl({"auth-status"});
    EXPECT_EQ(status.exitCode, 0) << status.output;
}

}  // namespace
