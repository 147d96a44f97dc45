// The sign-in half of Authentication: the connection-info and authentication
// exchanges and their reply parsers. (Authentication.cpp describes the PC.)
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "cloud/Authentication.h"
#include "zorvane_bytes.h"
#include "cloud/CloudConfig.h"
#include "system/Device.h"
#include "cloud/HttpTransfer.h"
#include "base/Logger.h"
#include "notifier/NotifyCodes.h"
#include "commands/NotifyCommand.h"
#include "settings/Settings.h"
#include "system/SystemInfo.h"

namespace {

const char kSep[] = ", ";
const char kMask[] = "********";

String trimmed(String text) {
    text.removeWhiteSpace();
    return text;
}

// "KEY, value" lines; a line without the separator has an empty value.
struct ReplyLine {
    String key;
    String value;
};

std::vector<ReplyLine> replyLines(const String& body) {
    std::vector<ReplyLine> lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        String line(body.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? body.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        int at = line.indexOf(kSep);
        if (at < 0) {
            lines.push_back({trimmed(line), String()});
        } else {
            lines.push_back({trimmed(String(line.substr(0, static_cast<size_t>(at)))),
                             trimmed(String(line.substr(static_cast<size_t>(at) + 2)))});
        }
    }
    return lines;
}

uint32_t decimal(const String& text) {
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    return value < 0 ? 0 : value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

bool isDecimal(const String& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

uint32_t schoolLevel(const String& text) {
    if (text.contains("Elementary School Level")) {
        return 1;
    }
    if (text.contains("Middle School Level")) {
        return 2;
    }
    if (text.contains("High School Level")) {
        return 3;
    }
    return 0;
}

}  // namespace

Authentication* Authentication::instance() {
    static Authentication* authentication = new Authentication();
    return authentication;
}

Authentication::Authentication() {
    mAuthTokenHandler["STATUS"] = &Authentication::statusTokenFn;
    mAuthTokenHandler["SESSIONID"] = &Authentication::sidTokenFn;
    mAuthTokenHandler["AUTHEXPIRY"] = &Authentication::authexpTokenFn;
    mAuthTokenHandler["DEVICEID"] = &Authentication::devIdTokenFn;
    mAuthTokenHandler["CHILDINFO"] = &Authentication::childTokenFn;
}

void Authentication::bin2hex(const unsigned char* bytes, int count, char* text) {
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < count; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
}

bool Authentication::md5Hex(const String& text, String& digest) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), bytes, &length, EVP_md5(), nullptr) != 1 ||
        length != 16) {
        return false;
    }
    char hex[33] = {};
    bin2hex(bytes, 16, hex);
    digest = String(hex);
    return true;
}

String Authentication::connectionRequestUrl(const String& url, const String& timeZone) {
    String zone;
    for (char c : timeZone) {
        if (c == ' ') {
            zone += "\\%20";
        } else {
            zone += c;
        }
    }
    return String(url + "?v=2.0&user=linux&timezone=" + zone);
}

bool Authentication::fetchConnectionInfoFromServer(std::shared_ptr<ConnectionInfo>& out) {
    const CloudConfig config = CloudConfig::current();
    const String zone = SystemInfo::timeZoneName();
    for (const String& server : {config.connectionUrl, config.connectionFallbackUrl}) {
        if (server.empty()) {
            continue;
        }
        String url = connectionRequestUrl(server, zone);
        Logger::instance()->out(LOGLEVEL_WARN, "connection url %s\n", url.c_str());
        HttpTransfer transfer;
        if (transfer.perform(url)) {
            return parseConnectionData(out, String(transfer.body()));
        }
    }
    return false;
}

