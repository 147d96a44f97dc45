#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "CService.h"
#include "CtlCase.h"
#include "LinuxPipe.h"
#include "LinuxPipeClient.h"
#include "LinuxUI.h"
#include "UiTestSupport.h"
#include "ZorvaneCtl.h"

namespace {

constexpr uid_t kNobody = 65534;

TEST(LinuxUiSocket, IsOpenToEveryLocalUser) {
    UiEndpoint endpoint;
    LinuxUI ui{String(endpoint.name())};
    struct stat info {};
    ASSERT_EQ(::stat(endpoint.name().c_str(), &info), 0);  // its folder was created
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0666u);
}

TEST(LinuxUiSocket, AnotherUserIsServed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    UiEndpoint endpoint;
    ScriptedService script;
    script.setAuthStatus(5);
    ServedUi served(endpoint, script);

    const std::string request = frame(UI_READ_AUTH_STATUS_CMD);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, endpoint.name().c_str(), sizeof address.sun_path - 1);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls here: the parent has other threads.
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(10);
        }
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::_exit(11);
        }
        if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
            ::_exit(12);
        }
        char answer[4];
        if (::recv(fd, answer, sizeof answer, MSG_WAITALL) != 4) {
            ::_exit(13);
        }
        ::_exit(LoadLe32(answer) == 5 ? 0 : 14);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(LinuxUiSocket, StaleSocketFileIsReplacedButOtherFilesAreKept) {
    UiEndpoint endpoint;
    {
        // A socket file whose server ended without removing it.
        std::filesystem::create_directories(std::filesystem::path(endpoint.name()).parent_path());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, endpoint.name().c_str(), sizeof address.sun_path - 1);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    {
        ScriptedService script;
        ServedUi served(endpoint, script);
        std::unique_ptr<PipeClient> client = endpoint.connect();
        ASSERT_TRUE(client);
        ASSERT_TRUE(writeAll(*client, frame(UI_READ_AUTH_STATUS_CMD)));
        EXPECT_EQ(readWord(*client), 1);
    }

    // A file that is not a socket is never removed.
    writeFile(endpoint.name(), "not a socket");
    LogWatch log;
    LinuxUI ui{String(endpoint.name())};
    EXPECT_TRUE(log.saw("WinUI::createPipe failed - 17"));
    EXPECT_EQ(readFile(endpoint.name()), "not a socket");
}

TEST(LinuxUiSocket, ClientGoneDuringAnAnswerDoesNotRaiseSigpipe) {
    // SIGPIPE would end this test program.
    UiEndpoint endpoint;
    ScriptedService script;
    ServedUi served(endpoint, script);
    // Larger than the socket buffers: the service is still sending when the
    // client goes.
    script.setMapText(std::string(4 * 1024 * 1024, 'm'));
    {
        std::unique_ptr<PipeClient> client = endpoint.connect();
        ASSERT_TRUE(client);
        ASSERT_TRUE(writeAll(*client, frame(UI_READ_GET_SYS_ZORV_USER_MAP_CMD)));
        std::string start;
        ASSERT_TRUE(readExactly(*client, start, 4));
    }
    std::unique_ptr<PipeClient> next = endpoint.connect();
    ASSERT_TRUE(next);
    ASSERT_TRUE(writeAll(*next, frame(UI_READ_AUTH_STATUS_CMD)));
    EXPECT_EQ(readWord(*next), 1);
}


