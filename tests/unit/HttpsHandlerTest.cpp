// Host verification: the driver's question record, the query the filter
// server receives byte for byte and what its replies mean, and the queue's
// rules run on a real thread with the query scripted.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RawHttpServer.h"
#include "TestSupport.h"
#include "commands/CommandFactory.h"
#include "commands/HttpsCommand.h"
#include "driver/Driver.h"
#include "driver/DriverCommand.h"
#include "https/HttpsHandler.h"
#include "https/HttpsHostCache.h"
#include "settings/Settings.h"
#include "zorvane_bytes.h"
#include "zorvane_ioctl.h"

namespace {

std::vector<char> hostRecord(uint32_t childId, const std::string& hostBytes) {
    char head[8];
    StoreLe32(head, DRIVER_READ_HTTPS_HOST_STATUS_CMD);
    StoreLe32(head + 4, childId);
    const std::string bytes = std::string(head, sizeof head) + hostBytes;
    return std::vector<char>(bytes.begin(), bytes.end());
}

// Takes every HTTPS_BLOCKED answer the service sends.
class AnswerDriver : public Driver {
public:
    struct Answer {
        uint32_t childId;
        int32_t verdict;
        std::string host;
    };

    int sendCommand(Command* cmd) override {
        auto* made = dynamic_cast<DriverCommand*>(cmd);
        char* buffer = nullptr;
        if (!made || made->getCode() != ZORVANE_IOCTL_HTTPS_BLOCKED ||
            made->getCommandBuffer(&buffer) == 0) {
            return 0;
        }
        const char* record = made->getRecord();
        Answer answer;
        answer.verdict = static_cast<int32_t>(LoadLe32(record + 4));
        answer.childId = LoadLe32(record + 8);
        answer.host = record + ZORVANE_HTTPS_HOST_STATUS_FIXED_SIZE;
        std::lock_guard<std::mutex> lock(mLock);
        mAnswers.push_back(answer);
        mChanged.notify_all();
        return 1;
    }
    std::unique_ptr<Command> waitForCommand() override { return nullptr; }
    int status(int&) override { return DRIVER_ERROR; }
    int Load(int&) override { return 0; }
    int UnLoad() override { return 0; }
    int NotifyDriverFail(int) override { return 0; }

    // The answers once `count` arrived (what arrived after 10 s otherwise).
    std::vector<Answer> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mLock);
        mChanged.wait_for(lock, std::chrono::seconds(10), [&] { return mAnswers.size() >= count; });
        return mAnswers;
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::vector<Answer> mAnswers;
};

// The service's settings with one child whose session key is `key`, and the
// filter server at `server`.
class HostQuestion : public testing::Test {
protected:
    void SetUp() override {
        mSavedDriver = Driver::instance();
        Driver::registerInstance(&mDriver);
    }
    void TearDown() override {
        Driver::registerInstance(mSavedDriver);
        Settings::instance()->setConnectionInfo(nullptr);
        Settings::instance()->setChildList({});
    }
    static void useFilter(const std::string& server, uint32_t childId, const std::string& key) {
        auto info = std::make_shared<ConnectionInfo>();
        info->setHttpsServer(server);
        Settings::instance()->setConnectionInfo(info);
        ChildInfo child;
        child.setId(childId);
        child.setName("kid");
        child.setLevel(1);
        child.setSessionKey(key);
        Settings::instance()->setChildList({{childId, child}});
    }

    AnswerDriver mDriver;
    Driver* mSavedDriver = nullptr;
};

TEST(HttpsCommandRecord, TakesChildAndHostOnlyFromInsideTheRecord) {
    struct Case {
        const char* name;
        std::vector<char> record;
        bool builds;
        uint32_t childId;
        std::string host;
    };
    std::vector<char> cut = hostRecord(9, std::string("example.org\0", 12));
    cut.resize(cut.size() - 1);  // the NUL falls outside
    std::vector<char> bare(8);
    StoreLe32(bare.data(), DRIVER_READ_HTTPS_HOST_STATUS_CMD);
    const std::vector<Case> cases = {
        {"terminated", hostRecord(7, std::string("www.example.com\0", 16)), true, 7,
         "www.example.com"},
        {"trailing bytes after the NUL", hostRecord(3, std::string("a.b\0zzzz", 8)), true, 3,
         "a.b"},
        {"empty host", hostRecord(4, std::string("\0", 1)), true, 4, ""},
        {"NUL outside the record", cut, false, 0, ""},
        {"no host at all", bare, false, 0, ""},
    };
    for (const Case& c : cases) {
        std::unique_ptr<Command> made =
            CommandFactory::create(c.record.data(), static_cast<int>(c.record.size()));
        auto* https = dynamic_cast<HttpsCommand*>(made.get());
        EXPECT_EQ(https != nullptr, c.builds) << c.name;
        if (https) {
            EXPECT_EQ(https->getChildId(), c.childId) << c.name;
            EXPECT_EQ(https->getHost(), c.host) << c.name;
            EXPECT_EQ(https->getCommandId(), 2u) << c.name;
        }
    }
}

