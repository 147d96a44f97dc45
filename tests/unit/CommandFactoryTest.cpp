#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "zorvane_bytes.h"
#include "commands/CommandFactory.h"
#include "TestSupport.h"
#include "ui/UserInterface.h"

namespace {

std::vector<char> record(uint32_t id, const std::string& rest = std::string()) {
    std::vector<char> bytes(4 + rest.size());
    StoreLe32(bytes.data(), id);
    if (!rest.empty()) {
        std::memcpy(bytes.data() + 4, rest.data(), rest.size());
    }
    return bytes;
}

// Keeps a copy of the buffer it was built from.
class RecordingCommand : public Command {
public:
    RecordingCommand(const char* buffer, int length)
        : Command(buffer), received(buffer, buffer + length) {}
    std::unique_ptr<CommandResponse> execute() override { return newResponse(); }
    std::vector<char> received;
};

std::unique_ptr<Command> buildRecording(const char* buffer, int length) {
    return std::make_unique<RecordingCommand>(buffer, length);
}

RecordingCommand* asRecording(const std::unique_ptr<Command>& command) {
    return dynamic_cast<RecordingCommand*>(command.get());
}

TEST(CommandFactory, TableNamesTheClassOfEveryKnownId) {
    const std::vector<std::pair<uint32_t, std::string>> expected = {
        {DRIVER_READ_HTTPS_HOST_STATUS_CMD, "HttpsCommand"},
        {DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD, "NotifyCommand"},
        {ZORVANE_READ_ALL_SERVER_DOWN_CMD, "ServerDownCommand"},
        {ZORVANE_READ_NOTIFY_REDIRECT_PID, "NotifyRedirectProcessCommand"},
        {UI_READ_N_USERS_CMD, "ChildListCommand"},
        {UI_READ_ENABLE_CMD, "EnableCommand"},
        {UI_READ_DISABLE_CMD, "EnableCommand"},
        {UI_READ_STATUS_CMD, "StatusCommand"},
        {UI_READ_AUTH_CMD, "AuthCommand"},
        {UI_READ_GET_USER_INFO_CMD, "UserInfoCommand"},
        {UI_READ_SET_USER_CMD, "SetUserCommand"},
        {UI_READ_GET_USER_LIST_CMD, "ChildListCommand"},
        {UI_READ_GET_SYS_ZORV_USER_MAP_CMD, "GetSysZorvUserMapCommand"},
        {UI_READ_SET_SYS_ZORV_USER_MAP_CMD, "SetSysZorvUserMapCommand"},
        {UI_READ_AUTH_STATUS_CMD, "AuthStatusCommand"},
        {NOTIFIER_READ_CHECK_UPDATE_CMD, "UpdateCommand"},
        {NOTIFIER_READ_DO_UPDATE_CMD, "UpdateCommand"},
        {NOTIFIER_READ_GET_VERSION, "GetVersionCommand"},
    };
    const auto& table = CommandFactory::defaultTable();
    ASSERT_EQ(table.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(table[i].id, expected[i].first);
        EXPECT_EQ(table[i].className, expected[i].second) << "id " << expected[i].first;
        EXPECT_GE(table[i].minLength, 4);
    }
}

TEST(CommandFactory, IdsWithoutAClassBuildNothing) {
    // Known names without a class, and ids outside the table.
    for (uint32_t id :
         {1u, 4u, 5u, 770u, 771u, 772u, 0u, 8u, 255u, 267u, 767u, 774u, 0xFFFFFFFFu}) {
        LogWatch log;
        std::vector<char> buffer = record(id, std::string(16, 'x'));
        EXPECT_EQ(CommandFactory::create(buffer.data(), static_cast<int>(buffer.size())), nullptr)
            << id;
        EXPECT_TRUE(log.saw("CommandFactory command " + std::to_string(static_cast<int>(id))));
    }
}

TEST(CommandFactory, SpecialIdsLogTheirNames) {
    const std::vector<std::pair<uint32_t, std::string>> cases = {
        {DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD, "DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD\n"},
        {NOTIFIER_READ_CHECK_UPDATE_CMD, "NOTIFIER_READ_CHECK_UPDATE_CMD\n"},
        {NOTIFIER_READ_DO_UPDATE_CMD, "NOTIFIER_READ_CHECK_UPDATE_CMD\n"},
        {NOTIFIER_READ_GET_VERSION, "NOTIFIER_READ_GET_VERSION\n"},
        {ZORVANE_READ_NOTIFY_REDIRECT_PID, "ZORVANE_READ_NOTIFY_REDIRECT_PID\n"},
    };
    for (const auto& c : cases) {
        LogWatch log;
        std::vector<char> buffer = record(c.first, std::string(64, '\0'));
        CommandFactory::create(buffer.data(), static_cast<int>(buffer.size()));
        EXPECT_TRUE(log.saw(c.second)) << c.first;
    }
}

TEST(CommandFactory, BuildsTheTableClassAndKeepsTheIdAsArgumentOne) {
    CommandFactory factory({{UI_READ_ENABLE_CMD, "EnableCommand", 4, buildRecording},
                            {UI_READ_DISABLE_CMD, "EnableCommand", 4, buildRecording}});
    std::vector<char> buffer = record(UI_READ_DISABLE_CMD, "user");
    std::unique_ptr<Command> command =
        factory.build(buffer.data(), static_cast<int>(buffer.size()));
    ASSERT_NE(asRecording(command), nullptr);
    EXPECT_EQ(command->getCommandId(), 258u);
    ASSERT_NE(command->getArgumentForIndex(1), nullptr);
    EXPECT_EQ(command->getArgumentForIndex(1)->size(), 4u);
    EXPECT_EQ(command->getArgumentForIndex(2), nullptr);

    std::unique_ptr<CommandResponse> response = command->execute();
    EXPECT_EQ(response->getStatus(), COMMAND_FAILED);  // never set
    EXPECT_EQ(response->getArgumentForIndex(1)->asUint32(), 258u);
}

TEST(CommandFactory, SiteBlockedRecordBecomesANotificationRecord) {
    CommandFactory factory(
        {{DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD, "NotifyCommand", 8, buildRecording}});
    std::vector<char> buffer = record(3, std::string("\x07\x00\x00\x00www.blocked.example\0", 24));
    const std::vector<char> original = buffer;
    std::unique_ptr<Command> command =
        factory.build(buffer.data(), static_cast<int>(buffer.size()));
    RecordingCommand* built = asRecording(command);
    ASSERT_NE(built, nullptr);
    ASSERT_EQ(built->received.size(), original.size());
    EXPECT_EQ(LoadLe32(built->received.data()), 1u);
    EXPECT_TRUE(std::equal(original.begin() + 4, original.end(), built->received.begin() + 4));
    EXPECT_EQ(buffer, original);  // the caller's buffer is left as it was
}

TEST(CommandFactory, ShortBuffersBuildNothing) {
    CommandFactory factory({{UI_READ_AUTH_CMD, "AuthCommand", 12, buildRecording}});
    std::vector<char> full = record(UI_READ_AUTH_CMD, std::string(8, 'a'));

    for (int length : {0, 1, 3}) {
        LogWatch log;
        EXPECT_EQ(factory.build(full.data(), length), nullptr) << length;
        EXPECT_TRUE(log.saw("CommandFactory buffer too short"));
    }
    EXPECT_EQ(factory.build(nullptr, 12), nullptr);

    LogWatch log;
    EXPECT_EQ(factory.build(full.data(), 11), nullptr);
    EXPECT_TRUE(log.saw("CommandFactory command 260 buffer too short 11 < 12"));
    EXPECT_NE(factory.build(full.data(), 12), nullptr);
}

TEST(CommandResponse, OwnsItsArgumentsAndCountsThem) {
    CommandResponse response;
    EXPECT_EQ(response.getStatus(), COMMAND_FAILED);
    EXPECT_EQ(response.getArgumentCount(), 0);
    response.setArgument(1, ArgumentBlock::fromUint32(263));
    response.setArgument(2, ArgumentBlock::fromUint32(19));
    response.setArgument(3, ArgumentBlock::fromText("3, 1, Bo\n7, 2, Ann\n"));
    response.setArgument(2, ArgumentBlock::fromUint32(20));  // replaces
    response.setStatus(COMMAND_SUCCESS);
    EXPECT_EQ(response.getArgumentCount(), 3);
    EXPECT_EQ(response.getArgumentForIndex(2)->asUint32(), 20u);
    EXPECT_EQ(std::string(response.getArgumentForIndex(3)->data(),
                          response.getArgumentForIndex(3)->size()),
              "3, 1, Bo\n7, 2, Ann\n");
    EXPECT_EQ(response.getArgumentForIndex(4), nullptr);
    EXPECT_EQ(ArgumentBlock::fromText("ab").asUint32(), 0u);  // too short for a number
}

class RecordingUserInterface : public UserInterface {
public:
    RecordingUserInterface() { registerInstance(this); }
    ~RecordingUserInterface() override { registerInstance(nullptr); }
    int sendCommand(Command* command) override {
        sent.push_back(command);
        return 1;
    }
    std::unique_ptr<Command> waitForCommand() override { return nullptr; }
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override {
        response.reset();
        return 1;
    }
    std::vector<Command*> sent;
};

TEST(UICommand, ExecutingSendsItselfToTheDesktopProgram) {
    RecordingUserInterface ui;
    UICommand command;
    std::unique_ptr<CommandResponse> response = command.execute();
    ASSERT_EQ(ui.sent.size(), 1u);
    EXPECT_EQ(ui.sent[0], &command);
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->getArgumentCount(), 0);
    const char* bytes = "not null";
    EXPECT_EQ(command.getCommandBuffer(&bytes), 0);
    EXPECT_EQ(bytes, nullptr);
}

}  // namespace
