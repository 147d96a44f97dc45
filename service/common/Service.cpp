#include "Service.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "cloud/Authentication.h"
#include "driver/Driver.h"
#include "driver/DriverSetup.h"
#include "https/HttpsHostCache.h"
#include "port/InstallInfo.h"
#include "base/Logger.h"
#include "notifier/Notifier.h"
#include "commands/NotifyCommand.h"
#include "notifier/NotifyCodes.h"
#include "update/UpdateManager.h"
#include "zorvane_bytes.h"
#include "ServiceManager.h"
#include "settings/Settings.h"
#include "port/ThreadHandler.h"
#include "ui/UserInterface.h"

Service* Service::instance() {
    static Service* service = new Service();
    return service;
}

Service::Service() {
    if (ThreadHandler* threads = ThreadHandler::instance()) {
        // The driver and notifier readers learn from their service when to stop.
        mpDriverThread = threads->createThread(driverInterfaceRead, this);
        mpUIThread = threads->createThread(userInterfaceRead, nullptr);
        mpNotiferThread = threads->createThread(notifierRead, this);
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
    if (!mpDriverThread || !mpDriverThread->create()) {
        log->out(LOGLEVEL_ERROR, "driver thread failed\n");
    }
    if (!mpNotiferThread || !mpNotiferThread->create()) {
        log->out(LOGLEVEL_ERROR, "Notifier thread failed\n");
    }
    // A filter that restarts, or whose device had to be opened again, is
    // given everything at once rather than piece by piece over the checks.
    if (Driver* driver = Driver::instance()) {
        driver->setConfigurator(DriverSetup::configureOpenedDevice);
    }
    log->out(LOGLEVEL_ERROR, "service::init() calling initializeDriver\n");
    if (initializeDriver() == 0) {
        log->out(LOGLEVEL_ERROR, "service::init() initializeDriver failed\n");
    }
    buildCheckList();
    log->out(LOGLEVEL_INFO, "thread status %d %d %d\n", mpUIThread ? mpUIThread->status() : 0,
             mpDriverThread ? mpDriverThread->status() : 0,
             mpNotiferThread ? mpNotiferThread->status() : 0);
    doCheck();
}

void Service::buildCheckList() {
    mCheckList = {
        CheckListItem(2, &Service::getConnection),
        CheckListItem(30, &Service::doAuth),
        CheckListItem(1, &Service::checkDriverThreadStatus),
        CheckListItem(1, &Service::checkUIThreadStatus),
        CheckListItem(1, &Service::checkNotifierThreadStatus),
        CheckListItem(2, &Service::checkNotifierStatus),
        CheckListItem(5, &Service::checkDriverStatus),
        CheckListItem(60, &Service::checkHttpsCache),
        CheckListItem(1440, &Service::checkUpdate),
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
    // Any local user can reach the channel: the requests that change who is
    // filtered need the parent's sign-in on this very connection.
    const uint32_t id = command->getCommandId();
    if ((id == UI_READ_SET_SYS_ZORV_USER_MAP_CMD || id == UI_READ_SET_USER_CMD) &&
        !ui.isSignedIn()) {
        log->out(LOGLEVEL_WARN, "UI command %u refused - no sign-in on this connection\n", id);
        auto refused = std::make_unique<CommandResponse>();
        refused->setArgument(Command::kArgCommandId, ArgumentBlock::fromUint32(id));
        ui.sendCommandResponse(refused);
        return;
    }
    std::unique_ptr<CommandResponse> response = command->execute();
    if (id == UI_READ_AUTH_CMD && response && response->getStatus() == COMMAND_SUCCESS) {
        ui.markSignedIn();
    }
    if (response) {
        ui.sendCommandResponse(response);
    }
}

template <typename Channel>
void Service::readUntilStopped(void* parm, const char* failure, void (*serve)(Channel&)) {
    Service* service = parm ? static_cast<Service*>(parm) : instance();
    while (!service->stopRequested()) {
        Channel* channel = Channel::instance();
        if (!channel) {
            Logger::instance()->out(LOGLEVEL_ERROR, "%s", failure);
            return;
        }
        serve(*channel);
    }
}

bool Service::stopRequested() {
    std::lock_guard<std::mutex> lock(mPauseLock);
    return mStopping;
}

void Service::serveNotifierCommand(Notifier& notifier) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "waiting for notifier command\n");
    std::unique_ptr<Command> command = notifier.waitForCommand();
    log->out(LOGLEVEL_INFO, "notifier->waitForCommand returned\n");
    if (!command) {
        log->out(LOGLEVEL_ERROR, "command null from command factory\n");
        return;
    }
    std::unique_ptr<CommandResponse> response = command->execute();
    if (response) {
        notifier.sendCommandResponse(response);
    }
}

