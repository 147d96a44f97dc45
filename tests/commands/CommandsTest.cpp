// The profile and mapping commands built by the real command table and
// served over the real UI channel, on every platform (no cloud, no filter:
// the parent's stored password decides a sign-in check when the cloud cannot
// be reached, and a stand-in sign-in marks a connection).

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "zorvane_bytes.h"
#include "CComand.h"
#include "CService.h"
#include "cloud/Authentication.h"
#include "commands/CommandFactory.h"
#include "CommandTestSupport.h"
#include "notifier/Notifier.h"
#include "commands/ProfileCommands.h"
#include "commands/ServerDownCommand.h"
#include "commands/StatusCommands.h"
#include "TestSupport.h"

namespace {

ChildInfo child(uint32_t id, uint32_t level, const char* name) {
    ChildInfo info;
    info.setId(id);
    info.setLevel(level);
    info.setName(name);
    info.setSessionKey("key");
    return info;
}

std::string mapText() {
    String text;
    commandSettings().getSysZorvUserMap(text);
    return text;
}

class CommandsOverPipe : public testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }

    UiEndpoint endpoint;
};

TEST_F(CommandsOverPipe, ChildListIsAscendingTextAndN_UsersIsItsByteLength) {
    ServedCommands served(endpoint);
    commandSettings().setChildList({{7, child(7, 2, "Ann")}, {3, child(3, 1, "Bo")}});
    std::unique_ptr<PipeClient> client = endpoint.connect();
    ASSERT_TRUE(client);

    LogWatch log;
    ASSERT_TRUE(writeAll(*client, frame(UI_READ_GET_USER_LIST_CMD, std::string(4, '\0')) +
                                      frame(UI_READ_N_USERS_CMD)));
    EXPECT_EQ(readWord(*client), 19);
    std::string text;
    ASSERT_TRUE(readExactly(*client, text, 19));
    EXPECT_EQ(text, "3, 1, Bo\n7, 2, Ann\n");
    EXPECT_EQ(readWord(*client), 19);  // nothing else came between the answers
    EXPECT_TRUE(log.saw("child List 3, 1, Bo\n7, 2, Ann\n"));

    // No profiles: both answer 0, and no text bytes follow.
    commandSettings().setChildList({});
    ASSERT_TRUE(writeAll(*client, frame(UI_READ_GET_USER_LIST_CMD, std::string(4, '\0')) +
                                      frame(UI_READ_N_USERS_CMD)));
    EXPECT_EQ(readWord(*client), 0);
    EXPECT_EQ(readWord(*client), 0);
}

TEST_F(CommandsOverPipe, UserInfoGetsNoAnswerAndTheNextRequestIsServed) {
    ServedCommands served(endpoint);
    commandSettings().SetUserAuthStatus(403);
    std::unique_ptr<PipeClient> client = endpoint.connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(
        writeAll(*client, frame(UI_READ_GET_USER_INFO_CMD) + frame(UI_READ_AUTH_STATUS_CMD) +
                              frame(UI_READ_GET_USER_INFO_CMD) + frame(UI_READ_AUTH_STATUS_CMD)));
    EXPECT_EQ(readWord(*client), 403);
    EXPECT_EQ(readWord(*client), 403);
}

TEST_F(CommandsOverPipe, AuthStatusMapAndModuleStatusWithoutAFilter) {
    ServedCommands served(endpoint);
    CService service(endpoint.makeClient());
    commandSettings().populateUserMapFromString("S-1-22-1-1000, 3\nS-1-22-1-1001, 0\n");

    LogWatch log;
    for (int status : {0, 1, 404}) {
        commandSettings().SetUserAuthStatus(status);
        std::unique_ptr<CReply> reply = CAuthStatusCommand().execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), static_cast<uint32_t>(status));
    }
    EXPECT_TRUE(log.saw("AuthStatusCommand::execute() auth status 404"));

    std::unique_ptr<CReply> reply = CGetWinZorvUserMapCommand().execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text(CReply::kKeyAnswer), "S-1-22-1-1000, 3\nS-1-22-1-1001, 0\n");
    EXPECT_TRUE(log.saw("GetSysZorvUserMapCommand::execute 34 34 \nS-1-22-1-1000, 3\n"));

    // No filter to ask: neither on nor off, and the connection stays in step.
    reply = CStatusCommand().execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->number(CReply::kKeyAnswer), UI_STATUS_FILTER_NO_ANSWER);
    reply = CAuthStatusCommand().execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->number(CReply::kKeyAnswer), 404u);
}

