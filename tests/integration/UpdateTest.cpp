// The real service checking the stand-in cloud's update server and
// downloading the files for a notifier on its command channel; the real
// notifier program showing the answers; the daily check announcing a new
// version to the mapped children's users.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "CComand.h"
#include "CReply.h"
#include "CService.h"
#include "CloudProcess.h"
#include "LinuxNotifyFolders.h"
#include "LinuxPipeClient.h"
#include "LinuxProcess.h"
#include "NotifierPlatform.h"
#include "RecordingNotifier.h"
#include "TestSupport.h"
#include "UserNotifierServer.h"
#include "commands/Command.h"
#include "zorvane_bytes.h"

namespace {

namespace fs = std::filesystem;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The same pattern the stand-in cloud fills a "size" file with.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return bytes;
}

// One answer on the command channel: its id and the words after it.
struct Answer {
    uint32_t id = 0;
    std::vector<char> payload;
    uint32_t word(size_t index) const {
        return payload.size() >= 4 * index + 4 ? LoadLe32(payload.data() + 4 * index) : 0;
    }
    std::string text(size_t offset) const {
        std::string all(payload.begin() + static_cast<long>(std::min(offset, payload.size())),
                        payload.end());
        return all.substr(0, all.find('\0'));
    }
};

// A notifier program's connection to the service's command channel.
class CommandChannel {
public:
    explicit CommandChannel(const std::string& runDir) {
        ScopedEnvironment run("ZORVANE_RUN_DIR", runDir);
        int error = 0;
        mPipe = NotifierPlatform::openCommandPipe(10000, error);
    }
    bool open() const { return mPipe != nullptr; }
    bool send(uint32_t id) {
        char frame[8];
        StoreLe32(frame, 4);
        StoreLe32(frame + 4, id);
        int error = 0;
        return mPipe->write(frame, sizeof frame, 10000, error);
    }
    // The next answer; id 0 when none came within the time.
    Answer receive(uint32_t timeoutMs = 60000) {
        Answer answer;
        char count[4];
        int error = 0;
        if (!mPipe->read(count, 4, timeoutMs, error)) {
            return answer;
        }
        answer.payload.resize(LoadLe32(count));
        if (answer.payload.size() < 4 ||
            !mPipe->read(answer.payload.data(), static_cast<uint32_t>(answer.payload.size()),
                         timeoutMs, error)) {
            return answer;
        }
        answer.id = answer.word(0);
        return answer;
    }

private:
    std::unique_ptr<NotifierPlatform::CommandPipeClient> mPipe;
};

// The release the cloud publishes for this machine's platform (amd64).
std::string cloudData(const std::string& release) {
    std::string data = readFile(ZORVANE_DEFAULT_CLOUD_DATA);
    const size_t start = data.find("\"updates\"");
    const size_t end = data.rfind('}');
    data.replace(start, end - start,
                 "\"updates\": { \"amd64\": " + release + ", \"x86\": " + release + " }\n");
    return data;
}

class UpdateSystem : public testing::Test {
protected:
    void SetUp() override { fs::create_directories(mDir.file("run")); }

    void startCloud(const std::string& release) {
        writeFile(mDir.file("cloud.json"), cloudData(release));
        std::vector<std::string> ports;
        if (mCloud) {
            ports = {"--http-port", std::to_string(mCloud->httpPort()), "--https-port",
                     std::to_string(mCloud->httpsPort())};
            mCloud.reset();
        }
        mCloud = std::make_unique<CloudProcess>(mDir.file("cloud"), mDir.file("cloud.json"), ports);
    }

    void startService() {
        Environment environment{"ZORVANE_DATA_DIR=" + mDir.file("data"),
                                "ZORVANE_TEMP_DIR=" + mDir.file("temp"),
                                "ZORVANE_RUN_DIR=" + mDir.file("run")};
        for (const std::string& setting : mCloud->serviceEnvironment()) {
            environment.push_back(setting);
        }
        mService.reset();
        const size_t before = serviceLog().size();
        mService = std::make_unique<ChildProcess>(std::vector<std::string>{ZORVANE_SERVICE_PROGRAM},
                                                  environment);
        // Up once its first pass is over.
        ASSERT_TRUE(eventually(
            [&] {
                const std::string log = serviceLog().substr(before);
                return contains(log, "Service::doCheck() succeeded 10") ||
                       contains(log, "Service::doCheck() failed 10");
            },
            30000))
            << serviceLog();
    }

    std::string serviceLog() const {
        return readFile(mDir.file("temp/zorvane_service1.log")) +
               readFile(mDir.file("temp/zorvane_service.log"));
    }
    std::string download(const std::string& name) const { return mDir.file("temp/" + name); }