void* Service::notifierRead(void* parm) {
    readUntilStopped<Notifier>(parm, "Notifier thread failed\n", serveNotifierCommand);
    return nullptr;
}

void Service::serveDriverCommand(Driver& driver) {
    std::unique_ptr<Command> command = driver.waitForCommand();
    Logger::instance()->out(LOGLEVEL_ERROR, "driverInterfaceRead got read command\n");
    if (command) {
        // Driver commands answer the driver themselves.
        command->execute();
    }
}

void* Service::driverInterfaceRead(void* parm) {
    readUntilStopped<Driver>(parm, "driver thread failed\n", serveDriverCommand);
    return nullptr;
}

int Service::checkDriverThreadStatus() {
    Logger::instance()->out(LOGLEVEL_INFO, "Service::checkDriverThreadStatus\n");
    return mpDriverThread ? mpDriverThread->status() : 0;
}

int Service::checkHttpsCache() {
    Logger::instance()->out(LOGLEVEL_INFO, "Service::checkHttpsCache\n");
    return HttpsHostCache::instance()->updateCache() ? 1 : 0;
}

int Service::checkDriverStatus() {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Service::checkDriverStatus\n");
    Driver* driver = Driver::instance();
    if (!driver) {
        return 0;
    }
    int errCode = 0;
    const int status = driver->status(errCode);
    if (status == 0) {
        log->out(LOGLEVEL_INFO, "Service::checkDriverStatus err %d\n", errCode);
        driver->NotifyDriverFail(errCode);
    }
    return status;
}

int Service::initializeDriver() {
    return DriverSetup::initializeDriver(DriverSetup::Style::Service);
}

int Service::getConnection() {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Service::getConnection()\n");
    int result = 0;
    Authentication* auth = Authentication::instance();
    if (auth && auth->getConnection()) {
        std::shared_ptr<ConnectionInfo> connection = Settings::instance()->getConnectionInfo();
        Driver* driver = Driver::instance();
        if (!connection) {
            log->out(LOGLEVEL_ERROR, "ConnInfo is NULL\n");
        } else if (driver) {
            const uint32_t address = connection->getFilterServerAddress();
            const uint16_t port = connection->getFilterServerPort();
            const uint32_t altAddress = connection->getAlternateFilterServerAddress();
            const uint16_t altPort = connection->getAlternateFilterServerPort();
            log->out(LOGLEVEL_INFO, "server details 0x%8x %d 0x%8x %d\n", address, port, altAddress,
                     altPort);
            std::lock_guard<std::recursive_mutex> lock(DriverSetup::configurationLock());
            result = driver->setFilterAddress(address, altAddress, port, altPort);
        }
    }
    log->out(LOGLEVEL_INFO, "Service::getConnection() %d\n", result);
    return result;
}