TEST_F(CommandsOverPipe, MapChangesNeedASignInOnTheSameConnection) {
    ServedCommands served(endpoint, withStubSignIn());
    storeAccount();
    commandSettings().populateUserMapFromString("S-1-22-1-1000, 3\n");
    const std::string newMap = "S-1-22-1-1001, 4\n";
    {
        CService service(endpoint.makeClient());
        LogWatch log;
        std::unique_ptr<CReply> reply = CSetWinZorvUserMapCommand(String(newMap)).execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), 0u);
        EXPECT_TRUE(log.saw("UI command 265 refused - no sign-in on this connection"));
        ASSERT_TRUE(writeAll(service.pipe(), frame(UI_READ_SET_USER_CMD, lengthWord(7))));
        EXPECT_EQ(readWord(service.pipe()), 0);
        EXPECT_TRUE(log.saw("UI command 262 refused - no sign-in on this connection"));
        EXPECT_FALSE(log.saw("SetSysZorvUserMapCommand"));

        // A failed sign-in does not open the door.
        reply = CAuthCommand("parent", "guess").execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), 403u);
        reply = CSetWinZorvUserMapCommand(String(newMap)).execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(log.count("UI command 265 refused"), 2);
        EXPECT_EQ(mapText(), "S-1-22-1-1000, 3\n");
        EXPECT_EQ(readFile(settingsFile()), "");

        reply = CAuthCommand("parent", "secret").execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), 1u);
        // Taken and saved; no filter to give it to, so the answer is 0.
        reply = CSetWinZorvUserMapCommand(String(newMap)).execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), 0u);
        EXPECT_EQ(mapText(), newMap);
        EXPECT_NE(readFile(settingsFile()).find("\n" + newMap + "\n"), std::string::npos);
        EXPECT_TRUE(log.saw("SetSysZorvUserMapCommand setFilterDevice failed"));
        EXPECT_TRUE(log.saw("initializeDriver Failed"));

        // The set-user request passes the gate and is refused by its command.
        ASSERT_TRUE(writeAll(service.pipe(), frame(UI_READ_SET_USER_CMD, lengthWord(7))));
        EXPECT_EQ(readWord(service.pipe()), 0);
        EXPECT_TRUE(log.saw("SetUserCommand childId 7 refused - the request names no user"));
    }
    // The sign-in ended with its connection. (The next client waits while
    // the service frees the previous one's pipe instance.)
    std::unique_ptr<PipeClient> pipe = endpoint.connect();
    ASSERT_TRUE(pipe);
    CService next(std::move(pipe));
    LogWatch log;
    std::unique_ptr<CReply> reply = CSetWinZorvUserMapCommand("S-1-22-1-1002, 5\n").execute(next);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->number(CReply::kKeyAnswer), 0u);
    EXPECT_TRUE(log.saw("UI command 265 refused - no sign-in on this connection"));
    EXPECT_EQ(mapText(), newMap);
}

TEST_F(CommandsOverPipe, SignedInMapIsSavedButNotSentWhileFilteringIsOffOrUnreadable) {
    ServedCommands served(endpoint, withStubSignIn());
    storeAccount();
    CService service(endpoint.makeClient());
    ASSERT_TRUE(CAuthCommand("parent", "secret").execute(service));

    commandSettings().setFilterEnabled(false);
    LogWatch log;
    std::unique_ptr<CReply> reply =
        CSetWinZorvUserMapCommand("S-1-22-1-1001, 4\n").execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->number(CReply::kKeyAnswer), 0u);
    EXPECT_EQ(mapText(), "S-1-22-1-1001, 4\n");
    const std::string saved = readFile(settingsFile());
    EXPECT_NE(saved.find("\nS-1-22-1-1001, 4\n\n"), std::string::npos) << saved;
    EXPECT_TRUE(log.saw("Filter is disabled"));
    EXPECT_TRUE(log.saw("initializeDriver Failed"));
    EXPECT_FALSE(log.saw("setFilterDevice failed"));  // the filter was not asked

    // A text the settings cannot take changes and saves nothing.
    writeFile(settingsFile(), "untouched");
    reply = CSetWinZorvUserMapCommand("").execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->number(CReply::kKeyAnswer), 0u);
    EXPECT_EQ(mapText(), "S-1-22-1-1001, 4\n");
    EXPECT_EQ(readFile(settingsFile()), "untouched");
}