TEST(Zorvanectl, SubcommandsOverTheRealChannel) {
    UiEndpoint endpoint;
    ScriptedService script;
    ServedUi served(endpoint, script);
    script.setChildText("3, 1, Bo\n7, 2, Ann\n");
    script.setMapText("S-1-22-1-1000, 3\n");
    TempDir dir;
    writeFile(dir.file("map.txt"), "S-1-22-1-1002, 7\n");

    const std::vector<CtlCase> cases = {
        {{"--help"}, "", 0, "Usage: zorvanectl", ""},
        {{"map", "--help"}, "", 0, "Exit status", ""},
        {{}, "", 2, "", "no command given"},
        {{"bogus"}, "", 2, "", "unknown command 'bogus'"},
        {{"signin"}, "", 2, "", "exactly one user name"},
        {{"auth-status", "extra"}, "", 2, "", "takes no arguments"},
        {{"signin", "parent"}, "", 2, "", "no password given"},
        {{"signin", "parent"}, "secret\n", 0, "Signed in as parent.", ""},
        {{"signin", "parent"}, "wrong\r\n", 1, "", "incorrect user name or password (code 403)"},
        {{"auth-status"}, "", 0, "signed in\n", ""},
        {{"children"}, "", 0, "3, 1, Bo\n7, 2, Ann\n", ""},
        {{"map"}, "", 0, "S-1-22-1-1000, 3\n", ""},
        // The service takes a map only after a sign-in on the same connection.
        {{"set-map", "-"}, "S-1-22-1-1001, 7\n", 2, "", "needs --user"},
        {{"set-map", "-"},
         "parent\nsecret\nS-1-22-1-1001, 7\n",
         0,
         "User map stored.",
         "User: ",
         true},
        {{"map"}, "", 0, "S-1-22-1-1001, 7\n", ""},
        {{"set-map", "--user", "parent", dir.file("map.txt")},
         "secret\n",
         0,
         "User map stored.",
         ""},
        {{"map"}, "", 0, "S-1-22-1-1002, 7\n", ""},
        {{"set-map", "--user", "parent", "-"}, "secret\n", 1, "", "did not store the user map"},
        // Checked before it is sent: the line is named and nothing stored.
        {{"set-map", "--user", "parent", "-"},
         "secret\nS-1-22-1-1004, 7\nS-1-22-1-1005, 4\n",
         2,
         "",
         "line 2 of the user map (\"S-1-22-1-1005, 4\"): the account has no child profile 4"},
        {{"set-map", "--user", "parent", "-"}, "secret\nS-1-22-1-1004 7\n", 2, "", "line 1"},
        {{"set-map", "--user", "parent", dir.file("absent.txt")}, "", 2, "", "cannot read"},
        {{"set-map"}, "", 2, "", "needs a file"},
        {{"set-map", "--user"}, "", 2, "", "--user needs a name"},
        {{"set-map", "--user", "parent", "-"}, "wrong\nS-1-22-1-1003, 3\n", 1, "", "code 403"},
        {{"map"}, "", 0, "S-1-22-1-1002, 7\n", ""},
        {{"set-map", "--user", "parent", "-"}, "secret\nS-1-22-1-1003, 3\n", 0, "stored", ""},
        {{"map"}, "", 0, "S-1-22-1-1003, 3\n", ""},
    };
    for (const CtlCase& c : cases) {
        const std::string out = runCtlCase(c, endpoint);
        if (c.out.empty()) {
            EXPECT_EQ(out.find("Usage"), std::string::npos);
        }
    }
    // The sign-in went first on the same connection as the map, then the
    // child list the map was checked against.
    std::vector<uint32_t> ids = script.builtIds();
    ASSERT_GE(ids.size(), 4u);
    EXPECT_EQ(ids[ids.size() - 4], UI_READ_AUTH_CMD);
    EXPECT_EQ(ids[ids.size() - 3], UI_READ_GET_USER_LIST_CMD);
    EXPECT_EQ(ids[ids.size() - 2], UI_READ_SET_SYS_ZORV_USER_MAP_CMD);
}

TEST(Zorvanectl, ProgramFindsTheSocketThroughTheRunFolder) {
    UiEndpoint endpoint;
    const std::string runDir = endpoint.name().substr(0, endpoint.name().rfind('/'));
    const std::string command =
        "ZORVANE_RUN_DIR=" + runDir + " " ZORVANECTL_PATH " auth-status 2>&1 </dev/null";
    auto run = [&](std::string& output) {
        output.clear();
        FILE* pipe = ::popen(command.c_str(), "r");
        if (!pipe) {
            return -1;
        }
        char buffer[256];
        while (size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) {
            output.append(buffer, got);
        }
        int status = ::pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    std::string output;
    EXPECT_EQ(run(output), 3);
    EXPECT_NE(output.find("cannot reach the filtering service at " + endpoint.name()),
              std::string::npos)
        << output;

    ScriptedService script;
    ServedUi served(endpoint, script);
    EXPECT_EQ(run(output), 0);
    EXPECT_EQ(output, "signed in\n");
}

}  // namespace