TEST_F(HostQuestion, CachedHostIsAnsweredAtOnceWithoutTheQueue) {
    HttpsHostCache::instance(nullptr)->updateUrl(41, "cached.example", 1);
    LogWatch log;
    std::vector<char> record = hostRecord(41, std::string("cached.example\0", 15));
    std::unique_ptr<Command> made =
        CommandFactory::create(record.data(), static_cast<int>(record.size()));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->execute(), nullptr);
    auto answers = mDriver.waitFor(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].childId, 41u);
    EXPECT_EQ(answers[0].verdict, 1);
    EXPECT_EQ(answers[0].host, "cached.example");
    EXPECT_TRUE(log.saw("HttpsCommand::execute host in cache cached.example 1\n"));
}

// A handler whose thread and event are plain standard ones; run directly.
class BareHandler : public HttpsHandler {
public:
    using HttpsHandler::checkHttpsHostWithFilter;

protected:
    bool threadRunning() override { return true; }
    void startThread() override {}
    void signalEvent() override {}
    void resetEvent() override {}
    void waitEvent() override {}
};

std::string queryHead(const std::string& host, const std::string& path, const std::string& asked,
                      bool noAuth) {
    return "GET " + path + " HTTP/1.1\r\nHost: " + host +
           "\r\nAccept: */*\r\nZorvane-Https-Host: " + asked +
           "\r\nZorvane-Https-Filter-Type: 1\r\nZorvane-Url: " + kHttpsFilterMarkerUrl +
           "\r\nUser-Agent: Tyrnex, Netbook\r\n" + (noAuth ? "auth-processing: 1\r\n" : "") +
           "\r\n";
}

TEST_F(HostQuestion, QueryCarriesExactlyTheHeadersInOrder) {
    RawHttpServer cloud([](const std::string&) -> std::string { return "x,1"; });
    const std::string host = "127.0.0.1:" + std::to_string(cloud.port());
    useFilter("http://" + host + "/zorvane2/filter.php", 5, "KEY5");
    BareHandler handler;
    for (int noAuth : {0, 1}) {
        int blocked = HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE;
        EXPECT_EQ(handler.checkHttpsHostWithFilter(5, "www.Example.com", blocked, noAuth),
                  HTTPS_STATUS_SUCCESS);
        EXPECT_EQ(blocked, 1);
    }
    const std::vector<std::string> requests = cloud.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], queryHead(host, "/zorvane2/filter.php/0KEY5", "www.Example.com", false));
    EXPECT_EQ(requests[1], queryHead(host, "/zorvane2/filter.php/0KEY5", "www.Example.com", true));
}

TEST_F(HostQuestion, ReplyDecidesVerdictAndResult) {
    struct Case {
        const char* status;
        std::string body;
        int result;
        int blocked;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.1 200 OK", "anything,0", HTTPS_STATUS_SUCCESS, 0},
        {"HTTP/1.1 200 OK", "anything,1", HTTPS_STATUS_SUCCESS, 1},
        {"HTTP/1.1 200 OK", "a,3", HTTPS_STATUS_SUCCESS, 3},
        {"HTTP/1.1 200 OK", "1,2,3", HTTPS_STATUS_SUCCESS, 2},
        {"HTTP/1.1 200 OK", "no comma here", HTTPS_STATUS_SUCCESS, 0},
        // Empty: the verdict stays as the caller set it.
        {"HTTP/1.1 200 OK", "", HTTPS_STATUS_SUCCESS, HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE},
        {"HTTP/1.1 302 Found", "", HTTPS_STATUS_SESSION_EXPIRED,
         HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE},
    };
    BareHandler handler;
    for (const Case& c : cases) {
        RawHttpServer cloud([&](const std::string&) { return c.body; });
        cloud.setStatusLine(c.status);
        useFilter("http://127.0.0.1:" + std::to_string(cloud.port()) + "/f", 2, "K");
        int blocked = HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE;
        EXPECT_EQ(handler.checkHttpsHostWithFilter(2, "h.example", blocked, 0), c.result)
            << c.status << " " << c.body;
        EXPECT_EQ(blocked, c.blocked) << c.status << " " << c.body;
    }
}