// The settings file's folder replaced by a file: nothing can be saved
// there until the object goes and the folder is back.
class UnwritableSettings {
public:
    UnwritableSettings() : mFolder(std::filesystem::path(settingsFile()).parent_path().string()) {
        std::filesystem::rename(mFolder, mFolder + ".away");
        writeFile(mFolder, "not a folder");
    }
    ~UnwritableSettings() {
        std::filesystem::remove(mFolder);
        std::filesystem::rename(mFolder + ".away", mFolder);
    }
    UnwritableSettings(const UnwritableSettings&) = delete;
    UnwritableSettings& operator=(const UnwritableSettings&) = delete;

private:
    std::string mFolder;
};

TEST_F(CommandsOverPipe, ChangesThatCannotBeSavedAnswerFailureAndTheMapStaysAsItWas) {
    ServedCommands served(endpoint);  // the real sign-in: the stored digest decides
    storeAccount();
    commandSettings().setChildList({{3, child(3, 1, "Bo")}, {4, child(4, 2, "Al")}});
    commandSettings().populateUserMapFromString("S-1-22-1-1000, 3\n");
    CService service(endpoint.makeClient());
    std::unique_ptr<CReply> reply = CAuthCommand("parent", "parent123").execute(service);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->number(CReply::kKeyAnswer), 1u);
    const std::string saved = readFile(settingsFile());
    ASSERT_NE(saved.find("\nS-1-22-1-1000, 3\n\n"), std::string::npos) << saved;
    {
        UnwritableSettings unwritable;
        LogWatch log;
        reply = CSetWinZorvUserMapCommand("S-1-22-1-1001, 4\n").execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), 0u);
        EXPECT_EQ(mapText(), "S-1-22-1-1000, 3\n");
        EXPECT_TRUE(log.saw("Settings::saveToStore() failed")) << log.text();
        EXPECT_TRUE(log.saw("SetSysZorvUserMapCommand map not saved - nothing changed"));
        EXPECT_FALSE(log.saw("setFilterDevice failed"));  // the filter was not asked

        // The password was right: the answer says the sign-in was not saved,
        // and it does not count as a guess.
        reply = CAuthCommand("parent", "parent123").execute(service);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), static_cast<uint32_t>(AUTH_STATUS_NOT_SAVED));
        EXPECT_TRUE(log.saw("AuthCommand::execute() AUTH_STATUS_NOT_SAVED"));
        EXPECT_FALSE(log.saw("password check failed"));
    }
    EXPECT_EQ(readFile(settingsFile()), saved);

    // Once the file can be written, the same map is taken and saved (no
    // filter here, so the answer stays 0).
    reply = CSetWinZorvUserMapCommand("S-1-22-1-1001, 4\n").execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(mapText(), "S-1-22-1-1001, 4\n");
    EXPECT_NE(readFile(settingsFile()).find("\nS-1-22-1-1001, 4\n\n"), std::string::npos);
}

// Without a reachable cloud the stored password digest decides.
TEST_F(CommandsOverPipe, EnableAndDisableOnlyCheckThePassword) {
    ServedCommands served(endpoint);
    storeAccount("http://127.0.0.1:9/cgi-bin/auth");  // nobody listens there
    CService service(endpoint.makeClient());

    struct Case {
        bool enable;
        const char* user;
        const char* password;
        uint32_t answer;
    };
    const Case cases[] = {
        {false, "parent", "parent123", 1},    {true, "parent", "parent123", 1},
        {false, "parent", "hunter2", 0},      {true, "parent", "hunter2", 0},
        {false, "neighbour", "parent123", 0},
    };
    for (bool filtering : {true, false}) {
        commandSettings().setFilterEnabled(filtering);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.enable ? "enable " : "disable ") + c.user + "/" +
                         c.password + (filtering ? " while filtering" : " while not filtering"));
            LogWatch log;
            std::unique_ptr<CReply> reply =
                CEnableCommand(c.user, c.password, c.enable).execute(service);
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->number(CReply::kKeyAnswer), c.answer);
            EXPECT_EQ(commandSettings().IsFilterEnabled(), filtering);
            EXPECT_TRUE(log.saw(std::string("EnableCommand::execute ") + c.user + "\n"));
            EXPECT_FALSE(log.saw(c.password));
        }
    }
    EXPECT_EQ(readFile(settingsFile()), "");  // nothing saved
}

std::vector<char> serverDownRecord(uint32_t address, uint32_t altAddress, uint16_t port,
                                   uint16_t altPort, size_t length = 20) {
    std::vector<char> record(length, '\0');
    StoreLe32(record.data(), ZORVANE_READ_ALL_SERVER_DOWN_CMD);
    if (length >= 20) {
        StoreLe32(record.data() + 8, address);
        StoreLe32(record.data() + 12, altAddress);
        StoreLe16(record.data() + 16, port);
        StoreLe16(record.data() + 18, altPort);
    }
    return record;
}

