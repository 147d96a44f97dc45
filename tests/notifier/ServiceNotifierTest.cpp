// The service's side of the notifier: its reader thread and periodic checks.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "CommandQueue.h"
#include "driver/Driver.h"
#include "notifier/Notifier.h"
#include "Service.h"
#include "TestSupport.h"

namespace {

class TestService : public Service {};

// Hands out queued commands; answers as told to the status check.
class QueueNotifier : public Notifier {
public:
    QueueNotifier() : Notifier(nullptr) { registerInstance(this); }
    ~QueueNotifier() override { registerInstance(nullptr); }

    std::unique_ptr<Command> waitForCommand() override {
        if (onLast && queue.commands.size() == 1) {
            onLast();
        }
        return queue.next();
    }
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override {
        return queue.answer(response);
    }
    int status() override {
        mCurrChildId = statusChild;
        return statusAnswer;
    }

    CommandQueue queue;
    std::function<void()> onLast;
    int statusAnswer = 1;
    uint32_t statusChild = 0;
};

// Records the child the filter is told about.
class ChildRecordingDriver : public Driver {
public:
    ChildRecordingDriver() { registerInstance(this); }
    int sendCommand(Command*) override { return 1; }
    std::unique_ptr<Command> waitForCommand() override { return nullptr; }
    int status(int&) override { return 1; }
    int Load(int&) override { return 1; }
    int UnLoad() override { return 1; }
    int NotifyDriverFail(int) override { return 1; }
    int setCurrentChildUser(uint32_t childId) override {
        children.push_back(childId);
        return 1;
    }
    std::vector<uint32_t> children;
};

TEST(ServiceNotifierReader, ServesUntilTheServiceStops) {
    TestService service;
    QueueNotifier notifier;
    notifier.queue.commands.push_back(std::make_unique<FixedCommand>(773, true));
    notifier.queue.commands.push_back(nullptr);  // nothing usable
    notifier.queue.commands.push_back(std::make_unique<FixedCommand>(771, false));  // no answer
    notifier.queue.commands.push_back(std::make_unique<FixedCommand>(768, true));
    // The stop comes while the last command is waited for: it is still
    // served, then the reader ends.
    notifier.onLast = [&] { service.stopChecks(); };
    LogWatch log;
    EXPECT_EQ(Service::notifierRead(&service), nullptr);
    EXPECT_EQ(notifier.queue.answered, (std::vector<uint32_t>{773, 768}));
    EXPECT_EQ(log.count("waiting for notifier command\n"), 4);
    EXPECT_EQ(log.count("notifier->waitForCommand returned\n"), 4);
    EXPECT_EQ(log.count("command null from command factory\n"), 1);
}

TEST(ServiceNotifierReader, EndsWithoutANotifier) {
    TestService service;
    LogWatch log;
    EXPECT_EQ(Service::notifierRead(&service), nullptr);
    EXPECT_TRUE(log.saw("Notifier thread failed\n"));
}

TEST(ServiceNotifierChecks, StatusResultAndTheCurrentChildGoesToTheFilterWhateverTheResult) {
    TestService service;
    LogWatch log;
    EXPECT_EQ(service.checkNotifierStatus(), 0);  // no notifier yet
    QueueNotifier notifier;
    EXPECT_EQ(service.checkNotifierStatus(), 1);  // no driver: only the status
    ChildRecordingDriver driver;
    notifier.statusAnswer = 0;
    notifier.statusChild = 4;
    EXPECT_EQ(service.checkNotifierStatus(), 0);
    notifier.statusAnswer = 7;
    notifier.statusChild = 3;
    EXPECT_EQ(service.checkNotifierStatus(), 7);
    EXPECT_EQ(driver.children, (std::vector<uint32_t>{4, 3}));
    EXPECT_EQ(log.count("Service::checkNotifierStatus\n"), 4);
}

}  // namespace
