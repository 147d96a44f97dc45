// The stand-in notifier program's requests on the command channel, run
// in-process against the service's notifier served on a thread.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "NotifierProgram.h"
#include "NotifierTestSupport.h"

namespace {

struct ProgramRun {
    int exitCode;
    std::string out;
    std::string err;
};

ProgramRun runProgram(const std::vector<std::string>& args, bool terminal = false) {
    std::ostringstream out;
    std::ostringstream err;
    int exitCode = runNotifierProgram(args, NotifierStreams{out, err, terminal});
    return {exitCode, out.str(), err.str()};
}

struct RequestCase {
    std::vector<std::string> args;
    uint32_t updateStatus;
    uint32_t downloadStatus;
    int exitCode;
    std::string out;  // exactly
};

TEST(NotifierProgramRequests, PrintsTheServiceAnswers) {
    CommandEndpoint endpoint(true);
    ServedNotifier served(endpoint);
    const RequestCase cases[] = {
        {{"version"}, 4, 6, 0, "service version 2.1.0\n"},
        {{"check-update"}, 4, 6, 0, "up to date: version 2.1\n"},
        {{"check-update", "--timeout", "5"},
         5,
         6,
         0,
         "update available: version 2.1\ninstaller: /var/tmp/zorvane/setup.exe\n"
         "information: fixes\n"},
        {{"check-update"}, 1, 6, 1, "update check failed: a transfer failed (status 1)\n"},
        {{"start-update"},
         4,
         6,
         0,
         "download started\ndownloaded 120 KB\ndownloaded 250 KB\ndownload complete\n"},
        {{"start-update"},
         4,
         3,
         1,
         "download started\ndownloaded 120 KB\ndownloaded 250 KB\n"
         "download failed: the download failed (status 3)\n"},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + std::to_string(c.updateStatus));
        served.script().updateStatus = c.updateStatus;
        served.script().downloadStatus = c.downloadStatus;
        ProgramRun run = runProgram(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_EQ(run.out, c.out);
    }
}

TEST(NotifierProgramRequests, OnATerminalProgressIsOneBarRedrawnInPlace) {
    CommandEndpoint endpoint(true);
    ServedNotifier served(endpoint);
    served.script().downloadStatus = 6;
    ProgramRun run = runProgram({"start-update"}, true);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    // 120 and 250 of 8000 KB on a 30-wide bar.
    EXPECT_EQ(run.out,
              "download started\n"
              "\r[                              ] 120 of 8000 KB"
              "\r[                              ] 250 of 8000 KB\n"
              "download complete\n");
}

TEST(NotifierProgramRequests, BarFillsWithTheShareOfTheTotal) {
    const struct {
        uint32_t kilobytes, total;
        size_t filled;
    } cases[] = {{0, 8000, 0}, {4000, 8000, 15}, {7999, 8000, 29}, {9000, 8000, 30}, {5, 0, 0}};
    for (const auto& c : cases) {
        const std::string bar = progressBar(c.kilobytes, c.total);
        EXPECT_EQ(bar.substr(0, 32), "[" + std::string(c.filled, '#') +
                                         std::string(30 - c.filled, ' ') + "]")
            << c.kilobytes << " of " << c.total;
    }
}

TEST(NotifierProgramRequests, AServiceWithoutUpdateSupportSaysSoAtOnce) {
    CommandEndpoint endpoint(true);
    ServedNotifier served(endpoint);
    served.script().updateSupport = false;
    const struct {
        const char* command;
        const char* out;
    } cases[] = {
        {"check-update",
         "update check failed: the filtering service (version 2.1.0) has no update support yet\n"},
        {"start-update",
         "download failed: the filtering service (version 2.1.0) has no update support yet\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        // Long enough that a wait for the answer would show.
        ProgramRun run = runProgram({c.command, "--timeout", "60"});
        EXPECT_EQ(run.exitCode, NOTIFIER_EXIT_FAILED);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err, "");
    }
    // The channel goes on serving.
    EXPECT_EQ(runProgram({"version"}).out, "service version 2.1.0\n");
}

TEST(NotifierProgramRequests, NoServiceOrNoAnswerIsReportedClearly) {
    CommandEndpoint endpoint(true);
    ProgramRun absent = runProgram({"version"});
    EXPECT_EQ(absent.exitCode, NOTIFIER_EXIT_UNREACHABLE);
    EXPECT_NE(absent.err.find("cannot reach the filtering service at "), std::string::npos)
        << absent.err;

    ServedNotifier served(endpoint);
    served.script().holdDownload();
    ProgramRun silent = runProgram({"start-update", "--timeout", "1"});
    EXPECT_EQ(silent.exitCode, NOTIFIER_EXIT_UNREACHABLE);
    EXPECT_EQ(silent.err, "zorvane_notifier: no answer from the filtering service within 1 s (answer "
                          "timed out)\n");
}

TEST(NotifierProgramRequests, AConnectThatNeverCompletesTimesOut) {
    CommandEndpoint endpoint(true);
    auto busy = endpoint.occupy();
    ASSERT_TRUE(busy);
    ProgramRun blocked = runProgram({"version", "--timeout", "1"});
    EXPECT_EQ(blocked.exitCode, NOTIFIER_EXIT_UNREACHABLE);
    EXPECT_EQ(blocked.err, "zorvane_notifier: no connection to the filtering service at " +
                               endpoint.name() + " within 1 s (connect timed out)\n");
}

TEST(NotifierProgramUsage, HelpAndMisuse) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;  // a part of standard error; empty: none at all
    } cases[] = {
        {{"--help"}, 0, ""},
        {{"version", "-h"}, 0, ""},
        {{"bogus"}, 2, "unknown command 'bogus'"},
        {{"version", "--timeout"}, 2, "--timeout needs a number"},
        {{"check-update", "--timeout", "0"}, 2, "--timeout needs a number"},
        {{"version", "extra"}, 2, "unknown option 'extra' for version"},
        {{"--count", "0"}, 2, "--count needs a number of at least 1"},
        {{"serve", "--record"}, 2, "--record needs a value"},
        {{"--verbose"}, 2, "unknown option '--verbose' for serve"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ProgramRun run = runProgram(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        if (c.err.empty()) {
            EXPECT_EQ(run.out.rfind("Usage: zorvane_notifier", 0), 0u) << run.out;
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("Try 'zorvane_notifier --help'"), std::string::npos);
        }
    }
}

}  // namespace