class CommandTable : public testing::Test {
protected:
    void SetUp() override { resetSettings(); }
    void TearDown() override { resetSettings(); }
};

TEST_F(CommandTable, RecordsShorterThanTheirFieldsBuildNothing) {
    std::vector<char> down = serverDownRecord(0x7F000001, 0x7F000002, 8080, 60443);
    EXPECT_EQ(CommandFactory::create(down.data(), 19), nullptr);
    LogWatch log;
    std::unique_ptr<Command> built = CommandFactory::create(down.data(), 20);
    auto* serverDown = dynamic_cast<ServerDownCommand*>(built.get());
    ASSERT_NE(serverDown, nullptr);
    EXPECT_EQ(serverDown->getAddress(), 0x7F000001u);
    EXPECT_EQ(serverDown->getAltAddress(), 0x7F000002u);
    EXPECT_EQ(serverDown->getPort(), 8080);
    EXPECT_EQ(serverDown->getAltPort(), 60443);
    EXPECT_TRUE(log.saw("ServerDownCommand::execute 2130706433 8080 2130706434 60443\n"));

    std::vector<char> setUser(8, '\0');
    StoreLe32(setUser.data(), UI_READ_SET_USER_CMD);
    StoreLe32(setUser.data() + 4, 7);
    EXPECT_EQ(CommandFactory::create(setUser.data(), 7), nullptr);
    built = CommandFactory::create(setUser.data(), 8);
    ASSERT_NE(dynamic_cast<SetUserCommand*>(built.get()), nullptr);
    EXPECT_EQ(dynamic_cast<SetUserCommand*>(built.get())->getChildId(), 7u);
}

TEST_F(CommandTable, EnableRequestsKeepTheirKindAndCredentials) {
    struct Case {
        uint32_t id;
        std::string body;
        bool enable;
        const char* user;
        const char* password;
    };
    const Case cases[] = {
        {UI_READ_ENABLE_CMD, std::string("parent,pa,ss\0", 13), true, "parent", "pa,ss"},
        {UI_READ_DISABLE_CMD, std::string("parent,x\0junk", 13), false, "parent", "x"},
        {UI_READ_DISABLE_CMD, "parent,unterminated", false, "parent", "unterminated"},
        {UI_READ_ENABLE_CMD, std::string("nocomma\0", 8), true, "", ""},
        {UI_READ_ENABLE_CMD, "", true, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        std::string request = lengthWord(c.id) + c.body;
        std::unique_ptr<Command> built =
            CommandFactory::create(request.data(), static_cast<int>(request.size()));
        auto* enable = dynamic_cast<EnableCommand*>(built.get());
        ASSERT_NE(enable, nullptr);
        EXPECT_EQ(enable->getCommandId(), c.id);
        EXPECT_EQ(enable->isEnable(), c.enable);
        EXPECT_EQ(enable->getUser(), c.user);
        EXPECT_EQ(enable->getPassword(), c.password);
    }
}

TEST_F(CommandTable, VersionAnswerCarriesTheTextWithItsNul) {
    LogWatch log;
    std::string request = lengthWord(NOTIFIER_READ_GET_VERSION);
    std::unique_ptr<Command> built = CommandFactory::create(request.data(), 4);
    ASSERT_NE(dynamic_cast<GetVersionCommand*>(built.get()), nullptr);
    std::unique_ptr<CommandResponse> response = built->execute();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->getStatus(), COMMAND_SUCCESS);
    EXPECT_EQ(response->getArgumentForIndex(2)->asUint32(), 6u);
    const std::vector<char> payload = Notifier::commandAnswer(*response);
    EXPECT_EQ(std::string(payload.begin(), payload.end()),
              lengthWord(NOTIFIER_READ_GET_VERSION) + std::string("2.1.0\0", 6));
    EXPECT_TRUE(log.saw("GetVersionCommand::execute version 2.1.0\n"));
}

TEST_F(CommandTable, ServerDownWithoutServersToCompareChangesNothing) {
    std::vector<char> down = serverDownRecord(0x7F000001, 0, 80, 60443);
    std::unique_ptr<Command> built = CommandFactory::create(down.data(), 20);
    ASSERT_TRUE(built);
    LogWatch log;
    std::unique_ptr<CommandResponse> response = built->execute();
    ASSERT_TRUE(response);
    EXPECT_EQ(response->getStatus(), COMMAND_FAILED);
    EXPECT_TRUE(log.saw("ServerDownCommand::execute\n"));
    EXPECT_TRUE(log.saw("ServerDownCommand no connection info"));
}

}  // namespace