bool Authentication::parseConnectionData(std::shared_ptr<ConnectionInfo>& out,
                                         const String& body) {
    Logger* log = Logger::instance();
    out.reset();
    bool versionSeen = false;
    String filter;
    String auth;
    String filter1;
    String publicIp;
    for (const ReplyLine& line : replyLines(body)) {
        if (!versionSeen) {
            if (line.key != "ZORVANE_VERSION") {
                continue;  // lines before the version are not ours
            }
            if (line.value.empty()) {
                break;
            }
            versionSeen = true;
            continue;
        }
        String* target = line.key == "FILTER"    ? &filter
                         : line.key == "AUTH"    ? &auth
                         : line.key == "FILTER1" ? &filter1
                         : line.key == "PUBLICIP" ? &publicIp
                                                  : nullptr;
        if (!target) {
            continue;
        }
        if (line.value.empty()) {
            break;
        }
        *target = line.value;
    }
    // A reply may only name servers whose answers are verified: a plain-HTTP
    // address would let whoever forged the reply answer the sign-in and the
    // host questions, so the whole reply is refused and the current
    // connection info stays.
    bool refused = false;
    const struct {
        const char* key;
        const String& value;
    } addresses[] = {{"FILTER", filter}, {"AUTH", auth}, {"FILTER1", filter1}};
    for (const auto& address : addresses) {
        if (!address.value.empty() && !ConnectionInfo::isHttpsUrl(address.value)) {
            log->out(LOGLEVEL_ERROR,
                     "Authentication::parseConnectionData refused %s %s: not an https address\n",
                     address.key, address.value.c_str());
            refused = true;
        }
    }
    if (filter.empty() || auth.empty() || refused) {
        log->out(LOGLEVEL_ERROR, "Authentication::parseConnectionData failed\n");
        return false;
    }
    log->out(LOGLEVEL_WARN, "filter server %s Auth Server %s\n", filter.c_str(), auth.c_str());
    auto info = std::make_shared<ConnectionInfo>();
    info->setFilterServer(filter);
    info->setAuthServer(auth);
    if (!filter1.empty()) {
        log->out(LOGLEVEL_INFO, "failback filter server %s\n", filter1.c_str());
        info->setAlternateFilterServer(filter1);
    }
    if (!publicIp.empty()) {
        log->out(LOGLEVEL_INFO, "public ip %s\n", publicIp.c_str());
        info->setPublicIp(publicIp);
    }
    out = info;
    Settings::instance()->setConnectionInfo(info);
    return true;
}

bool Authentication::authenticateUserFromServer(const String& user, const String& digest,
                                                unsigned int* responseCode) {
    Logger* log = Logger::instance();
    Settings* settings = Settings::instance();
    std::shared_ptr<ConnectionInfo> conn = settings->getConnectionInfo();
    if (!conn || user.empty() || digest.empty() || !responseCode) {
        log->out(LOGLEVEL_ERROR, "one is empty\n");
        return false;
    }
    *responseCode = 0;
    Device* device = settings->getDeviceInfo();
    if (!device) {
        log->out(LOGLEVEL_INFO, "Authentication::authenticateUserFromServer deviceInfo is empty\n");
        device = Device::instance();
    }
    String signature = device ? device->getDeviceSignature() : String();
    if (signature.empty()) {
        log->out(LOGLEVEL_INFO, "device sign is empty 1\n");
        signature = Device::instance() ? Device::instance()->getDeviceSignature() : String();
        if (signature.empty()) {
            log->out(LOGLEVEL_ERROR, "device sign is empty 2\n");
            return false;
        }
    }
    const String query("?user=" + user + "&passwd=");
    const String tail("&dev=" + signature + "&os=netbook&version=3");
    const String url(conn->getAuthServer() + query + digest + tail);
    log->out(LOGLEVEL_WARN, "auth url %s\n",
             String(conn->getAuthServer() + query + kMask + tail).c_str());

    HttpTransfer transfer;
    const String name = getSystemName();
    if (!name.empty()) {
        transfer.addHeader(String("Device-Name: " + name));
    }
    if (!conn->getPublicIp().empty()) {
        transfer.addHeader(String("Public-IP: " + conn->getPublicIp()));
    }
    const String deviceType = GetWindowsVersion();
    if (!deviceType.empty()) {
        transfer.addHeader(String("Device-Type: " + deviceType));
    }
    if (!transfer.perform(url)) {
        // An oversized reply came from a server that answered: not a reason
        // to fall back on the local check.
        *responseCode = transfer.bodyTooLarge()
                            ? static_cast<unsigned int>(AUTH_STATUS_FAILED_OTHER)
                            : static_cast<unsigned int>(AUTH_STATUS_CURL_ERROR);
        return false;
    }
    long status = 0;
    *responseCode = transfer.responseCode(status) ? static_cast<unsigned int>(status)
                                                  : static_cast<unsigned int>(AUTH_STATUS_CURL_ERROR);
    bool incomplete = false;
    if (parseAuthenticationData(user, digest, String(transfer.body()), &incomplete)) {
        log->out(LOGLEVEL_INFO, "parseAuthenticationData success\n");
        return true;
    }
    if (incomplete) {
        // The server answered, but not with the whole account.
        *responseCode = AUTH_STATUS_FAILED_OTHER;
    }
    return false;
}

