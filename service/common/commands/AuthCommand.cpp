#include "commands/AuthCommand.h"

#include "settings/AdminInfo.h"
#include "cloud/Authentication.h"
#include "cloud/Credentials.h"
#include "driver/DriverSetup.h"
#include "base/Logger.h"
#include "settings/Settings.h"

namespace {

constexpr int kArgUser = 2;
constexpr int kArgPassword = 3;

// What the sign-in's result adds to the log, and whether the users'
// desktops hear of it.
struct ResultStep {
    int code;
    const char* line;
    bool notify;
};

constexpr ResultStep kResultSteps[] = {
    {AUTH_STATUS_FAILED, "AuthCommand::execute() AUTH_STATUS_FAILED\n", false},
    {AUTH_STATUS_PASSED, "auth successful\n", false},
    {AUTH_STATUS_CURL_ERROR, "AuthCommand::execute() AUTH_STATUS_CURL_ERROR\n", true},
    {AUTH_STATUS_USER_MISMATCH, "AuthCommand::execute() AUTH_STATUS_USER_MISMATCH\n", false},
    {AUTH_STATUS_COMM_ERROR, "AuthCommand::execute() AUTH_STATUS_COMM_ERROR\n", true},
    {AUTH_STATUS_NOT_SAVED, "AuthCommand::execute() AUTH_STATUS_NOT_SAVED\n", false},
    {AUTH_STATUS_FAILED_OTHER, "AuthCommand::execute() AUTH_STATUS_FAILED_OTHER\n", false},
    {AUTH_STATUS_FAILED_NO_USER, "AuthCommand::execute() AUTH_STATUS_FAILED_NO_USER\n", false},
    {AUTH_STATUS_FAILED_INACTIVE_USER, "AuthCommand::execute() AUTH_STATUS_FAILED_INACTIVE_USER\n",
     false},
    {AUTH_STATUS_FAILED_PASSWD_MISMATCH,
     "AuthCommand::execute() AUTH_STATUS_FAILED_PASSWD_MISMATCH\n", false},
    {AUTH_STATUS_FAILED_ANOTHER_ACCOUNT,
     "AuthCommand::execute() AUTH_STATUS_FAILED_ANOTHER_ACCOUNT\n", true},
};

}  // namespace

AuthCommand::AuthCommand(const char* buffer, int length) : Command(buffer) {
    const Credentials credentials = parseCredentials(buffer + kMinLength, length - kMinLength);
    setArgument(kArgUser, ArgumentBlock::fromText(credentials.user));
    setArgument(kArgPassword, ArgumentBlock::fromText(credentials.password));
}

std::unique_ptr<Command> AuthCommand::build(const char* buffer, int length) {
    return std::make_unique<AuthCommand>(buffer, length);
}

String AuthCommand::getUser() const {
    return getArgumentText(kArgUser);
}
String AuthCommand::getPassword() const {
    return getArgumentText(kArgPassword);
}

std::unique_ptr<CommandResponse> AuthCommand::execute() {
    Logger* log = Logger::instance();
    std::unique_ptr<CommandResponse> response = newResponse();
    log->out(LOGLEVEL_INFO, "AuthCommand::execute()\n");

    std::unique_lock<std::recursive_mutex> signIn(DriverSetup::configurationLock());
    AdminInfo admin;
    admin.setUser(getUser());
    admin.setPassword(getPassword());
    Authentication* auth = Authentication::instance();
    int result = auth ? auth->doAuth(&admin) : AUTH_STATUS_FAILED;

    if (result == AUTH_STATUS_PASSED) {
        log->out(LOGLEVEL_INFO, "AuthCommand::execute() auth successful\n");
        Settings* settings = Settings::instance();
        settings->setFilterEnabled(true);
        // The account stays in force (the cloud took it), but the parent
        // must hear that a restart will lose it.
        const bool saved = settings->saveToStore();
        if (initializeDriver() == 0) {
            log->out(LOGLEVEL_ERROR, "Driver Initialization failed\n");
        }
        if (saved) {
            response->setStatus(COMMAND_SUCCESS);
        } else {
            result = AUTH_STATUS_NOT_SAVED;
        }
    }
    if (result != AUTH_STATUS_PASSED) {
        response->setStatus(COMMAND_FAILED);
        log->out(LOGLEVEL_INFO, "AuthCommand::execute() auth failed\n");
        response->setArgument(2, ArgumentBlock::fromUint32(static_cast<uint32_t>(result)));
    }
    // The users' notifiers may take seconds: not under the lock.
    signIn.unlock();
    log->out(LOGLEVEL_INFO, "AuthCommand::execute() retcode %lu\n",
             static_cast<unsigned long>(result));

    for (const ResultStep& step : kResultSteps) {
        if (step.code != result) {
            continue;
        }
        log->out(LOGLEVEL_INFO, "%s", step.line);
        if (step.notify && auth && auth->NotifyAuthFail(false, result) == 0) {
            log->out(LOGLEVEL_ERROR, "AuthCommand::execute() NotifyAuthFail failed\n");
        }
        break;
    }
    return response;
}

int AuthCommand::initializeDriver() {
    return DriverSetup::initializeDriver(DriverSetup::Style::SignIn);
}
