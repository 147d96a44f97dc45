// The service's side of the notifier: its reader thread and periodic checks.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <vector>

#include "Driver.h"
#include "Notifier.h"
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
        if (onLast && commands.size() == 1) {
            onLast();
        }
        if (commands.empty()) {
            return nullptr;
        }
        std::unique_ptr<Command> next = std::move(commands.front());
        commands.pop_front();
        return next;
    }
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override {
        answered.push_back(response->getArgumentForIndex(1)->asUint32());
        response.reset();
        return 1;
    }
    int status() override {
        mCurrChildId = statusChild;
        return statusAnswer;
    }

    std::deque<std::unique_ptr<Command>> commands;
    std::vector<uint32_t> answered;
    std::function<void()> onLast;
    int statusAnswer = 1;
    uint32_t statusChild = 0;
};

class IdCommand : public Command {
public:
    IdCommand(uint32_t id, bool answers) : mAnswers(answers) {
        setArgument(kArgCommandId, ArgumentBlock::fromUint32(id));
    }
    std::unique_ptr<CommandResponse> execute() override {
        return mAnswers ? newResponse() : nullptr;
    }

private:
    bool mAnswers;
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
    notifier.commands.push_back(std::make_unique<IdCommand>(773, true));
    notifier.commands.push_back(nullptr);                                  // nothing usable
    notifier.commands.push_back(std::make_unique<IdCommand>(771, false));  // no answer
    notifier.commands.push_back(std::make_unique<IdCommand>(768, true));
    // The stop comes while the last command is waited for: it is still
    // served, then the reader ends.
    notifier.onLast = [&] { service.stopChecks(); };
    LogWatch log;
    EXPECT_EQ(Service::notifierRead(&service), nullptr);
    EXPECT_EQ(notifier.answered, (std::vector<uint32_t>{773, 768}));
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
