#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "zorvane_bytes.h"
#include "CComand.h"
#include "CService.h"
#include "TestSupport.h"
#include "UiLogger.h"

namespace {

std::string bytesOf(const std::vector<char>& body) {
    return std::string(body.begin(), body.end());
}

std::string word(uint32_t value) {
    std::string bytes(4, '\0');
    StoreLe32(&bytes[0], value);
    return bytes;
}

TEST(ClientRequest, BodiesCarryTheIdAndTheArguments) {
    using namespace std::string_literals;
    CAuthCommand auth{"parent@example.org", "pa,ss"};
    EXPECT_EQ(bytesOf(auth.buildRequest()), word(260) + "parent@example.org,pa,ss\0"s);

    CAuthCommand emptyPassword{"ann", ""};
    std::vector<char> body = emptyPassword.buildRequest();
    EXPECT_EQ(body.size(), 4u + 3u + 2u);
    EXPECT_EQ(bytesOf(body), word(260) + "ann,\0"s);

    // The dialogs set the arguments one by one; the same body results.
    CAuthCommand bySetArgument;
    bySetArgument.setArgument(1, ArgumentBlock::fromText("ann"));
    bySetArgument.setArgument(2, ArgumentBlock::fromText(""));
    EXPECT_EQ(bySetArgument.buildRequest(), body);

    CAuthCommand nothingSet;
    EXPECT_EQ(bytesOf(nothingSet.buildRequest()), word(260) + ",\0"s);

    EXPECT_EQ(bytesOf(CAuthStatusCommand().buildRequest()), word(266));
    EXPECT_EQ(bytesOf(CGetWinZorvUserMapCommand().buildRequest()), word(264));
    EXPECT_EQ(bytesOf(CGetChildUserListCommand().buildRequest()), word(263) + word(0));

    CSetWinZorvUserMapCommand setMap{"S-1-22-1-1000, 3\n"};
    EXPECT_EQ(bytesOf(setMap.buildRequest()), word(265) + "S-1-22-1-1000, 3\n\0"s);
    EXPECT_EQ(bytesOf(CSetWinZorvUserMapCommand{""}.buildRequest()), word(265) + "\0"s);

    EXPECT_EQ(bytesOf(CEnableCommand("ann", "pa,ss", true).buildRequest()),
              word(257) + "ann,pa,ss\0"s);
    EXPECT_EQ(bytesOf(CEnableCommand("ann", "", false).buildRequest()), word(258) + "ann,\0"s);
    EXPECT_EQ(bytesOf(CStatusCommand().buildRequest()), word(259));
    EXPECT_EQ(bytesOf(CNUsersCommand().buildRequest()), word(256));
}

TEST(ClientReply, TextKeepsOneAddedNul) {
    CReply reply;
    EXPECT_EQ(reply.status(), 0);
    EXPECT_EQ(reply.value(CReply::kKeyAnswer), nullptr);
    EXPECT_EQ(reply.number(CReply::kKeyAnswer, 9), 9u);
    EXPECT_EQ(reply.text(CReply::kKeyAnswer), "");

    const char text[] = "3, 1, Bo\n";  // with its NUL, as the connection stores it
    reply.setValue(CReply::kKeyAnswer, ArgumentBlock(text, sizeof text));
    EXPECT_EQ(reply.text(CReply::kKeyAnswer), "3, 1, Bo\n");
}

// A pipe whose answers arrive a few bytes at a time, as a byte stream may
// deliver them; records what was written.
class TricklePipe : public PipeClient {
public:
    explicit TricklePipe(std::string answer, bool opens = true)
        : mAnswer(answer.begin(), answer.end()), mOpens(opens) {}
    bool open() override {
        ++openCalls;
        mOpen = mOpen || mOpens;
        return mOpen;
    }
    bool isOpen() const override { return mOpen; }
    bool write(const char* data, uint32_t length) override {
        writes.emplace_back(data, length);
        return writesSucceed;
    }
    uint32_t read(char* buffer, uint32_t length) override {
        uint32_t count = 0;
        while (count < length && count < 3 && !mAnswer.empty()) {
            buffer[count++] = mAnswer.front();
            mAnswer.pop_front();
        }
        return count;
    }
    String name() const override { return "trickle"; }
    int lastError() const override { return 0; }

