#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/String.h"
#include "port/Thread.h"

class Service;

// A periodic check: a member of Service, non-zero on success.
using checkFun = int (Service::*)();

class CheckListItem {
public:
    CheckListItem(uint32_t interval, checkFun fun) : mCheckInterval(interval), mFun(fun) {}

    checkFun getFun() const { return mFun; }
    uint32_t getLastCheckTime() const { return mLastCheckTime; }
    uint32_t getCheckInterval() const { return mCheckInterval; }
    void setLastCheckTime(uint32_t pass) { mLastCheckTime = pass; }

private:
    uint32_t mLastCheckTime = 0;  // the pass it last ran in; 0 = never
    uint32_t mCheckInterval;      // in passes of the check loop
    checkFun mFun;
};

// The service's central object: three reader threads (desktop program,
// driver, notifier) turn received buffers into commands, and the service
// thread runs the periodic check list forever.
class Service {
public:
    static Service* instance();

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    virtual ~Service() = default;

    // Starts the readers, configures the driver, builds the check list and
    // runs the check loop; never returns.
    void run();

    // Reader thread function of the desktop program's channel (parameter
    // unused); loops forever.
    static void* userInterfaceRead(void* parm);
    // Reader thread function of the driver's read channel; `parm` is the
    // Service whose stop ends it (null: the instance).
    static void* driverInterfaceRead(void* parm);
    // Reader thread function of the notifier command channel; `parm` is the
    // Service whose stop ends it (null: the instance).
    static void* notifierRead(void* parm);

    // The periodic checks.
    int getConnection();
    int doAuth();
    int checkDriverThreadStatus();
    int checkDriverStatus();
    int checkHttpsCache();
    int checkUpdate();
    int checkUIThreadStatus();
    int checkNotifierThreadStatus();
    int checkNotifierStatus();
    int checkLogRollover();
    int manageZorvManService();

    static String getInstallPathFromRegistry();

    // Configures the filter from the settings (start-up, sign-in check);
    // 1 when the filter took it all.
    int initializeDriver();

    // The endless check loop: one pass, then the pause between passes.
    void doCheck();
    // One pass over the check list.
    void checkPass();

    // Holds the check loop (between passes) until resumeChecks; the reader
    // threads go on. Used where the platform cannot suspend the thread itself.
    void pauseChecks();
    void resumeChecks();
    // Ends doCheck after the current pass (orderly shutdown), and the driver
    // and notifier readers after their current command.
    void stopChecks();
    bool stopRequested();

    // One turn of the desktop-program reader: wait for a command, execute
    // it, send its answer (if it has one).
    static void serveUICommand(class UserInterface& ui);
    // The same for the notifier command channel.
    static void serveNotifierCommand(class Notifier& notifier);
    // One turn of the driver reader: wait for a record, execute its command.
    static void serveDriverCommand(class Driver& driver);

    static constexpr uint32_t kPassSleepMs = 60000;
    // Before run(): the programs' --step-ms option shortens it for tests.
    void setPassSleepMs(uint32_t ms) { mPassSleepMs = ms; }

protected:
    Service();
    // The pause between two passes; waits out a pauseChecks. False once
    // stopChecks was called.
    virtual bool sleepBetweenPasses();
    void setCheckList(std::vector<CheckListItem> list) { mCheckList = std::move(list); }
    const std::vector<CheckListItem>& checkList() const { return mCheckList; }
    uint32_t passCount() const { return mLastCheckTime; }
    // Replaces the check list with the service's own.
    void buildCheckList();

private:
    // A reader thread's loop over the channel's one instance until the
    // Service in `parm` (null: the instance) stops; logs `failure` and ends
    // when the channel does not exist.
    template <typename Channel>
    static void readUntilStopped(void* parm, const char* failure, void (*serve)(Channel&));

    void init();

    std::vector<CheckListItem> mCheckList;
    std::unique_ptr<Thread> mpDriverThread;
    std::unique_ptr<Thread> mpUIThread;
    std::unique_ptr<Thread> mpNotiferThread;
    uint32_t mLastCheckTime = 0;  // pass counter

    // Guards mPaused and mStopping; the check loop waits on mPauseChanged.
    std::mutex mPauseLock;
    std::condition_variable mPauseChanged;
    bool mPaused = false;
    bool mStopping = false;
    uint32_t mPassSleepMs = kPassSleepMs;
};
