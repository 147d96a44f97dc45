#include "NotifierFixtures.h"

namespace {

TEST_F(NotifierRules, DeliversToTheUsersOfTheChildOrToEverybody) {
    setUserMap("S-a, 3\nS-b, 3\nS-c, 4\n");
    users.listening = {"S-a", "S-b", "S-c"};
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 1);
    EXPECT_EQ(receivers(), (std::vector<String>{"S-a", "S-b"}));

    users.received.clear();
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 0), 1);
    EXPECT_EQ(receivers(), (std::vector<String>{"S-a", "S-b", "S-c"}));
}

TEST_F(NotifierRules, AUserWithoutNotifierIsSkippedAFailedWriteStops) {
    setUserMap("S-a, 3\nS-b, 3\nS-c, 3\n");
    users.listening = {"S-a", "S-c"};
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 1);  // the last delivery's result
    EXPECT_EQ(receivers(), (std::vector<String>{"S-a", "S-c"}));

    users.listening = {"S-a", "S-b"};
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 2);  // nobody at S-c

    users.received.clear();
    users.contacted.clear();
    users.listening = {"S-a", "S-b", "S-c"};
    users.failWrite = {"S-b"};
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 0);
    EXPECT_EQ(users.contacted, (std::vector<String>{"S-a", "S-b"}));
    EXPECT_TRUE(log.saw("notifier write length failed err 232"));
}

TEST_F(NotifierRules, EmptyMapAndAChildSendsNothing) {
    users.listening = {"S-a"};
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 7), 0);
    EXPECT_TRUE(users.contacted.empty());
    EXPECT_TRUE(log.saw("WinNotifier::sendNotification user list empty"));
}

TEST_F(NotifierRules, StatusMakesTheLastAnsweringUsersChildCurrent) {
    LogWatch log;
    EXPECT_EQ(notifier.status(), 0);
    EXPECT_TRUE(log.saw("WinNotifier::status user map is empty!"));

    setUserMap("S-a, 3\nS-b, 4\n");
    users.listening = {"S-a"};
    users.answers["S-a"] = 9;
    EXPECT_EQ(notifier.status(), 9);
    EXPECT_EQ(notifier.getCurrentChildId(), 3u);
    ASSERT_EQ(users.received.size(), 1u);
    EXPECT_EQ(LoadLe32(users.received[0].second.data()), static_cast<uint32_t>(NOTIFY_STATUS_CHECK));

    users.listening = {"S-a", "S-b"};
    users.answers["S-b"] = 5;
    EXPECT_EQ(notifier.status(), 5);
    EXPECT_EQ(notifier.getCurrentChildId(), 4u);
    EXPECT_EQ(Settings::instance()->getCurrentChildId(), 4u);
}


struct MessageCase {
    const char* label;
    std::vector<char> record;
    uint32_t child;
    std::vector<char> message;  // empty: nothing is delivered
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.label; }

class NotifyCommandMessage : public testing::TestWithParam<MessageCase> {};

std::vector<char> bytesOf(const std::string& text) { return std::vector<char>(text.begin(), text.end()); }

TEST_P(NotifyCommandMessage, BuildsTheNotifierMessage) {
    FakeChannel::State users;
    TestNotifier notifier(std::make_unique<FakeChannel>(users));
    setUserMap("S-a, 3\nS-b, 4\n");
    users.listening = {"S-a", "S-b"};
    const MessageCase& c = GetParam();
    NotifyCommand command(c.record.data(), static_cast<int>(c.record.size()));
    std::unique_ptr<CommandResponse> response = command.execute();
    EXPECT_EQ(command.getChildId(), c.child);
    EXPECT_EQ(response->getArgumentForIndex(1)->asUint32(), LoadLe32(c.record.data()));
    if (c.message.empty()) {
        EXPECT_TRUE(users.contacted.empty());
        EXPECT_EQ(response->getStatus(), COMMAND_FAILED);
    } else {
        ASSERT_FALSE(users.received.empty());
        EXPECT_EQ(users.received[0].second, c.message);
        EXPECT_EQ(users.received.size(), c.child == 0 ? 2u : 1u);
        EXPECT_EQ(response->getStatus(), COMMAND_SUCCESS);
    }
    setUserMap("");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NotifyCommandMessage,
    testing::Values(
        MessageCase{"SiteBlocked", record(1, 3, std::string("blocked.site\0", 13)), 3,
                    bytesOf(std::string("\x01\0\0\0blocked.site\0", 17))},
        MessageCase{"TextWithoutNulStopsAtTheRecordEnd", record(1, 4, "abc"), 4,
                    bytesOf(std::string("\x01\0\0\0abc\0", 8))},
        MessageCase{"ServersDownIsTheCodeAlone", record(4, 0, ""), 0,
                    bytesOf(std::string("\x04\0\0\0", 4))},
        MessageCase{"AuthFailCarriesEightBytes",
                    record(5, 0, std::string("\x91\x01\0\0\x01\0\0\0", 8)), 0,
                    bytesOf(std::string("\x05\0\0\0\x91\x01\0\0\x01\0\0\0", 12))},
        MessageCase{"DriverError", record(6, 0, std::string("\x05\0\0\0", 4)), 0,
                    bytesOf(std::string("\x06\0\0\0\x05\0\0\0", 8))},
        MessageCase{"NoHotspotIsNeverDelivered", record(7, 0, ""), 0, {}},
        MessageCase{"HotspotModeIsNeverDelivered", record(8, 0, ""), 0, {}},
        MessageCase{"NormalModeIsNeverDelivered", record(9, 0, ""), 0, {}},
        MessageCase{"UnknownCode", record(11, 0, "x"), 0, {}},
        MessageCase{"NegativeCode", record(-1, 0, ""), 0, {}}),
    [](const testing::TestParamInfo<MessageCase>& param) { return std::string(param.param.label); });

