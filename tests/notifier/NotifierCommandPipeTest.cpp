// The service's notifier command channel, served as the service's notifier
// reader serves it, with real clients on the platform's pipe or socket.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "zorvane_bytes.h"
#include "NotifierTestSupport.h"

namespace {

std::string bytes(const char* data, size_t size) {
    return std::string(data, size);
}

TEST(NotifierCommandPipe, AnswersRequestsAndSkipsFramesWithoutCommand) {
    CommandEndpoint endpoint;
    ServedNotifier served(endpoint);
    std::unique_ptr<PipeClient> client = endpoint.connect();
    ASSERT_TRUE(client);
    LogWatch log;
    // An empty frame (skipped) and ids without a command get no answer: the
    // first bytes back belong to the 768 that follows them on the same
    // connection.
    ASSERT_TRUE(writeAll(*client, le32(0) + requestFrame(NOTIFIER_READ_FILTER_STATUS) +
                                      requestFrame(NOTIFIER_READ_DOWNLOAD_INPROGRESS) +
                                      requestFrame(NOTIFIER_READ_CHECK_UPDATE_CMD)));
    std::string answer;
    ASSERT_TRUE(readFrame(*client, answer));
    // Status 4 with version "2.1": L = 4, byte count 16.
    EXPECT_EQ(answer, bytes("\x10\0\0\0"
                            "\x00\x03\0\0\x04\0\0\0\x04\0\0\0"
                            "2.1\0",
                            20));
    EXPECT_EQ(log.count("command null from command factory\n"), 2);
    EXPECT_TRUE(log.saw("WinNotifier::sendCommandResponse NOTIFIER_READ_CHECK_UPDATE_CMD\n"));

    ASSERT_TRUE(writeAll(*client, requestFrame(NOTIFIER_READ_GET_VERSION)));
    ASSERT_TRUE(readFrame(*client, answer));
    EXPECT_EQ(answer, bytes("\x0a\0\0\0\x05\x03\0\0"
                            "2.1.0\0",
                            14));

    served.script().updateStatus = 5;
    ASSERT_TRUE(writeAll(*client, requestFrame(NOTIFIER_READ_CHECK_UPDATE_CMD)));
    ASSERT_TRUE(readFrame(*client, answer));
    const std::string text = "/var/tmp/zorvane/setup.exe;2.1;fixes";
    EXPECT_EQ(answer, le32(static_cast<uint32_t>(12 + text.size() + 1)) + le32(768) + le32(5) +
                          le32(static_cast<uint32_t>(text.size() + 1)) + text + '\0');
}

TEST(NotifierCommandPipe, DownloadReportsStartProgressAndResultToTheAskingClient) {
    CommandEndpoint endpoint;
    ServedNotifier served(endpoint);
    served.script().downloadStatus = 1;  // a transfer failed
    std::unique_ptr<PipeClient> client = endpoint.connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(writeAll(*client, requestFrame(NOTIFIER_READ_DO_UPDATE_CMD)));
    const std::string expected[] = {
        le32(8) + le32(769) + le32(6),
        le32(12) + le32(770) + le32(120) + le32(8000),
        le32(12) + le32(770) + le32(250) + le32(8000),
        le32(8) + le32(769) + le32(1),
    };
    for (const std::string& frame : expected) {
        std::string answer;
        ASSERT_TRUE(readFrame(*client, answer));
        EXPECT_EQ(answer, frame);
    }
    EXPECT_EQ(served.script().pushResults(), (std::vector<int>{1, 1, 1}));
}

TEST(NotifierCommandPipe, AnswersNeverReachAClientThatDidNotAsk) {
    CommandEndpoint endpoint;
    ServedNotifier served(endpoint);
    served.script().holdDownload();
    {
        // Asks for a download and leaves before any answer is written.
        std::unique_ptr<PipeClient> leaving = endpoint.connect();
        ASSERT_TRUE(leaving);
        ASSERT_TRUE(writeAll(*leaving, requestFrame(NOTIFIER_READ_DO_UPDATE_CMD)));
        ASSERT_TRUE(served.script().downloadHeld());
    }
    LogWatch log;
    served.script().release();
    std::unique_ptr<PipeClient> next = endpoint.connect();
    ASSERT_TRUE(next);
    ASSERT_TRUE(writeAll(*next, requestFrame(NOTIFIER_READ_GET_VERSION)));
    std::string answer;
    ASSERT_TRUE(readFrame(*next, answer));
    EXPECT_EQ(answer.substr(4, 4), le32(NOTIFIER_READ_GET_VERSION));
    // What was answered to the leaver is never written to anyone else.
    bool logged = false;
    for (int waited = 0; waited < 5000 && !logged; waited += 20) {
        logged = log.saw("notifier answer to ");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(logged) << log.text();
}

TEST(NotifierCommandPipe, OversizedOrBrokenRequestsDropOnlyTheirSender) {
    CommandEndpoint endpoint;
    ServedNotifier served(endpoint);
    LogWatch log;
    {
        // Above the limit: nothing is allocated for it and the sender is dropped.
        std::unique_ptr<PipeClient> greedy = endpoint.connect();
        ASSERT_TRUE(greedy);
        ASSERT_TRUE(writeAll(*greedy, le32(0x7fffffff) + le32(NOTIFIER_READ_GET_VERSION)));
        std::string rest;
        EXPECT_FALSE(readExactly(*greedy, rest, 1));
    }
    {
        // Gone in the middle of a frame.
        std::unique_ptr<PipeClient> broken = endpoint.connect();
        ASSERT_TRUE(broken);
        ASSERT_TRUE(writeAll(*broken, le32(8) + le32(NOTIFIER_READ_GET_VERSION)));
    }
    std::unique_ptr<PipeClient> next = endpoint.connect();
    ASSERT_TRUE(next);
    ASSERT_TRUE(writeAll(*next, requestFrame(NOTIFIER_READ_GET_VERSION)));
    std::string answer;
    ASSERT_TRUE(readFrame(*next, answer));
    EXPECT_EQ(answer.substr(4, 4), le32(NOTIFIER_READ_GET_VERSION));
    EXPECT_TRUE(log.saw("notifier frame length 2147483647 above 65536 - client dropped\n"));
}

}  // namespace