TEST_F(HostQuestion, UnreachableFilterAllowsWithoutCaching) {
    int port = 0;
    {
        RawHttpServer gone([](const std::string&) { return std::string(); });
        port = gone.port();
    }
    useFilter("http://127.0.0.1:" + std::to_string(port) + "/f", 2, "K");
    BareHandler handler;
    LogWatch log;
    int blocked = HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE;
    handler.checkHttpsHostWithFilter(2, "h.example", blocked, 0);
    EXPECT_EQ(blocked, HTTPS_HOST_FILTER_STATUS_ALLOWED_NOCACHE);
    EXPECT_TRUE(log.saw("curl error: "));
}

TEST_F(HostQuestion, RequestThatWouldBeCutOrSplitIsNeverSent) {
    RawHttpServer cloud([](const std::string&) -> std::string { return "x,0"; });
    const std::string server = "http://127.0.0.1:" + std::to_string(cloud.port()) + "/f";
    BareHandler handler;
    struct Case {
        const char* name;
        std::string key;
        std::string host;
    };
    const std::vector<Case> cases = {
        {"URL over 384 bytes", std::string(384, 'k'), "h.example"},
        {"host ending the header line", "K", "h.example\r\nauth-processing: 1"},
        {"host with a bare newline", "K", "h.example\nX: y"},
    };
    for (const Case& c : cases) {
        useFilter(server, 2, c.key);
        int blocked = HTTPS_HOST_FILTER_STATUS_ALLOWED;
        EXPECT_EQ(handler.checkHttpsHostWithFilter(2, c.host, blocked, 0), HTTPS_STATUS_ERROR)
            << c.name;
        EXPECT_EQ(blocked, HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE) << c.name;
    }
    // The URL that just fits is sent.
    useFilter(server, 2, std::string(383 - server.size() - 2, 'k'));
    int blocked = HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE;
    EXPECT_EQ(handler.checkHttpsHostWithFilter(2, "h.example", blocked, 0), HTTPS_STATUS_SUCCESS);
    EXPECT_EQ(blocked, 0);
    EXPECT_EQ(cloud.requests().size(), 1u);
}

// The queue on a real thread, with the filter server's answers scripted
// and every query and sign-in recorded in the order they happened.
class ScriptedHandler : public HttpsHandler {
public:
    struct Reply {
        int result;
        int blocked;
    };

    ScriptedHandler() {
        mThread = std::thread([this] { processHostQueue(); });
    }
    ~ScriptedHandler() override {
        {
            std::lock_guard<std::mutex> lock(mEventLock);
            mStop = true;
            mSignalled = true;
        }
        mEventChanged.notify_all();
        mThread.join();
    }

    // Replies for the next queries, by host.
    void script(const std::string& host, std::vector<Reply> replies) {
        std::lock_guard<std::mutex> lock(mLock);
        for (const Reply& reply : replies) {
            mScript[host].push_back(reply);
        }
    }
    // Queries wait until released, so questions pile up in the queue.
    void holdQueries() {
        std::lock_guard<std::mutex> lock(mLock);
        mHeld = true;
    }
    void releaseQueries() {
        std::lock_guard<std::mutex> lock(mLock);
        mHeld = false;
        mChanged.notify_all();
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mLock);
        return mEvents;
    }
    std::vector<std::string> waitForEvents(size_t count) {
        std::unique_lock<std::mutex> lock(mLock);
        mChanged.wait_for(lock, std::chrono::seconds(10), [&] { return mEvents.size() >= count; });
        return mEvents;
    }

    int checkHttpsHostWithFilter(unsigned int, String host, int& blocked, int noAuth) override {
        std::unique_lock<std::mutex> lock(mLock);
        mChanged.wait(lock, [this] { return !mHeld; });
        mEvents.push_back(host + (noAuth ? " noauth" : ""));
        mChanged.notify_all();
        std::deque<Reply>& replies = mScript[host];
        if (replies.empty()) {
            return HTTPS_STATUS_ERROR;
        }
        Reply reply = replies.front();
        replies.pop_front();
        if (reply.result != HTTPS_STATUS_SESSION_EXPIRED) {
            blocked = reply.blocked;
        }
        return reply.result;
    }

