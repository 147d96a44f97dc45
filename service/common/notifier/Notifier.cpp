#include "notifier/Notifier.h"

#include <cstring>

#include "system/Accounts.h"
#include "zorvane_bytes.h"
#include "base/Logger.h"
#include "notifier/NotifyCodes.h"
#include "settings/Settings.h"

namespace {

constexpr int kDelivered = 1;
constexpr int kNotListening = 2;
constexpr int kFailed = 0;

// Update status meaning a newer version exists.
constexpr uint32_t kUpdateOldVersion = 5;

// The text of a block up to its first NUL.
String textOf(const ArgumentBlock* block) {
    if (!block || block->size() == 0) {
        return String();
    }
    const void* end = std::memchr(block->data(), '\0', block->size());
    size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - block->data())
                        : block->size();
    return String(block->data(), static_cast<int>(length));
}

uint32_t numberOf(const ArgumentBlock* block) { return block ? block->asUint32() : 0; }

void appendLe32(std::vector<char>& bytes, uint32_t value) {
    char field[4];
    StoreLe32(field, value);
    bytes.insert(bytes.end(), field, field + 4);
}

}  // namespace

int Notifier::sendCommand(Command* /*command*/) { return 0; }

int Notifier::writeNotifier(const String& sid, const char* data, uint32_t length) {
    Logger* log = Logger::instance();
    const String name = mChannel->name(sid);
    int error = 0;
    if (sid.empty() || !mChannel->connect(sid, error)) {
        log->out(LOGLEVEL_ERROR, "WinNotifier::ConnectPipe failed %d\n", error);
        log->out(LOGLEVEL_ERROR, "failed to connect to notifier %s %d\n", name.c_str(), error);
        return kNotListening;
    }
    log->out(LOGLEVEL_INFO, "connected to notifier\n");

    char count[4];
    StoreLe32(count, length);
    if (!mChannel->write(count, sizeof count, error)) {
        log->out(LOGLEVEL_ERROR, "notifier write length failed err %d\n", error);
        mChannel->close();
        log->out(LOGLEVEL_ERROR, "failed to write to notifier %s %d\n", name.c_str(), error);
        return kFailed;
    }
    if (!mChannel->write(data, length, error)) {
        log->out(LOGLEVEL_ERROR, "notifier write data failed err %d\n", error);
        mChannel->close();
        log->out(LOGLEVEL_ERROR, "failed to write to notifier %s %d\n", name.c_str(), error);
        return kFailed;
    }
    char answer[4];
    if (!mChannel->read(answer, sizeof answer, error)) {
        mChannel->close();
        log->out(LOGLEVEL_ERROR, "failed to read from notifier %s %d\n", name.c_str(), error);
        return kFailed;
    }
    mChannel->close();
    return kDelivered;
}

int Notifier::sendNotification(uint32_t length, const char* buffer, uint32_t childId) {
    std::lock_guard<std::mutex> lock(mDeliveryLock);
    Logger* log = Logger::instance();
    const SysZorvUserMap userMap = Settings::instance()->getSysZorvUserMap();
    int result = kFailed;
    if (!userMap.empty()) {
        for (const auto& entry : userMap) {
            log->out(LOGLEVEL_INFO, "child comparison %d %d %s\n", static_cast<int>(entry.second),
                     static_cast<int>(childId), entry.first.c_str());
            if (childId != 0 && childId != entry.second) {
                continue;
            }
            result = writeNotifier(entry.first, buffer, length);
            if (result == kFailed) {
                break;
            }
        }
    } else if (childId != 0) {
        log->out(LOGLEVEL_ERROR, "WinNotifier::sendNotification user list empty\n");
        return kFailed;
    } else {
        log->out(LOGLEVEL_INFO, "WinNotifier::sendNotification Sending to all users\n");
        std::vector<String> sids;
        if (GetWindowsUserList(sids) < 0) {
            log->out(LOGLEVEL_ERROR, "WinNotifier::sendNotification GetWindowsUserList failed\n");
            return kFailed;
        }
        for (const String& sid : sids) {
            result = writeNotifier(sid, buffer, length);
            if (result == kFailed) {
                break;
            }
        }
    }
    log->out(LOGLEVEL_INFO, "return status from notifier %d\n", result);
    return result;
}

int Notifier::status() {
    std::lock_guard<std::mutex> lock(mDeliveryLock);
    Logger* log = Logger::instance();
    const SysZorvUserMap userMap = Settings::instance()->getSysZorvUserMap();
    if (userMap.empty()) {
        log->out(LOGLEVEL_ERROR, "WinNotifier::status user map is empty!\n");
        return 0;
    }
    int result = 0;
    for (const auto& entry : userMap) {
        log->out(LOGLEVEL_INFO, "WinNotifier::status sid %d %s\n", static_cast<int>(entry.second),
                 entry.first.c_str());
        int error = 0;
        if (entry.first.empty() || !mChannel->connect(entry.first, error)) {
            continue;
        }
        mCurrChildId = entry.second;
        char frame[8];
        StoreLe32(frame, 4);
        StoreLe32(frame + 4, NOTIFY_STATUS_CHECK);
        char answer[4];
        if (mChannel->write(frame, sizeof frame, error) && mChannel->read(answer, sizeof answer, error)) {
            result = static_cast<int>(LoadLe32(answer));
        } else {
            result = 0;
        }
        mChannel->close();
    }
    return result;
}

std::vector<char> Notifier::commandAnswer(const CommandResponse& response) {
    std::vector<char> payload;
    const uint32_t id = numberOf(response.getArgumentForIndex(1));
    switch (id) {
        case NOTIFIER_READ_CHECK_UPDATE_CMD: {
            const uint32_t updateStatus = numberOf(response.getArgumentForIndex(2));
            String text = updateStatus == kUpdateOldVersion
                              ? String(textOf(response.getArgumentForIndex(4)) + ";" +
                                       textOf(response.getArgumentForIndex(6)) + ";" +
                                       textOf(response.getArgumentForIndex(8)))
                              : textOf(response.getArgumentForIndex(4));
            appendLe32(payload, id);
            appendLe32(payload, updateStatus);
            appendLe32(payload, static_cast<uint32_t>(text.size() + 1));
            payload.insert(payload.end(), text.begin(), text.end());
            payload.push_back('\0');
            break;
        }
        case NOTIFIER_READ_DO_UPDATE_CMD:
            appendLe32(payload, id);
            appendLe32(payload, numberOf(response.getArgumentForIndex(2)));
            break;
        case NOTIFIER_READ_DOWNLOAD_INPROGRESS:
            appendLe32(payload, id);
            appendLe32(payload, numberOf(response.getArgumentForIndex(2)));
            appendLe32(payload, numberOf(response.getArgumentForIndex(3)));
            break;
        case NOTIFIER_READ_GET_VERSION: {
            appendLe32(payload, id);
            const ArgumentBlock* version = response.getArgumentForIndex(3);
            size_t length = numberOf(response.getArgumentForIndex(2));
            if (version) {
                // Never more than the block holds, whatever argument 2 says.
                length = length < version->size() ? length : version->size();
                payload.insert(payload.end(), version->data(), version->data() + length);
            }
            break;
        }
        default:
            break;
    }
    return payload;
}
