#include "Service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>

#include "CommandQueue.h"
#include "TestSupport.h"
#include "ui/UserInterface.h"

namespace {

// A service whose checks record when they ran and answer as told.
class ScheduleService : public Service {
public:
    struct Run {
        uint32_t pass;
        int check;
    };

    ScheduleService() { setPassSleepMs(1); }

    void useChecks(std::vector<std::pair<uint32_t, checkFun>> checks) {
        std::vector<CheckListItem> list;
        for (auto& check : checks) {
            list.emplace_back(check.first, check.second);
        }
        setCheckList(std::move(list));
    }

    int first() { return record(0); }
    int second() { return record(1); }
    int third() { return record(2); }

    std::vector<Run> runs;
    std::vector<bool> results{true, true, true};
    std::atomic<uint32_t> passesDone{0};
    using Service::buildCheckList;
    using Service::checkList;
    using Service::passCount;

protected:
    bool sleepBetweenPasses() override {
        ++passesDone;
        return Service::sleepBetweenPasses();
    }

private:
    int record(int check) {
        runs.push_back({passCount(), check});
        return results[static_cast<size_t>(check)] ? 1 : 0;
    }
};

checkFun check(int (ScheduleService::*fun)()) {
    return static_cast<checkFun>(fun);
}

std::vector<uint32_t> passesOf(const ScheduleService& service, int which) {
    std::vector<uint32_t> passes;
    for (const auto& run : service.runs) {
        if (run.check == which) {
            passes.push_back(run.pass);
        }
    }
    return passes;
}

TEST(ServiceSchedule, FirstPassRunsEveryCheckInListOrder) {
    ScheduleService service;
    service.useChecks({{30, check(&ScheduleService::first)},
                       {1440, check(&ScheduleService::second)},
                       {2, check(&ScheduleService::third)}});
    service.checkPass();
    ASSERT_EQ(service.runs.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(service.runs[static_cast<size_t>(i)].check, i);
        EXPECT_EQ(service.runs[static_cast<size_t>(i)].pass, 1u);
    }
}

TEST(ServiceSchedule, IntervalsCountInPassesAndFailuresWaitTheirTurn) {
    ScheduleService service;
    service.useChecks({{1, check(&ScheduleService::first)},
                       {2, check(&ScheduleService::second)},
                       {3, check(&ScheduleService::third)}});
    service.results = {true, true, false};  // the third always fails
    LogWatch log;
    for (int pass = 0; pass < 7; ++pass) {
        service.checkPass();
    }
    EXPECT_EQ(passesOf(service, 0), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(passesOf(service, 1), (std::vector<uint32_t>{1, 3, 5, 7}));
    EXPECT_EQ(passesOf(service, 2), (std::vector<uint32_t>{1, 4, 7}));  // not retried early
    EXPECT_EQ(log.count("Service::doCheck() succeeded 1\n"), 4);
    EXPECT_EQ(log.count("Service::doCheck() failed 2\n"), 3);
}

TEST(ServiceSchedule, ServiceListRunsItsChecksInOrderAtTheirIntervals) {
    ScheduleService service;
    service.buildCheckList();
    const std::pair<checkFun, uint32_t> expected[] = {
        {&Service::getConnection, 2},
        {&Service::doAuth, 30},
        {&Service::checkDriverThreadStatus, 1},
        {&Service::checkUIThreadStatus, 1},
        {&Service::checkNotifierThreadStatus, 1},
        {&Service::checkNotifierStatus, 2},
        {&Service::checkDriverStatus, 5},
        {&Service::checkHttpsCache, 60},
        {&Service::checkUpdate, 1440},
        {&Service::checkLogRollover, 60},
        {&Service::manageZorvManService, 10},
    };
    const std::vector<CheckListItem>& list = service.checkList();
    ASSERT_EQ(list.size(), std::size(expected));
    for (size_t position = 0; position < list.size(); ++position) {
        SCOPED_TRACE(position);
        EXPECT_TRUE(list[position].getFun() == expected[position].first);
        EXPECT_EQ(list[position].getCheckInterval(), expected[position].second);
        EXPECT_EQ(list[position].getLastCheckTime(), 0u);
    }
}

TEST(ServiceSchedule, PauseHoldsTheLoopBetweenPassesAndStopEndsIt) {
    ScheduleService service;
    service.useChecks({{1, check(&ScheduleService::first)}});
    service.pauseChecks();
    std::thread loop([&] { service.doCheck(); });

    while (service.passesDone == 0) {
        std::this_thread::yield();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(service.passCount(), 1u);  // held after the first pass

    service.resumeChecks();
    while (service.passesDone < 3) {
        std::this_thread::yield();
    }
    service.stopChecks();
    loop.join();
    EXPECT_GE(service.passCount(), 3u);
}

// A desktop-program channel that hands out queued commands.
class QueueUserInterface : public UserInterface {
public:
    std::unique_ptr<Command> waitForCommand() override { return queue.next(); }
    int sendCommandResponse(std::unique_ptr<CommandResponse>& response) override {
        return queue.answer(response);
    }
    int sendCommand(Command*) override { return 0; }

    CommandQueue queue;
};

TEST(ServiceReader, AnswersCommandsThatHaveAnAnswerAndSkipsTheRest) {
    QueueUserInterface ui;
    ui.queue.commands.push_back(std::make_unique<FixedCommand>(263, true));
    ui.queue.commands.push_back(std::make_unique<FixedCommand>(261, false));  // no answer
    ui.queue.commands.push_back(nullptr);                                     // unknown id
    ui.queue.commands.push_back(std::make_unique<FixedCommand>(266, true));
    LogWatch log;
    for (int i = 0; i < 4; ++i) {
        Service::serveUICommand(ui);
    }
    EXPECT_EQ(ui.queue.answered, (std::vector<uint32_t>{263, 266}));
    EXPECT_EQ(log.count("command null from command factory"), 1);
    EXPECT_EQ(log.count("ui->waitForCommand returned"), 4);
}

}  // namespace