protected:
    bool keepServing() override {
        std::lock_guard<std::mutex> lock(mEventLock);
        return !mStop;
    }
    bool threadRunning() override { return true; }
    void startThread() override {}
    void signalEvent() override {
        std::lock_guard<std::mutex> lock(mEventLock);
        mSignalled = true;
        mEventChanged.notify_all();
    }
    void resetEvent() override {
        std::lock_guard<std::mutex> lock(mEventLock);
        mSignalled = false;
    }
    void waitEvent() override {
        std::unique_lock<std::mutex> lock(mEventLock);
        mEventChanged.wait(lock, [this] { return mSignalled; });
    }
    void reauthenticate() override {
        std::lock_guard<std::mutex> lock(mLock);
        mEvents.push_back("sign-in");
        mChanged.notify_all();
    }

private:
    std::mutex mLock;
    std::condition_variable mChanged;
    std::map<std::string, std::deque<Reply>> mScript;
    std::vector<std::string> mEvents;
    bool mHeld = false;

    std::mutex mEventLock;
    std::condition_variable mEventChanged;
    bool mSignalled = false;
    bool mStop = false;
    std::thread mThread;
};

TEST_F(HostQuestion, OnlyAllowedAndBlockedVerdictsAreCached) {
    ScriptedHandler handler;
    const uint32_t child = 51;
    const std::vector<std::pair<std::string, int>> verdicts = {
        {"allowed.example", 0}, {"blocked.example", 1}, {"open.example", 2}, {"held.example", 3}};
    for (const auto& v : verdicts) {
        handler.script(v.first, {{HTTPS_STATUS_SUCCESS, v.second}});
        handler.validateHttpsHost(child, v.first);
    }
    handler.validateHttpsHost(child, "failed.example");  // no reply: an error result
    auto answers = mDriver.waitFor(5);
    ASSERT_EQ(answers.size(), 5u);
    for (size_t i = 0; i < verdicts.size(); ++i) {
        EXPECT_EQ(answers[i].host, verdicts[i].first);  // strictly in arrival order
        EXPECT_EQ(answers[i].verdict, verdicts[i].second);
        EXPECT_EQ(answers[i].childId, child);
        int cached = -1;
        EXPECT_EQ(HttpsHostCache::instance(nullptr)->checkUrl(child, verdicts[i].first, cached),
                  verdicts[i].second <= 1)
            << verdicts[i].first;
    }
    EXPECT_EQ(answers[4].verdict, HTTPS_HOST_FILTER_STATUS_BLOCKED_NOCACHE);
    int cached = -1;
    EXPECT_FALSE(HttpsHostCache::instance(nullptr)->checkUrl(child, "failed.example", cached));
}

TEST_F(HostQuestion, ExpiredSessionAsksAgainWithoutSignInAndSignsInOnceAfterTheBatch) {
    ScriptedHandler handler;
    handler.holdQueries();
    handler.script("a.example", {{HTTPS_STATUS_SESSION_EXPIRED, 0}, {HTTPS_STATUS_SUCCESS, 1}});
    handler.script("b.example", {{HTTPS_STATUS_SUCCESS, 0}});
    handler.script("a.example", {{HTTPS_STATUS_SUCCESS, 1}});
    // Three questions in one batch, two of them for the same host.
    handler.validateHttpsHost(61, "a.example");
    handler.validateHttpsHost(61, "b.example");
    handler.validateHttpsHost(61, "a.example");
    handler.releaseQueries();
    const std::vector<std::string> batch = {"a.example", "a.example noauth", "b.example noauth",
                                            "a.example noauth", "sign-in"};
    EXPECT_EQ(handler.waitForEvents(batch.size()), batch);
    auto answers = mDriver.waitFor(3);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0].verdict, 1);
    EXPECT_EQ(answers[1].verdict, 0);
    EXPECT_EQ(answers[2].verdict, 1);

    // Later batches start afresh: ordinary queries, no further sign-in
    // (one would come between the two, once the first was answered).
    handler.script("c.example", {{HTTPS_STATUS_SUCCESS, 0}});
    handler.validateHttpsHost(61, "c.example");
    ASSERT_EQ(mDriver.waitFor(4).size(), 4u);
    handler.script("d.example", {{HTTPS_STATUS_SUCCESS, 0}});
    handler.validateHttpsHost(61, "d.example");
    ASSERT_EQ(mDriver.waitFor(5).size(), 5u);
    std::vector<std::string> after = batch;
    after.push_back("c.example");
    after.push_back("d.example");
    EXPECT_EQ(handler.events(), after);
}

}  // namespace