TEST(NotifyRedirectProcess, NamesTheProcessOrFallsBackToItsNumber) {
    FakeChannel::State users;
    TestNotifier notifier(std::make_unique<FakeChannel>(users));
    users.listening = {"S-a"};
    setUserMap("S-a, 3\n");

    auto redirect = [&](uint32_t pid) {
        users.received.clear();
        std::vector<char> buffer(12);
        StoreLe32(buffer.data(), ZORVANE_READ_NOTIFY_REDIRECT_PID);
        StoreLe32(buffer.data() + 8, pid);
        NotifyRedirectProcessCommand command(buffer.data(), 12);
        std::unique_ptr<CommandResponse> response = command.execute();
        EXPECT_EQ(response->getArgumentForIndex(1)->asUint32(), 10u);
        EXPECT_EQ(response->getStatus(), COMMAND_SUCCESS);
        return users.received.empty() ? std::string()
                                      : std::string(users.received[0].second.begin() + 4,
                                                    users.received[0].second.end());
    };

    EXPECT_EQ(redirect(0), std::string("\0", 1));  // no process: an empty description
    LogWatch log;
    EXPECT_EQ(redirect(2147483632u), std::string("PID - \"2147483632\"\0", 19));
    EXPECT_TRUE(log.saw("NotifyRedirectProcessCommand::execute OpenProcess failed "));

    const unsigned long self = ProcessInfo::currentProcessId();
    std::string named = redirect(static_cast<uint32_t>(self));
    EXPECT_EQ(named.rfind("name \"", 0), 0u) << named;
    EXPECT_NE(named.find("unit_tests"), std::string::npos) << named;
    setUserMap("");
}

// The real channel against the stand-in notifier's server, in this process.
TEST_F(NotifierTransport, DeliversOverTheRealChannel) {
    User user(ownSid, 7);
    ASSERT_TRUE(user.listening);
    TestNotifier notifier(realChannel());
    setUserMap(String(ownSid + ", 3\n").c_str());

    std::vector<char> blocked = record(1, 3, std::string("example.org\0", 12));
    NotifyCommand command(blocked.data(), static_cast<int>(blocked.size()));
    EXPECT_EQ(command.execute()->getStatus(), COMMAND_SUCCESS);
    EXPECT_EQ(notifier.status(), 7);
    EXPECT_EQ(notifier.getCurrentChildId(), 3u);

    ASSERT_EQ(user.waitForMessages(2), 2u);
    std::lock_guard<std::mutex> lock(user.mutex);
    EXPECT_EQ(describeNotification(user.messages[0]), "site blocked: example.org");
    EXPECT_EQ(describeNotification(user.messages[1]), "status check");
}

TEST_F(NotifierTransport, NobodyListeningIsSkipped) {
    TestNotifier notifier(realChannel());
    setUserMap(String(ownSid + ", 3\n").c_str());
    LogWatch log;
    EXPECT_EQ(notifier.sendNotification(4, "\x04\0\0\0", 3), 2);
    EXPECT_TRUE(log.saw("failed to connect to notifier "));
}


TEST(NotifierCommandAnswer, PayloadsByCommand) {
    auto answer = [](std::vector<std::pair<int, ArgumentBlock>> arguments) {
        CommandResponse response;
        for (auto& argument : arguments) {
            response.setArgument(argument.first, std::move(argument.second));
        }
        std::vector<char> payload = Notifier::commandAnswer(response);
        return std::string(payload.begin(), payload.end());
    };
    // Status 4 with version "2.1": L = 4, 16 bytes.
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(768)},
                      {2, ArgumentBlock::fromUint32(4)},
                      {4, ArgumentBlock::fromText("2.1")}}),
              std::string("\x00\x03\0\0\x04\0\0\0\x04\0\0\0" "2.1\0", 16));
    // A newer version: path;version;information.
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(768)},
                      {2, ArgumentBlock::fromUint32(5)},
                      {4, ArgumentBlock::fromText("C:\\t\\setup.exe")},
                      {6, ArgumentBlock::fromText("2.2")},
                      {8, ArgumentBlock::fromText("fixes")}}),
              std::string("\x00\x03\0\0\x05\0\0\0\x19\0\0\0" "C:\\t\\setup.exe;2.2;fixes\0", 37));
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(769)}, {2, ArgumentBlock::fromUint32(1)}}),
              std::string("\x01\x03\0\0\x01\0\0\0", 8));
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(770)},
                      {2, ArgumentBlock::fromUint32(120)},
                      {3, ArgumentBlock::fromUint32(8000)}}),
              std::string("\x02\x03\0\0\x78\0\0\0\x40\x1f\0\0", 12));
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(773)},
                      {2, ArgumentBlock::fromUint32(6)},
                      {3, ArgumentBlock(std::string("2.1.0\0", 6).data(), 6)}}),
              std::string("\x05\x03\0\0" "2.1.0\0", 10));
    // A length larger than the text is not trusted.
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(773)},
                      {2, ArgumentBlock::fromUint32(600)},
                      {3, ArgumentBlock::fromText("2.1")}}).size(),
              7u);
    EXPECT_EQ(answer({{1, ArgumentBlock::fromUint32(771)}}), "");
}

}  // namespace