    // Every answer up to and with the final 769.
    std::vector<Answer> runDownload() {
        CommandChannel channel(mDir.file("run"));
        EXPECT_TRUE(channel.open());
        EXPECT_TRUE(channel.send(NOTIFIER_READ_DO_UPDATE_CMD));
        std::vector<Answer> answers;
        int doUpdateAnswers = 0;
        while (doUpdateAnswers < 2) {
            Answer answer = channel.receive();
            if (answer.id == 0) {
                ADD_FAILURE() << "no final answer\n" << serviceLog();
                break;
            }
            answers.push_back(answer);
            if (answer.id == NOTIFIER_READ_DO_UPDATE_CMD &&
                (++doUpdateAnswers == 2 || answer.word(1) != 6)) {
                break;  // a run that fails before any data has one answer
            }
        }
        return answers;
    }

    Answer check() {
        CommandChannel channel(mDir.file("run"));
        EXPECT_TRUE(channel.open());
        EXPECT_TRUE(channel.send(NOTIFIER_READ_CHECK_UPDATE_CMD));
        return channel.receive();
    }

    ProgramResult notifierProgram(const std::string& request) {
        return runProgram({ZORVANE_NOTIFIER_PROGRAM, request, "--timeout", "60"},
                          {"ZORVANE_RUN_DIR=" + mDir.file("run")}, {}, 120000);
    }

    TempDir mDir;
    std::unique_ptr<CloudProcess> mCloud;
    std::unique_ptr<ChildProcess> mService;
};

TEST_F(UpdateSystem, CheckAnswersPathVersionAndInfoForAnotherVersionAndTheVersionForTheSame) {
    startCloud(R"({ "version": "3.0", "version_info": "Big fixes", "setup_file": "inst.bin",
                    "files": [ { "name": "inst.bin", "text": "x" } ] })");
    ASSERT_NO_FATAL_FAILURE(startService());
    Answer answer = check();
    ASSERT_EQ(answer.id, NOTIFIER_READ_CHECK_UPDATE_CMD) << serviceLog();
    EXPECT_EQ(answer.word(1), 5u);
    const std::string text = download("inst.bin") + ";3.0;Big fixes";
    EXPECT_EQ(answer.word(2), text.size() + 1);
    EXPECT_EQ(answer.payload.size(), 12 + text.size() + 1);
    EXPECT_EQ(answer.text(12), text);
    const ProgramResult shown = notifierProgram("check-update");
    EXPECT_EQ(shown.exitCode, 0) << shown.output;
    EXPECT_TRUE(contains(shown.output, "update available: version 3.0")) << shown.output;
    EXPECT_TRUE(contains(shown.output, "installer: " + download("inst.bin"))) << shown.output;

    // The installed version, published: 4 with the version only.
    startCloud(R"({ "version": "2.1.0", "files": [] })");
    answer = check();
    ASSERT_EQ(answer.id, NOTIFIER_READ_CHECK_UPDATE_CMD) << serviceLog();
    EXPECT_EQ(answer.word(1), 4u);
    EXPECT_EQ(answer.text(12), "2.1.0");
    EXPECT_EQ(answer.payload.size(), 12u + 6u);

    // An empty body, and no update server at all.
    startCloud(R"({ "version": "2.1.0", "empty_metadata": true })");
    EXPECT_EQ(check().word(1), 2u);
    mCloud->stop();
    EXPECT_EQ(check().word(1), 1u);
}

TEST_F(UpdateSystem, DownloadStartsThenReportsProgressThenTheResultAndKeepsTheFiles) {
    startCloud(R"({ "version": "3.0",
                    "files": [ { "name": "big.bin", "size": 3000000 },
                               { "name": "setup.exe", "text": "#!/bin/sh\necho new\n" } ] })");
    ASSERT_NO_FATAL_FAILURE(startService());
    // Whatever stands under a file's name is replaced, not written through.
    writeFile(mDir.file("elsewhere"), "keep me");
    fs::create_symlink(mDir.file("elsewhere"), download("setup.exe"));
    ASSERT_EQ(check().word(1), 5u);

    const std::vector<Answer> answers = runDownload();
    ASSERT_GE(answers.size(), 3u) << serviceLog();
    EXPECT_EQ(answers.front().id, NOTIFIER_READ_DO_UPDATE_CMD);
    EXPECT_EQ(answers.front().word(1), 6u);
    EXPECT_EQ(answers.back().id, NOTIFIER_READ_DO_UPDATE_CMD);
    EXPECT_EQ(answers.back().word(1), 6u);
    uint32_t lastKilobytes = 0;
    for (size_t i = 1; i + 1 < answers.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(answers[i].id, NOTIFIER_READ_DOWNLOAD_INPROGRESS);
        EXPECT_EQ(answers[i].payload.size(), 12u);
        EXPECT_GE(answers[i].word(1), lastKilobytes);
        EXPECT_LE(answers[i].word(1), 3000u);
        EXPECT_EQ(answers[i].word(2), 8000u);
        lastKilobytes = answers[i].word(1);
    }
    EXPECT_EQ(readFile(download("big.bin")), pattern(3000000));
    EXPECT_FALSE(fs::is_symlink(download("setup.exe")));
    EXPECT_EQ(readFile(download("setup.exe")), "#!/bin/sh\necho new\n");
    EXPECT_EQ(readFile(mDir.file("elsewhere")), "keep me");
    struct stat info {};
    ASSERT_EQ(stat(download("setup.exe").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_mode & 0777, 0644u);  // the user's notifier reads it; nobody else writes it

    // The notifier program shows the run as it goes.
    const ProgramResult shown = notifierProgram("start-update");
    EXPECT_EQ(shown.exitCode, 0) << shown.output;
    EXPECT_TRUE(contains(shown.output, "download started")) << shown.output;
    EXPECT_TRUE(contains(shown.output, "download complete")) << shown.output;
}

