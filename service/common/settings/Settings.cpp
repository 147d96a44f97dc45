#include "settings/Settings.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>

#include "base/Logger.h"
#include "settings/SettingsText.h"
#include "notifier/Notifier.h"
#include "port/ProcessInfo.h"
#include "system/SystemInfo.h"

using SettingsText::decimal;
using SettingsText::decimalText;
using SettingsText::kAltPrefix;
using SettingsText::kSep;
using SettingsText::takeLine;

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
        text += SettingsText::userMapLine(entry.first, entry.second);
    }
    return static_cast<int>(text.length());
}

bool Settings::populateUserMapFromString(String text) {
    return populateUserMapLines(SettingsText::normalizedText(text), 0);
}

bool Settings::populateUserMapLines(String text, int firstLine) {
    if (text.empty()) {
        return false;
    }
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Settings::populateUserMapFromString userMap %s size %d\n",
             text.c_str(), static_cast<int>(mSysZorvUserMap.size()));
    mSysZorvUserMap.clear();
    for (int number = 0; !text.empty(); ++number) {
        String line;
        if (!takeLine(text, line)) {
            // The last line may come without its line end.
            line = text;
            text.clear();
        }
        String sid;
        uint32_t childId = 0;
        String why;
        if (!SettingsText::parseUserMapLine(line, sid, childId, &why)) {
            log->out(LOGLEVEL_ERROR, "populateUserMapFromString - data corruption\n");
            String blank = line;
            blank.removeWhiteSpace();
            if (blank.empty()) {
                continue;  // an empty map is written as an empty line
            }
            ++mDroppedLines;
            if (firstLine > 0) {
                log->out(LOGLEVEL_ERROR,
                         "Settings: line %d of the settings file dropped (user map): %s\n",
                         firstLine + number, why.c_str());
            } else {
                log->out(LOGLEVEL_ERROR, "Settings: user-map line %d dropped: %s\n", number + 1,
                         why.c_str());
            }
            continue;
        }
        log->out(LOGLEVEL_INFO, "populateUserMapFromString %s vs %d\n", sid.c_str(),
                 static_cast<int>(childId));
        mSysZorvUserMap[sid] = childId;
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
    // Read again here while the adapters were not up; a file without one
    // would be refused at the next start.
    const String signature = mpDevice->getDeviceSignature();
    if (signature.empty()) {
        log->out(LOGLEVEL_ERROR, "Settings::toString no device signature - not written\n");
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
    text += decimalText(mpDevice->getDeviceId()) + kSep + signature + "\n";

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
        text += SettingsText::childLine(entry.first, child);
    }
    log->out(LOGLEVEL_INFO, "toString settingCache %s\n", maskForLog(text).c_str());
    return text;
}

namespace {

// The line number (from 1) in `text` at which its tail `rest` starts.
int lineAt(const String& text, const String& rest) {
    const size_t done = text.size() - rest.size();
    return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(done), '\n'));
}

}  // namespace

