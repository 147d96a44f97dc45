#include "commands/NotifyCommand.h"

#include <cstring>

#include "zorvane_bytes.h"
#include "base/Logger.h"
#include "notifier/Notifier.h"
#include "notifier/NotifyCodes.h"
#include "port/ProcessInfo.h"

namespace {

bool takesText(int code) {
    return (code >= NOTIFY_CONNECTION_ERROR && code <= NOTIFY_NEW_UPDATE) ||
           code == NOTIFY_REDIRECT_PROCESS;
}

bool takesBytes(int code) { return code == NOTIFY_AUTH_FAIL || code == NOTIFY_DRIVER_ERROR; }

}  // namespace

NotifyCommand::NotifyCommand(const char* buffer, int length) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "NotifyCommand c'tor\n");
    const int available = buffer ? length : 0;
    mNotifyCmd = available >= 4 ? static_cast<int>(LoadLe32(buffer)) : 0;
    setArgument(kArgCommandId, ArgumentBlock::fromUint32(static_cast<uint32_t>(mNotifyCmd)));
    if (available > kHeaderLength) {
        const char* data = buffer + kHeaderLength;
        const size_t room = static_cast<size_t>(available - kHeaderLength);
        if (takesText(mNotifyCmd)) {
            const void* end = std::memchr(data, '\0', room);
            size_t textLength = end ? static_cast<size_t>(static_cast<const char*>(end) - data) : room;
            mCmdData = String(data, static_cast<int>(textLength));
            log->out(LOGLEVEL_INFO, "NotifyCommand %s\n", mCmdData.c_str());
        } else if (takesBytes(mNotifyCmd)) {
            mpCmdData.assign(data, data + room);
            log->out(LOGLEVEL_INFO, "NOTIFY_AUTH_FAIL NOTIFY_DRIVER_ERROR cmd %d len %d\n",
                     mNotifyCmd, static_cast<int>(room));
        }
    }
    mChildId = available >= kHeaderLength ? LoadLe32(buffer + 4) : 0;
    log->out(LOGLEVEL_INFO, "NotifyCommand %d %d %d\n", mNotifyCmd, static_cast<int>(mChildId),
             static_cast<int>(takesBytes(mNotifyCmd) ? mpCmdData.size() : mCmdData.size()));
}

std::unique_ptr<Command> NotifyCommand::build(const char* buffer, int length) {
    return std::make_unique<NotifyCommand>(buffer, length);
}

std::vector<char> NotifyCommand::message() const {
    std::vector<char> bytes;
    auto appendCode = [&] {
        bytes.resize(4);
        StoreLe32(bytes.data(), static_cast<uint32_t>(mNotifyCmd));
    };
    if (takesText(mNotifyCmd)) {
        appendCode();
        bytes.insert(bytes.end(), mCmdData.begin(), mCmdData.end());
        bytes.push_back('\0');
    } else if (takesBytes(mNotifyCmd)) {
        appendCode();
        bytes.insert(bytes.end(), mpCmdData.begin(), mpCmdData.end());
    } else if (mNotifyCmd == NOTIFY_ALL_SERVER_DOWN) {
        appendCode();
    }
    return bytes;
}

std::unique_ptr<CommandResponse> NotifyCommand::execute() {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "NotifyCommand::execute()\n");
    auto response = newResponse();
    if (mNotifyCmd == NOTIFY_REDIRECT_PROCESS) {
        log->out(LOGLEVEL_INFO, "NOTIFY_REDIRECT_PROCESS \n");
    }
    if (takesText(mNotifyCmd)) {
        log->out(LOGLEVEL_INFO, "NOTIFY_HTTPS_SITE_BLOCKED %s\n", mCmdData.c_str());
    } else if (takesBytes(mNotifyCmd)) {
        log->out(LOGLEVEL_INFO, "NOTIFY_AUTH_FAIL NOTIFY_DRIVER_ERROR\n");
    }
    std::vector<char> bytes = message();
    if (bytes.empty()) {
        return response;  // codes that are never delivered
    }
    log->out(LOGLEVEL_INFO, "NotifyCommand::execute() %d %d %d\n", mNotifyCmd,
             static_cast<int>(mCmdData.size()), static_cast<int>(mChildId));
    Notifier* notifier = Notifier::instance();
    if (notifier && notifier->sendNotification(static_cast<uint32_t>(bytes.size()), bytes.data(),
                                               mChildId) != 0) {
        response->setStatus(COMMAND_SUCCESS);
    }
    return response;
}

NotifyRedirectProcessCommand::NotifyRedirectProcessCommand(const char* buffer, int length)
    : Command(buffer) {
    mPid = (buffer && length >= kMinLength) ? LoadLe32(buffer + 8) : 0;
}

std::unique_ptr<Command> NotifyRedirectProcessCommand::build(const char* buffer, int length) {
    return std::make_unique<NotifyRedirectProcessCommand>(buffer, length);
}

String NotifyRedirectProcessCommand::GetNameForPID(uint32_t pid) {
    Logger* log = Logger::instance();
    const String fallback("PID - \"" + std::to_string(pid) + "\"");
    String path;
    int error = 0;
    switch (ProcessInfo::executablePath(pid, path, error)) {
        case ProcessInfo::IMAGE_OK:
            log->out(LOGLEVEL_INFO, "NotifyRedirectProcessCommand::execute pName %s\n",
                     path.c_str());
            return String("name \"" + path + "\"");
        case ProcessInfo::IMAGE_OPEN_FAILED:
            log->out(LOGLEVEL_ERROR, "NotifyRedirectProcessCommand::execute OpenProcess failed %d %s\n",
                     error, fallback.c_str());
            return fallback;
        case ProcessInfo::IMAGE_NAME_FAILED:
        default:
            log->out(LOGLEVEL_ERROR,
                     "NotifyRedirectProcessCommand::execute GetModuleFileName failed %d %s\n", error,
                     fallback.c_str());
            return fallback;
    }
}

std::unique_ptr<CommandResponse> NotifyRedirectProcessCommand::execute() {
    Logger::instance()->out(LOGLEVEL_INFO, "NotifyRedirectProcessCommand::execute pid %lu\n",
                            static_cast<unsigned long>(mPid));
    String description = mPid == 0 ? String() : GetNameForPID(mPid);
    std::vector<char> record(NotifyCommand::kHeaderLength + description.size() + 1, '\0');
    StoreLe32(record.data(), NOTIFY_REDIRECT_PROCESS);
    StoreLe32(record.data() + 4, 0);
    std::memcpy(record.data() + NotifyCommand::kHeaderLength, description.data(),
                description.size());
    NotifyCommand notice(record.data(), static_cast<int>(record.size()));
    std::unique_ptr<CommandResponse> inner = notice.execute();

    auto response = newResponse();
    response->setArgument(kArgCommandId, ArgumentBlock::fromUint32(NOTIFY_REDIRECT_PROCESS));
    if (inner && inner->getStatus() == COMMAND_SUCCESS) {
        response->setStatus(COMMAND_SUCCESS);
    }
    return response;
}
