#include "Settings.h"

#include <cinttypes>
#include <cstdlib>

#include "Logger.h"
#include "Notifier.h"
#include "ProcessInfo.h"
#include "SystemInfo.h"

namespace {

const char kSep[] = ", ";
const char kAltPrefix[] = "ALT:";

// The leading decimal number of a field; 0 for an empty or negative field.
uint32_t decimal(const String& field) {
    long long value = std::strtoll(field.c_str(), nullptr, 10);
    if (value < 0) {
        return 0;
    }
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

String trimmed(String text) {
    text.removeWhiteSpace();
    return text;
}

// Cuts the next complete line (without its "\n") off `rest`; false when no
// complete line is left.
bool takeLine(String& rest, String& line) {
    int end = rest.indexOf("\n");
    if (end < 0) {
        return false;
    }
    line = String(rest.substr(0, static_cast<size_t>(end)));
    rest = String(rest.substr(static_cast<size_t>(end) + 1));
    return true;
}

// Splits "a, b" into "a" and "b"; without a separator the head is the whole
// text and the tail empty.
void splitField(const String& text, String& head, String& tail) {
    int at = text.indexOf(kSep);
    if (at < 0) {
        head = text;
        tail = String();
        return;
    }
    head = String(text.substr(0, static_cast<size_t>(at)));
    tail = String(text.substr(static_cast<size_t>(at) + 2));
}

String decimalText(uint32_t value) {
    return String(std::to_string(value));
}

}  // namespace

Settings* Settings::instance(Store* store) {
    static Settings* singleton = new Settings(store);
    return singleton;
}

Settings::Settings(Store* store) : mVersion("2.1.0"), mPlatform(getWindowsPlatform()) {
    reset();
    isFilterEnabled = true;
    mpDevice = Device::instance();
    mpSettingsStore = store;
}

Settings::~Settings() = default;

void Settings::reset() {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    resetLocked();
}

void Settings::resetLocked() {
    mpConnectionInfo.reset();
    mpAdminInfo.reset();
    mpDevice = nullptr;
    mpSettingsStore = nullptr;
    isFilterEnabled = false;
    mSettingsFormat = FORMAT_PLAIN;
    mChildInfoList.clear();
    mSysZorvUserMap.clear();
}

void Settings::setConnectionInfo(std::shared_ptr<ConnectionInfo> info) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mpConnectionInfo = std::move(info);
}

std::shared_ptr<ConnectionInfo> Settings::getConnectionInfo() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mpConnectionInfo;
}

void Settings::setAdminInfo(std::shared_ptr<AdminInfo> info) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mpAdminInfo = std::move(info);
}

std::shared_ptr<AdminInfo> Settings::getAdminInfo() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mpAdminInfo;
}

void Settings::setChildInfo(uint32_t id, const ChildInfo& child) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mChildInfoList[id] = child;
}

ChildInfo Settings::getChildInfo(uint32_t id) const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    auto found = mChildInfoList.find(id);
    return found == mChildInfoList.end() ? ChildInfo() : found->second;
}

ChildList Settings::getChildList() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mChildInfoList;
}

void Settings::setChildList(const ChildList& children) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mChildInfoList = children;
    const uint32_t fallback = children.empty() ? 0 : children.begin()->first;
    for (auto& entry : mSysZorvUserMap) {
        if (entry.second != 0 && children.find(entry.second) == children.end()) {
            entry.second = fallback;
        }
    }
}

void Settings::setDeviceInfo(Device* device) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mpDevice = device;
}

Device* Settings::getDeviceInfo() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mpDevice;
}

bool Settings::IsFilterEnabled() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return isFilterEnabled;
}

void Settings::setFilterEnabled(bool enabled) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    isFilterEnabled = enabled;
}

FormatType Settings::getSettingsFormat() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mSettingsFormat;
}

void Settings::setSettingsFormat(FormatType format) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mSettingsFormat = format;
}

void Settings::flushChildList() {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mChildInfoList.clear();
}

String Settings::getVersion() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mVersion;
}

void Settings::setVersion(const String& version) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mVersion = version;
}

String Settings::getPlatform() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mPlatform;
}