bool Authentication::parseAuthenticationData(const String& user, const String& digest,
                                             const String& body, bool* incomplete) {
    Logger* log = Logger::instance();
    if (incomplete) {
        *incomplete = false;
    }
    mParsedUser = user;
    mParsedDigest = digest;
    mPassed = false;
    mChildList.clear();
    mChildrenTaken = 0;
    mParsedDeviceId = 0;
    mDeviceIdParsed = false;
    bool childrenCounted = false;
    uint32_t childCount = 0;
    // The reply's lines end in a line feed: a last line without one may have
    // been cut on the way (a session key or a count shortened), so it is not
    // taken.
    const size_t complete = body.rfind('\n');
    const String lines(complete == std::string::npos ? String()
                                                     : String(body.substr(0, complete + 1)));
    for (const ReplyLine& line : replyLines(lines)) {
        if (!mPassed) {
            if (line.key != "STATUS") {
                continue;  // nothing counts before the status
            }
            if (!statusTokenFn(line.value)) {
                return false;
            }
            continue;
        }
        if (line.key == "NCHILDREN") {
            if (line.value.empty() || !isDecimal(line.value)) {
                break;
            }
            childrenCounted = true;
            childCount = decimal(line.value);
            continue;
        }
        auto handler = mAuthTokenHandler.find(line.key);
        if (handler == mAuthTokenHandler.end()) {
            continue;
        }
        if (!childrenCounted) {
            break;  // the count must come first
        }
        if (!(this->*handler->second)(line.value)) {
            log->out(LOGLEVEL_ERROR, "Authentication::parseAuthenticationData failed %s\n",
                     line.key.c_str());
        }
    }
    if (!mPassed) {
        return false;
    }
    // A passed reply replaces the account, the children and the map's
    // children: one that lost its children on the way must replace nothing.
    if (!childrenCounted || mChildrenTaken != childCount) {
        if (childrenCounted) {
            log->out(LOGLEVEL_ERROR,
                     "Authentication::parseAuthenticationData incomplete reply: %u of %u "
                     "children\n",
                     static_cast<unsigned>(mChildrenTaken), static_cast<unsigned>(childCount));
        } else {
            log->out(LOGLEVEL_ERROR,
                     "Authentication::parseAuthenticationData incomplete reply: no child count\n");
        }
        mChildList.clear();
        if (incomplete) {
            *incomplete = true;
        }
        return false;
    }
    Settings* settings = Settings::instance();
    auto admin = std::make_shared<AdminInfo>();
    admin->setUser(mParsedUser);
    admin->setPassword(mParsedDigest);
    settings->setAdminInfo(admin);
    if (mDeviceIdParsed) {
        Device* device = Device::instance();
        if (device) {
            device->setDeviceId(mParsedDeviceId);
            settings->setDeviceInfo(device);
        }
    }
    settings->setChildList(mChildList);
    return true;
}