TEST_F(UpdateSystem, FailedFileStopsTheRunAndAWrongDigestDeletesTheFile) {
    startCloud(R"({ "version": "3.0",
                    "files": [ { "name": "one.bin", "text": "first" },
                               { "name": "two.bin", "text": "second", "status": 500 },
                               { "name": "three.bin", "text": "third" } ] })");
    ASSERT_NO_FATAL_FAILURE(startService());
    ASSERT_EQ(check().word(1), 5u);
    std::vector<Answer> answers = runDownload();
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().id, NOTIFIER_READ_DO_UPDATE_CMD);
    EXPECT_EQ(answers.back().word(1), 1u);
    EXPECT_EQ(readFile(download("one.bin")), "first");
    EXPECT_FALSE(fs::exists(download("two.bin")));
    EXPECT_FALSE(fs::exists(download("three.bin")));
    EXPECT_FALSE(contains(readFile(mCloud->requestLogPath()), "three.bin"));

    startCloud(R"({ "version": "3.0",
                    "files": [ { "name": "good.bin", "text": "good" },
                               { "name": "setup.exe", "text": "tampered", "wrong_digest": true },
                               { "name": "after.bin", "text": "after" } ] })");
    ASSERT_EQ(check().word(1), 5u);
    answers = runDownload();
    ASSERT_FALSE(answers.empty());
    EXPECT_EQ(answers.back().word(1), 3u);
    EXPECT_EQ(readFile(download("good.bin")), "good");
    EXPECT_FALSE(fs::exists(download("setup.exe")));
    EXPECT_FALSE(fs::exists(download("after.bin")));
    EXPECT_TRUE(contains(serviceLog(), "download digest mismatch " + download("setup.exe")))
        << serviceLog();
}

TEST_F(UpdateSystem, DailyCheckAnnouncesTheVersionToEveryMappedChildsUsers) {
    startCloud(R"({ "version": "3.0", "files": [] })");
    ASSERT_NO_FATAL_FAILURE(startService());
    // The first pass: every position of the check list, in order.
    std::vector<int> positions;
    const std::string log = serviceLog();
    const std::regex line("Service::doCheck\\(\\) (succeeded|failed) ([0-9]+)");
    for (auto it = std::sregex_iterator(log.begin(), log.end(), line);
         it != std::sregex_iterator() && positions.size() < 11; ++it) {
        positions.push_back(std::stoi((*it)[2]));
    }
    EXPECT_EQ(positions, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << log;
    EXPECT_TRUE(contains(log, "Service::checkUpdate 5")) << log;

    // The parent signs in and maps this user to a child and another to none.
    CService client(std::make_unique<LinuxPipeClient>(mDir.file("run/zorvane_pipe")));
    CAuthCommand signIn("parent", "parent123");
    std::unique_ptr<CReply> signedIn = signIn.execute(client);
    ASSERT_NE(signedIn, nullptr);
    ASSERT_EQ(signedIn->number(CReply::kKeyAnswer), 1u) << serviceLog();
    const std::string mine = "S-1-22-1-" + std::to_string(getuid());
    const std::string unfiltered = "S-1-22-1-4242";
    CSetWinZorvUserMapCommand setMap(String(mine + ", 102\n" + unfiltered + ", 0\n"));
    std::unique_ptr<CReply> stored = setMap.execute(client);
    ASSERT_NE(stored, nullptr);
    ASSERT_EQ(stored->status(), 1) << serviceLog();

    // The next start's first pass announces the version.
    ScopedEnvironment runDir("ZORVANE_RUN_DIR", mDir.file("run"));
    ASSERT_TRUE(LinuxNotifyFolders::prepare({String(mine)}));
    RecordingNotifier notifier(mine);
    ASSERT_TRUE(notifier.listening());
    ASSERT_NO_FATAL_FAILURE(startService());
    // Status checks arrive too.
    ASSERT_TRUE(eventually([&] {
        const std::vector<std::string> notices = notifier.notices();
        return std::find(notices.begin(), notices.end(), "new version: 3.0") != notices.end();
    })) << serviceLog();
    const std::string after = serviceLog();
    EXPECT_TRUE(contains(after, "Service::checkUpdate SID " + unfiltered + " childId 0")) << after;
    EXPECT_TRUE(contains(after, "Service::checkUpdate SID " + mine + " childId 102")) << after;
    EXPECT_TRUE(contains(after, "Service::checkUpdate status 1")) << after;
}

}  // namespace