void Settings::setPlatform(const String& platform) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mPlatform = platform;
}

SysZorvUserMap Settings::getSysZorvUserMap() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    return mSysZorvUserMap;
}

bool Settings::updateSysZorvUserMap(String text) {
    return populateUserMapFromString(text);
}

int Settings::getSysZorvUserMap(String& text) const {
    return getStringFromUserMap(text);
}

int Settings::GetUserAuthStatus() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger::instance()->out(LOGLEVEL_INFO, "Settings::GetUserAuthStatus status %d\n",
                            mUserAuthStatus);
    return mUserAuthStatus;
}

void Settings::SetUserAuthStatus(int status) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger::instance()->out(LOGLEVEL_INFO, "Settings::SetUserAuthStatus status %d\n", status);
    mUserAuthStatus = status;
}

uint32_t Settings::getCurrentChildId() const {
    // Asked without the settings lock: the notifier has its own.
    Notifier* notifier = Notifier::instance();
    return notifier ? notifier->getCurrentChildId() : 0;
}

unsigned long Settings::getCurrentPid() const {
    unsigned long pid = ProcessInfo::currentProcessId();
    Logger::instance()->out(LOGLEVEL_INFO, "Settings::getCurrentPid %lu\n", pid);
    return pid;
}

int Settings::getWindowsVersion() const {
    return settingsWindowsVersion();
}

String Settings::getWindowsPlatform() {
    return settingsWindowsPlatform();
}

String Settings::toXml() const {
    return String();
}

bool Settings::loadFromXml(String& /*text*/) {
    return true;
}

int Settings::getStringFromUserMap(String& text) const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    text.clear();
    for (const auto& entry : mSysZorvUserMap) {
        Logger::instance()->out(LOGLEVEL_INFO, "Settings::getStringFromUserMap %s vs %d\n",
                                entry.first.c_str(), static_cast<int>(entry.second));
        text += entry.first + kSep + decimalText(entry.second) + "\n";
    }
    return static_cast<int>(text.length());
}

bool Settings::populateUserMapFromString(String text) {
    if (text.empty()) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Settings::populateUserMapFromString userMap %s size %d\n",
             text.c_str(), static_cast<int>(mSysZorvUserMap.size()));
    mSysZorvUserMap.clear();
    while (!text.empty()) {
        String line;
        if (!takeLine(text, line)) {
            // The last line may come without its line end.
            line = text;
            text.clear();
        }
        String sid;
        String id;
        splitField(line, sid, id);
        if (sid.empty() || !line.contains(kSep)) {
            log->out(LOGLEVEL_ERROR, "populateUserMapFromString - data corruption\n");
            continue;
        }
        log->out(LOGLEVEL_INFO, "populateUserMapFromString %s vs %d\n", sid.c_str(),
                 static_cast<int>(decimal(id)));
        mSysZorvUserMap[sid] = decimal(id);
    }
    return true;
}

String Settings::toString() const {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger* log = Logger::instance();
    if (!mpConnectionInfo || !mpAdminInfo || !mpDevice) {
        log->out(LOGLEVEL_ERROR, "one is NULL %x %x %x\n",
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(mpConnectionInfo.get())),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(mpAdminInfo.get())),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(mpDevice)));
        return String();
    }
    const ConnectionInfo& conn = *mpConnectionInfo;
    String text;
    text += conn.getAuthServer() + kSep + conn.getFilterServer() + kSep +
            decimalText(conn.getFilterServerPort()) + "\n";
    if (!conn.getAlternateFilterServer().empty()) {
        text += kAltPrefix + conn.getAlternateFilterServer() + kSep +
                decimalText(conn.getAlternateFilterServerPort()) + "\n";
    }
    text += mpAdminInfo->getUser() + kSep + mpAdminInfo->getPassword() + kSep +
            (isFilterEnabled ? "1" : "0") + "\n";
    text += decimalText(mpDevice->getDeviceId()) + kSep + mpDevice->getDeviceSignature() + "\n";

    String userMap;
    getStringFromUserMap(userMap);
    log->out(LOGLEVEL_INFO, "Settings::toString userMapBuff %s\n", userMap.c_str());
    if (userMap.empty()) {
        userMap = "\n";
    }
    text += userMap + "\n";

    log->out(LOGLEVEL_INFO, "mpDevice->getDeviceId() %d\n",
             static_cast<int>(mpDevice->getDeviceId()));
    for (const auto& entry : mChildInfoList) {
        const ChildInfo& child = entry.second;
        text += decimalText(entry.first) + kSep + child.getName() + kSep +
                decimalText(child.getLevel()) + kSep + child.getSessionKey() + "\n";
    }
    log->out(LOGLEVEL_INFO, "toString settingCache %s\n", maskForLog(text).c_str());
    return text;
}