int Authentication::statusTokenFn(const String& value) {
    if (!value.contains("PASSED")) {
        Logger::instance()->out(LOGLEVEL_WARN, "Auth Status Failed!\n");
        return 0;
    }
    // What the reply carries is collected first and installed only once the
    // whole reply has been read and checked.
    mPassed = true;
    mChildList.clear();
    mChildrenTaken = 0;
    mParsedDeviceId = 0;
    mDeviceIdParsed = false;
    return 1;
}

int Authentication::sidTokenFn(const String& /*value*/) { return 1; }

int Authentication::authexpTokenFn(const String& /*value*/) { return 1; }

int Authentication::devIdTokenFn(const String& value) {
    if (!isDecimal(value)) {
        return 0;
    }
    mParsedDeviceId = decimal(value);
    mDeviceIdParsed = true;
    return 1;
}

int Authentication::childTokenFn(const String& value) {
    const char kField[] = "; ";
    String rest = value;
    String fields[3];
    for (String& field : fields) {
        int at = rest.indexOf(kField);
        if (at < 0) {
            return 0;
        }
        field = String(rest.substr(0, static_cast<size_t>(at)));
        rest = String(rest.substr(static_cast<size_t>(at) + 2));
    }
    ChildInfo child;
    child.setId(decimal(fields[0]));
    child.setName(fields[1]);
    child.setLevel(schoolLevel(fields[2]));
    child.setSessionKey(rest);
    if (child.getId() == 0) {
        return 0;
    }
    mChildList[child.getId()] = child;
    ++mChildrenTaken;
    return 1;
}

bool Authentication::isAuthNeeded() {
    Logger* log = Logger::instance();
    const SysZorvUserMap userMap = Settings::instance()->getSysZorvUserMap();
    if (userMap.empty()) {
        log->out(LOGLEVEL_INFO, "Authentication::isAuthNeeded userMap is empty\n");
        return false;
    }
    for (const auto& entry : userMap) {
        if (entry.second != 0) {
            log->out(LOGLEVEL_INFO, "Authentication::isAuthNeeded zorvane is enabled %s %d\n",
                     entry.first.c_str(), static_cast<int>(entry.second));
            return true;
        }
    }
    return false;
}

int Authentication::getConnection() {
    std::lock_guard<std::mutex> lock(mLock);
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Authentication::getConnection()\n");
    std::shared_ptr<ConnectionInfo> info;
    if (fetchConnectionInfoFromServer(info)) {
        log->out(LOGLEVEL_INFO, "Authentication::getConnection() passed\n");
        return 1;
    }
    log->out(LOGLEVEL_ERROR, "Authentication::getConnection() failed\n");
    return 0;
}

int Authentication::doAuth(const AdminInfo* given) {
    std::lock_guard<std::mutex> lock(mLock);
    return doAuthLocked(given);
}