int Service::doAuth() {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Service::doAuth\n");
    Authentication* auth = Authentication::instance();
    Settings* settings = Settings::instance();
    std::unique_lock<std::recursive_mutex> signIn(DriverSetup::configurationLock());
    const int result = auth ? auth->doAuth(nullptr) : AUTH_STATUS_FAILED;
    switch (result) {
        case AUTH_STATUS_PASSED:
            log->out(LOGLEVEL_INFO, "auth successful\n");
            settings->setFilterEnabled(true);
            if (!settings->saveToStore()) {
                // The profiles stay in force; the next pass saves again.
                log->out(LOGLEVEL_ERROR, "Service::doAuth() settings not saved\n");
                initializeDriver();
                return 0;
            }
            log->out(LOGLEVEL_INFO, "settings saved to store2\n");
            return initializeDriver();
        case AUTH_STATUS_FAILED:
            log->out(LOGLEVEL_INFO, "Service::doAuth() AUTH_STATUS_FAILED\n");
            settings->setFilterEnabled(false);
            return initializeDriver();
        case AUTH_STATUS_CURL_ERROR:
            log->out(LOGLEVEL_ERROR, "auth curl error AUTH_STATUS_CURL_ERROR\n");
            return 0;
        case AUTH_STATUS_FAILED_NO_USER:
        case AUTH_STATUS_FAILED_ANOTHER_ACCOUNT:
            log->out(LOGLEVEL_INFO, result == AUTH_STATUS_FAILED_NO_USER
                                        ? "Service::doAuth() AUTH_STATUS_FAILED_NO_USER\n"
                                        : "Service::doAuth() AUTH_STATUS_FAILED_ANOTHER_ACCOUNT\n");
            settings->setFilterEnabled(false);
            if (initializeDriver() == 0) {
                return 0;
            }
            // The users' notifiers may take seconds: not under the lock.
            signIn.unlock();
            return auth->NotifyAuthFail(true, result);
        case AUTH_STATUS_FAILED_INACTIVE_USER:
            log->out(LOGLEVEL_INFO, "Service::doAuth() AUTH_STATUS_FAILED_INACTIVE_USER\n");
            return 0;
        case AUTH_STATUS_FAILED_PASSWD_MISMATCH:
            log->out(LOGLEVEL_INFO, "Service::doAuth() AUTH_STATUS_FAILED_PASSWD_MISMATCH\n");
            return 0;
        case AUTH_STATUS_FAILED_OTHER:
            return 0;
        default:
            log->out(LOGLEVEL_INFO, "Service::doAuth() default!!!\n");
            return 0;
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

int Service::checkNotifierThreadStatus() {
    Logger::instance()->out(LOGLEVEL_INFO, "Service::checkNotifierThreadStatus\n");
    return mpNotiferThread ? mpNotiferThread->status() : 0;
}

int Service::checkNotifierStatus() {
    Logger::instance()->out(LOGLEVEL_INFO, "Service::checkNotifierStatus\n");
    Notifier* notifier = Notifier::instance();
    if (!notifier) {
        return 0;
    }
    int result = notifier->status();
    // Whatever the status, the filter follows the user whose notifier answered last.
    if (Driver* driver = Driver::instance()) {
        const uint32_t childId = notifier->getCurrentChildId();
        std::lock_guard<std::recursive_mutex> lock(DriverSetup::configurationLock());
        driver->setCurrentChildUser(childId);
    }
    return result;
}

int Service::checkUpdate() {
    Logger* log = Logger::instance();
    String version;
    String info;
    String setupPath;
    const int status = UpdateManager::instance()->checkForUpdate(version, info, setupPath);
    log->out(LOGLEVEL_INFO, "Service::checkUpdate %d\n", status);
    if (status != ZORVANE_UPDATE_OLD_VERSION) {
        return 1;
    }
    const SysZorvUserMap userMap = Settings::instance()->getSysZorvUserMap();
    if (userMap.empty()) {
        return 1;
    }
    // Type, child id, then the version with its NUL.
    std::vector<char> record(8 + version.size() + 1, '\0');
    StoreLe32(record.data(), NOTIFY_NEW_UPDATE);
    std::copy(version.begin(), version.end(), record.begin() + 8);
    int result = 0;
    for (const auto& entry : userMap) {
        log->out(LOGLEVEL_INFO, "Service::checkUpdate SID %s childId %d\n", entry.first.c_str(),
                 static_cast<int>(entry.second));
        if (entry.second == 0) {
            continue;
        }
        StoreLe32(record.data() + 4, entry.second);
        NotifyCommand notice(record.data(), static_cast<int>(record.size()));
        std::unique_ptr<CommandResponse> response = notice.execute();
        result = response ? response->getStatus() : 0;
        log->out(LOGLEVEL_INFO, "Service::checkUpdate status %d\n", result);
    }
    return result;
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