    int openCalls = 0;
    bool writesSucceed = true;
    std::vector<std::string> writes;

private:
    std::deque<char> mAnswer;
    bool mOpens;
    bool mOpen = false;
};

TEST(ClientService, SendsLengthThenBodyAndReadsAnswersThatComeInPieces) {
    const std::string map = "S-1-5-21-1-2-3-1001, 7\nS-1-5-21-1-2-3-1002, 0\n";
    auto pipe =
        std::make_unique<TricklePipe>(word(static_cast<uint32_t>(map.size())) + map + word(403));
    TricklePipe& raw = *pipe;
    CService service(std::move(pipe));

    std::unique_ptr<CReply> reply = CGetWinZorvUserMapCommand().execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status(), 1);
    EXPECT_EQ(reply->number(CReply::kKeyCommandId), 264u);
    EXPECT_EQ(reply->text(CReply::kKeyAnswer), map);
    EXPECT_EQ(reply->value(CReply::kKeyAnswer)->size(), map.size() + 1);
    EXPECT_EQ(raw.writes, (std::vector<std::string>{word(4), word(264)}));

    reply = CAuthCommand("a", "b").execute(service);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->number(CReply::kKeyAnswer), 403u);
    EXPECT_TRUE(service.connected());
}

TEST(ClientService, ReplyRulesById) {
    {
        // Ids outside the desktop program's range and 261 read nothing.
        CService service(std::make_unique<TricklePipe>(word(1)));
        EXPECT_FALSE(service.readReply(255));
        EXPECT_FALSE(service.readReply(267));
        EXPECT_FALSE(service.readReply(261));
        std::unique_ptr<CReply> reply = service.readReply(266);  // the word is still there
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->number(CReply::kKeyAnswer), 1u);
    }
    {
        // A text answer that ends early: a reply with status 0 and no text.
        CService service(std::make_unique<TricklePipe>(word(10) + "abc"));
        std::unique_ptr<CReply> reply = service.readReply(263);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status(), 0);
        EXPECT_EQ(reply->value(CReply::kKeyAnswer), nullptr);
    }
    {
        // A length no real answer has is not allocated.
        CService service(std::make_unique<TricklePipe>(word(0xFFFFFFFF)));
        std::unique_ptr<CReply> reply = service.readReply(264);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status(), 0);
    }
    {
        // The integer answer is cut short: no reply.
        CService service(std::make_unique<TricklePipe>("\x01\x00"));
        EXPECT_FALSE(service.readReply(265));
    }
}

TEST(ClientService, FailedOpenOrWriteLeavesItNotConnected) {
    auto closed = std::make_unique<TricklePipe>(word(1), false);
    TricklePipe& rawClosed = *closed;
    CService unreachable(std::move(closed));
    EXPECT_FALSE(CAuthStatusCommand().execute(unreachable));
    EXPECT_FALSE(unreachable.connected());
    EXPECT_FALSE(CAuthStatusCommand().execute(unreachable));
    EXPECT_EQ(rawClosed.openCalls, 2);  // each send tries to open again
    EXPECT_TRUE(rawClosed.writes.empty());

    auto broken = std::make_unique<TricklePipe>(word(1));
    broken->writesSucceed = false;
    CService service(std::move(broken));
    EXPECT_FALSE(CAuthStatusCommand().execute(service));
    EXPECT_FALSE(service.connected());
}

TEST(UiLogger, WritesStampedEntriesAtOrAboveTheLevel) {
    TempDir dir;
    writeFile(dir.file("level"), "1\n");
    testing::internal::CaptureStdout();
    {
        UiLogger logger(dir.file("UI.log"), dir.file("level"));
        EXPECT_EQ(logger.level(), 1);
        logger.out(0, "hidden %d\n", 1);
        logger.out(1, "shown %s\n", "warn");
        logger.out(2, "shown %d\n", 2);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "log level 1\n");
    std::string log = readFile(dir.file("UI.log"));
    EXPECT_EQ(log.find("hidden"), std::string::npos);
    size_t first = log.find(" shown warn");
    ASSERT_NE(first, std::string::npos);
    // "Thu Dec 10 02:46:02 2026" then one blank.
    EXPECT_EQ(first, 24u);
    EXPECT_NE(log.find(" shown 2"), std::string::npos);

    // No level file: every entry; the log is appended to, not replaced.
    testing::internal::CaptureStdout();
    {
        UiLogger logger(dir.file("UI.log"), "");
        logger.out(0, "again\n");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "log level 0\n");
    log = readFile(dir.file("UI.log"));
    EXPECT_NE(log.find(" shown 2"), std::string::npos);
    EXPECT_NE(log.find(" again"), std::string::npos);
}

TEST(UiLogger, ReportsAFileItCannotOpen) {
    TempDir dir;
    testing::internal::CaptureStdout();
    {
        UiLogger logger(dir.file("missing/UI.log"), dir.file("no-level-file"));
        logger.out(0, "lost\n");
    }
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("log level 0\ncannot create Log File ", 0), 0u) << printed;
    EXPECT_NE(printed.find_first_of("123456789", 35), std::string::npos) << printed;
}

}  // namespace