int Authentication::doAuthLocked(const AdminInfo* given) {
    Logger* log = Logger::instance();
    Settings* settings = Settings::instance();
    std::shared_ptr<ConnectionInfo> conn = settings->getConnectionInfo();
    std::shared_ptr<AdminInfo> stored = settings->getAdminInfo();
    unsigned int responseCode = 0;
    bool result = false;
    log->out(LOGLEVEL_ERROR, "Authentication::doAuth fetchConnectionInfoFromServer() isAuthNeeded() %d\n",
             conn ? 0 : 1);
    if (!conn) {
        std::shared_ptr<ConnectionInfo> fetched;
        if (!fetchConnectionInfoFromServer(fetched)) {
            log->out(LOGLEVEL_ERROR, "fetchConnectionInfoFromServer() failed\n");
            return AUTH_STATUS_FAILED;
        }
        log->out(LOGLEVEL_INFO, "got new connection info\n");
    }

    if (given) {
        const String user = given->getUser();
        String digest;
        if (!md5Hex(given->getPassword(), digest)) {
            log->out(LOGLEVEL_ERROR, "doAuth() MD5 failed\n");
            return AUTH_STATUS_FAILED_OTHER;
        }
        // Neither the password nor its digest goes to the log.
        log->out(LOGLEVEL_INFO, "doAuth() user %s md5Passwd %s\n", user.c_str(), kMask);
        if (stored) {
            const String storedUser = trimmed(stored->getUser());
            log->out(LOGLEVEL_INFO, "doAuth() storedUser %s i/p-user %s\n", storedUser.c_str(),
                     user.c_str());
            if (!storedUser.empty() && storedUser != user) {
                log->out(LOGLEVEL_ERROR, "doAuth() stored and given user match failed!\n");
                return AUTH_STATUS_USER_MISMATCH;
            }
            if (!user.empty() && !digest.empty()) {
                result = authenticateUserFromServer(user, digest, &responseCode);
            }
            if (!result && responseCode == AUTH_STATUS_CURL_ERROR) {
                // The cloud cannot be reached: the stored digest decides.
                log->out(LOGLEVEL_INFO, "doAuth() local auth %s %s\n", kMask, kMask);
                return digest == stored->getPassword() ? AUTH_STATUS_PASSED : AUTH_STATUS_COMM_ERROR;
            }
        } else if (!user.empty() && !digest.empty()) {
            result = authenticateUserFromServer(user, digest, &responseCode);
        }
    } else if (stored && isAuthNeeded()) {
        log->out(LOGLEVEL_INFO, "stored user info user %s passwd %s\n", stored->getUser().c_str(),
                 kMask);
        const String user = trimmed(stored->getUser());
        const String digest = trimmed(stored->getPassword());
        if (!user.empty() && !digest.empty()) {
            result = authenticateUserFromServer(user, digest, &responseCode);
        }
    }

    log->out(LOGLEVEL_WARN, "doAuth() status %d respCode %d\n", result ? 1 : 0,
             static_cast<int>(responseCode));
    if (result) {
        settings->SetUserAuthStatus(AUTH_STATUS_PASSED);
        return AUTH_STATUS_PASSED;
    }
    return static_cast<int>(responseCode);
}

int Authentication::NotifyAuthFail(bool isBgAuth, int errCode) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "Authentication::NotifyAuthFail %d %d\n", isBgAuth ? 1 : 0, errCode);
    char record[16] = {};
    StoreLe32(record, NOTIFY_AUTH_FAIL);
    StoreLe32(record + 4, 0);
    StoreLe32(record + 8, static_cast<uint32_t>(errCode));
    record[12] = isBgAuth ? 1 : 0;
    NotifyCommand notice(record, sizeof record);
    std::unique_ptr<CommandResponse> response = notice.execute();
    int status = response ? response->getStatus() : 0;
    log->out(LOGLEVEL_INFO, "Authentication::NotifyAuthFail status %d\n", status);
    return status;
}

String Authentication::getSystemName() {
    String name = SystemInfo::computerName();
    if (!name.empty()) {
        Logger::instance()->out(LOGLEVEL_INFO, "Authentication::getSystemName %s\n", name.c_str());
    }
    return name;
}

String Authentication::GetWindowsPlatform() {
    String platform = SystemInfo::platform();
    Logger::instance()->out(LOGLEVEL_INFO, "Authentication::GetWindowsPlatform() platfrom %s\n",
                            platform.c_str());
    return platform;
}

String Authentication::GetWindowsVersion() {
    Logger::instance()->out(LOGLEVEL_INFO, "Authentication::GetWindowsVersion\n");
    return SystemInfo::versionDescription();
}

String Authentication::GetWindowsFlavour(unsigned long productType) {
    String flavour = windowsEditionName(productType);
    if (flavour.empty()) {
        Logger::instance()->out(LOGLEVEL_INFO, "Authentication::GetWindowsFlavour ret %s\n",
                                flavour.c_str());
    }
    return flavour;
}