void Settings::populateFromString(String text) {
    Logger* log = Logger::instance();
    if (text.empty()) {
        log->out(LOGLEVEL_ERROR, "Settings::populateFromString error in settings read\n");
        return;
    }
    log->out(LOGLEVEL_INFO, "populateFromString settingCache %s\n", maskForLog(text).c_str());

    // Lines 1 to 4 are checked whole before anything is applied; every line
    // must be complete (end in "\n").
    String rest = text;
    String line;
    String field;
    String tail;

    if (!takeLine(rest, line)) {
        return;
    }
    String authServer;
    String filterServer;
    splitField(line, authServer, tail);
    splitField(tail, filterServer, field);
    authServer = trimmed(authServer);
    filterServer = trimmed(filterServer);
    String filterPort = trimmed(field);
    if (authServer.empty() || filterServer.empty() || filterPort.empty() || !line.contains(kSep) ||
        !tail.contains(kSep)) {
        return;
    }

    String alternateServer;
    String alternatePort;
    if (rest.before("\n").contains(kAltPrefix)) {
        takeLine(rest, line);
        splitField(line, field, alternatePort);
        alternateServer = field.after(kAltPrefix);
    }
    if (rest.empty()) {
        log->out(LOGLEVEL_ERROR, "Settings::populateFromString error in settings read\n");
        return;
    }

    if (!takeLine(rest, line)) {
        return;
    }
    String user;
    String digest;
    splitField(line, user, tail);
    splitField(tail, digest, field);
    user = trimmed(user);
    digest = trimmed(digest);
    String filterSwitch = trimmed(field);
    if (user.empty() || digest.empty() || filterSwitch.empty()) {
        return;
    }
    if (rest.empty()) {
        log->out(LOGLEVEL_ERROR, "Settings::populateFromString error in settings read\n");
        return;
    }

    if (!takeLine(rest, line)) {
        return;
    }
    String deviceId;
    String signature;
    splitField(line, deviceId, signature);
    deviceId = trimmed(deviceId);
    signature = trimmed(signature);
    if (deviceId.empty() || signature.empty()) {
        return;
    }
    if (rest.empty()) {
        log->out(LOGLEVEL_ERROR, "Settings::populateFromString error in settings read\n");
        return;
    }

    std::lock_guard<std::recursive_mutex> lock(mLock);
    auto conn = std::make_shared<ConnectionInfo>();
    conn->setAuthServer(authServer);
    conn->setFilterServer(filterServer);
    conn->setFilterServerPort(static_cast<uint16_t>(decimal(filterPort)));
    if (!alternateServer.empty() && !alternatePort.empty() &&
        static_cast<uint16_t>(decimal(alternatePort)) != 0) {
        conn->setAlternateFilterServer(alternateServer);
        conn->setAlternateFilterServerPort(static_cast<uint16_t>(decimal(alternatePort)));
    }
    mpConnectionInfo = std::move(conn);

    auto admin = std::make_shared<AdminInfo>();
    admin->setUser(user);
    admin->setPassword(digest);
    isFilterEnabled = decimal(filterSwitch) != 0;
    mpAdminInfo = std::move(admin);

    if (mpDevice) {
        mpDevice->setDeviceId(decimal(deviceId));
        mpDevice->setDeviceSignature(signature);
    }

    log->out(LOGLEVEL_INFO, "populateFromString before userMap %s\n", rest.c_str());
    // The map block ends at the first empty line. A file cut short inside the
    // block keeps its complete lines only.
    String userMap;
    int blockEnd = rest.indexOf("\n\n");
    if (blockEnd >= 0) {
        userMap = String(rest.substr(0, static_cast<size_t>(blockEnd)));
        rest = String(rest.substr(static_cast<size_t>(blockEnd) + 2));
    } else {
        size_t lastLineEnd = rest.rfind('\n');
        userMap = lastLineEnd == std::string::npos ? String() : String(rest.substr(0, lastLineEnd));
        rest.clear();
    }
    userMap.removeWhiteSpace();
    populateUserMapFromString(String(userMap + "\n"));

    mChildInfoList.clear();
    while (!rest.empty()) {
        if (!takeLine(rest, line)) {
            // A last line without its line end was cut short.
            log->out(LOGLEVEL_ERROR, "corrupt data in cred file - zorv child\n");
            break;
        }
        String idText;
        String name;
        String levelText;
        String sessionKey;
        splitField(line, idText, tail);
        splitField(tail, name, field);
        splitField(field, levelText, sessionKey);
        uint32_t id = decimal(idText);
        uint32_t level = decimal(levelText);
        if (id == 0 || level == 0 || name.empty() || sessionKey.empty()) {
            log->out(LOGLEVEL_ERROR, "corrupt data in cred file - zorv child\n");
            continue;
        }
        ChildInfo child;
        child.setId(id);
        child.setName(name);
        child.setLevel(level);
        child.setSessionKey(sessionKey);
        mChildInfoList[id] = child;
    }
}