void Settings::populateFromString(String text) {
    Logger* log = Logger::instance();
    std::lock_guard<std::recursive_mutex> lock(mLock);
    mDroppedLines = 0;
    text = SettingsText::normalizedText(text);
    if (text.empty()) {
        log->out(LOGLEVEL_ERROR, "Settings::populateFromString error in settings read\n");
        return;
    }
    log->out(LOGLEVEL_INFO, "populateFromString settingCache %s\n", maskForLog(text).c_str());

    // The head lines are checked whole before anything is applied.
    String rest = text;
    SettingsText::HeadLines head;
    String why;
    if (!SettingsText::takeHeadLines(rest, head, why)) {
        mDroppedLines = lineAt(text, String()) - (text.back() == '\n' ? 1 : 0);
        log->out(LOGLEVEL_ERROR,
                 "Settings: the settings file holds no usable account - %s; nothing of it is "
                 "used and the parent signs in again\n",
                 why.c_str());
        return;
    }

    auto conn = std::make_shared<ConnectionInfo>();
    conn->setAuthServer(head.authServer);
    conn->setFilterServer(head.filterServer);
    conn->setFilterServerPort(static_cast<uint16_t>(decimal(head.filterPort)));
    if (!head.alternateServer.empty() && !head.alternatePort.empty() &&
        static_cast<uint16_t>(decimal(head.alternatePort)) != 0) {
        conn->setAlternateFilterServer(head.alternateServer);
        conn->setAlternateFilterServerPort(static_cast<uint16_t>(decimal(head.alternatePort)));
    }
    mpConnectionInfo = std::move(conn);

    auto admin = std::make_shared<AdminInfo>();
    admin->setUser(head.user);
    admin->setPassword(head.digest);
    isFilterEnabled = decimal(head.filterSwitch) != 0;
    mpAdminInfo = std::move(admin);

    if (mpDevice) {
        mpDevice->setDeviceId(decimal(head.deviceId));
        mpDevice->setDeviceSignature(head.signature);
    }

    log->out(LOGLEVEL_INFO, "populateFromString before userMap %s\n",
             SettingsText::maskSessionKeys(rest).c_str());
    int mapLine = lineAt(text, rest);
    String userMap = SettingsText::takeUserMapBlock(rest);
    // Blank lines the trim below drops still count for the line numbers.
    const size_t firstData = userMap.find_first_not_of(" \r\n");
    if (firstData != String::npos) {
        mapLine += static_cast<int>(
            std::count(userMap.begin(), userMap.begin() + static_cast<long>(firstData), '\n'));
    }
    userMap.removeWhiteSpace();
    populateUserMapLines(String(userMap + "\n"), mapLine);

    mChildInfoList.clear();
    String line;
    while (!rest.empty()) {
        const int number = lineAt(text, rest);
        if (!takeLine(rest, line)) {
            // A last line without its line end was cut short.
            log->out(LOGLEVEL_ERROR, "corrupt data in cred file - zorv child\n");
            log->out(LOGLEVEL_ERROR,
                     "Settings: line %d of the settings file dropped (child profile): cut "
                     "short, no line end\n",
                     number);
            ++mDroppedLines;
            break;
        }
        ChildInfo child;
        if (!SettingsText::parseChildLine(line, child, &why)) {
            log->out(LOGLEVEL_ERROR, "corrupt data in cred file - zorv child\n");
            log->out(LOGLEVEL_ERROR,
                     "Settings: line %d of the settings file dropped (child profile): %s\n",
                     number, why.c_str());
            ++mDroppedLines;
            continue;
        }
        mChildInfoList[child.getId()] = child;
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
    // What a damaged file left of the record, in one line.
    const String user = mpAdminInfo ? mpAdminInfo->getUser() : String();
    log->out(mDroppedLines > 0 ? LOGLEVEL_WARN : LOGLEVEL_INFO,
             "Settings::loadFromStore account %s, %d user-map entries, %d child profiles, %d "
             "lines dropped\n",
             user.empty() ? "(none)" : user.c_str(), static_cast<int>(mSysZorvUserMap.size()),
             static_cast<int>(mChildInfoList.size()), mDroppedLines);
}

bool Settings::saveToStore() {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    Logger* log = Logger::instance();
    String text = toString();
    if (text.empty()) {
        log->out(LOGLEVEL_WARN, "Settings::saveToStore() Not saving %s\n",
                 maskForLog(text).c_str());
        return false;
    }
    log->out(LOGLEVEL_INFO, "Settings::saveToStore() %s\n", maskForLog(text).c_str());
    if (!mpSettingsStore) {
        log->out(LOGLEVEL_ERROR, "Settings::saveToStore settings store is NULL\n");
        return false;
    }
    mpSettingsStore->open(ZORVANE_FILE_WRITE);
    mpSettingsStore->write(text.data(), static_cast<unsigned int>(text.length()));
    if (!mpSettingsStore->close()) {
        log->out(LOGLEVEL_ERROR,
                 "Settings::saveToStore() failed - the settings file keeps its former contents\n");
        return false;
    }
    return true;
}

UserMapChange Settings::updateAndSaveSysZorvUserMap(const String& text) {
    std::lock_guard<std::recursive_mutex> lock(mLock);
    const SysZorvUserMap former = mSysZorvUserMap;
    if (!updateSysZorvUserMap(text)) {
        return UserMapChange::REFUSED;
    }
    if (!saveToStore()) {
        mSysZorvUserMap = former;
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "Settings: the user map could not be saved - the former map "
                                "stays in force\n");
        return UserMapChange::NOT_SAVED;
    }
    return UserMapChange::SAVED;
}

String Settings::maskForLog(const String& text) {
    return SettingsText::maskForLog(text);
}
