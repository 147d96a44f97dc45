#include "Service.h"

#include <chrono>

#include "InstallInfo.h"
#include "Logger.h"
#include "ServiceManager.h"
#include "ThreadHandler.h"
#include "UserInterface.h"

Service* Service::instance() {
    static Service* service = new Service();
    return service;
}

Service::Service() {
    // The driver and notifier readers join when their channels exist.
    if (ThreadHandler* threads = ThreadHandler::instance()) {
        mpUIThread = threads->createThread(userInterfaceRead, nullptr);
    }
}

void Service::run() {
    init();
}

void Service::init() {
    Logger* log = Logger::instance();
    if (!mpUIThread || !mpUIThread->create()) {
        log->out(LOGLEVEL_ERROR, "UI thread failed\n");
    }
    buildCheckList();
    log->out(LOGLEVEL_INFO, "thread status %d %d %d\n", mpUIThread ? mpUIThread->status() : 0,
             mpDriverThread ? mpDriverThread->status() : 0,
             mpNotiferThread ? mpNotiferThread->status() : 0);
    doCheck();
}

void Service::buildCheckList() {
    mCheckList = {
        CheckListItem(1, &Service::checkUIThreadStatus),
        CheckListItem(60, &Service::checkLogRollover),
        CheckListItem(10, &Service::manageZorvManService),
    };
}

void Service::doCheck() {
    do {
        checkPass();
    } while (sleepBetweenPasses());
}

void Service::checkPass() {
    Logger* log = Logger::instance();
    ++mLastCheckTime;
    for (size_t position = 0; position < mCheckList.size(); ++position) {
        CheckListItem& item = mCheckList[position];
        // Unsigned: a counter that wraps keeps the schedule.
        if (item.getLastCheckTime() != 0 &&
            mLastCheckTime - item.getLastCheckTime() < item.getCheckInterval()) {
            continue;
        }
        int result = (this->*item.getFun())();
        if (result) {
            log->out(LOGLEVEL_INFO, "Service::doCheck() succeeded %d\n",
                     static_cast<int>(position));
        } else {
            log->out(LOGLEVEL_ERROR, "Service::doCheck() failed %d\n", static_cast<int>(position));
        }
        item.setLastCheckTime(mLastCheckTime);
    }
}

bool Service::sleepBetweenPasses() {
    std::unique_lock<std::mutex> lock(mPauseLock);
    mPauseChanged.wait_for(lock, std::chrono::milliseconds(mPassSleepMs),
                           [this] { return mStopping; });
    mPauseChanged.wait(lock, [this] { return !mPaused || mStopping; });
    return !mStopping;
}

void Service::pauseChecks() {
    std::lock_guard<std::mutex> lock(mPauseLock);
    mPaused = true;
}

void Service::resumeChecks() {
    {
        std::lock_guard<std::mutex> lock(mPauseLock);
        mPaused = false;
    }
    mPauseChanged.notify_all();
}

void Service::stopChecks() {
    {
        std::lock_guard<std::mutex> lock(mPauseLock);
        mStopping = true;
    }
    mPauseChanged.notify_all();
}

void Service::serveUICommand(UserInterface& ui) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "waiting for UI command\n");
    std::unique_ptr<Command> command = ui.waitForCommand();
    log->out(LOGLEVEL_INFO, "ui->waitForCommand returned\n");
    if (!command) {
        log->out(LOGLEVEL_ERROR, "command null from command factory\n");
        return;
    }
    std::unique_ptr<CommandResponse> response = command->execute();
    if (response) {
        ui.sendCommandResponse(response);
    }
}

void* Service::userInterfaceRead(void* /*parm*/) {
    for (;;) {
        UserInterface* ui = UserInterface::instance();
        if (!ui) {
            Logger::instance()->out(LOGLEVEL_ERROR, "UI thread failed\n");
            return nullptr;
        }
        serveUICommand(*ui);
    }
}

int Service::checkUIThreadStatus() {
    Logger::instance()->out(LOGLEVEL_INFO, "Service::checkUIThreadStatus\n");
    return mpUIThread ? mpUIThread->status() : 0;
}

int Service::checkLogRollover() {
    Logger::instance()->out(LOGLEVEL_INFO, "Service::checkLogRollover\n");
    return Logger::instance()->checkLogRollover();
}

String Service::getInstallPathFromRegistry() {
    String path = InstallInfo::readInstallPath();
    Logger::instance()->out(LOGLEVEL_INFO, "getInstallPath() %s\n", path.c_str());
    return path;
}

int Service::manageZorvManService() {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Service::manageZorvManService()\n");
    String path = InstallInfo::watchdogProgramPath(getInstallPathFromRegistry());
    int result = ServiceManager("ZorvMan", path).manage();
    log->out(LOGLEVEL_WARN, "Service::manageZorvManService() ret %d\n", result);
    return result;
}