void Settings::loadFromStore() {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Settings::loadFromStore\n");
    if (!mpSettingsStore) {
        log->out(LOGLEVEL_ERROR, "Settings::loadFromStore settings store is NULL\n");
        return;
    }
    mpSettingsStore->open(ZORVANE_FILE_READ_WRITE);
    char* raw = nullptr;
    int length = mpSettingsStore->read(raw, 0);
    std::unique_ptr<char[]> buffer(raw);
    if (length <= 0 || !buffer) {
        log->out(LOGLEVEL_WARN, "Settings::loadFromStore len is 0\n");
        mpSettingsStore->close();
        return;
    }
    log->out(LOGLEVEL_WARN, "Settings::loadFromStore len is %d\n", length);
    mpSettingsStore->close();
    String text(buffer.get(), length);
    if (text.empty()) {
        log->out(LOGLEVEL_WARN, "Settings::loadFromStore cred file is empty\n");
        return;
    }
    log->out(LOGLEVEL_INFO, "Settings::loadFromStore %s\n", maskForLog(text).c_str());
    populateFromString(text);
}

void Settings::saveToStore() {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger* log = Logger::instance();
    String text = toString();
    if (text.empty()) {
        log->out(LOGLEVEL_WARN, "Settings::saveToStore() Not saving %s\n", text.c_str());
        return;
    }
    log->out(LOGLEVEL_INFO, "Settings::saveToStore() %s\n", maskForLog(text).c_str());
    if (!mpSettingsStore) {
        log->out(LOGLEVEL_ERROR, "Settings::saveToStore settings store is NULL\n");
        return;
    }
    mpSettingsStore->open(ZORVANE_FILE_WRITE);
    mpSettingsStore->write(text.data(), static_cast<unsigned int>(text.length()));
    mpSettingsStore->close();
}

String Settings::maskForLog(const String& text) {
    // The digest is the second field of the account line: the line after the
    // server line and the optional "ALT:" line.
    String rest = text;
    String masked;
    String line;
    int lineNumber = 0;
    bool done = false;
    while (!done && takeLine(rest, line)) {
        ++lineNumber;
        bool accountLine = lineNumber == 2 ? !line.contains(kAltPrefix) : lineNumber == 3;
        if (accountLine) {
            String user;
            String tail;
            String digest;
            String filterSwitch;
            splitField(line, user, tail);
            splitField(tail, digest, filterSwitch);
            if (line.contains(kSep)) {
                line = String(user + kSep + "********" + (tail.contains(kSep) ? kSep : "") +
                              filterSwitch);
            }
            done = true;
        }
        masked += line + "\n";
    }
    return String(masked + rest);
}
