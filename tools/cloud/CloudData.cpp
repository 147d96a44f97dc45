#include "CloudData.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

using nlohmann::json;

namespace {

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw std::runtime_error(where + ": " + what);
}

// A misspelt key would otherwise be ignored silently and its default used.
void checkKeys(const json& object, const std::string& where,
               std::initializer_list<const char*> allowed) {
    if (!object.is_object()) {
        fail(where, "must be an object");
    }
    for (const auto& item : object.items()) {
        bool known = std::any_of(allowed.begin(), allowed.end(),
                                 [&](const char* key) { return item.key() == key; });
        if (!known) {
            fail(where, "unknown key \"" + item.key() + "\"");
        }
    }
}

std::string text(const json& object, const char* key, const std::string& where,
                 const std::string* fallback = nullptr) {
    auto found = object.find(key);
    if (found == object.end()) {
        if (fallback) {
            return *fallback;
        }
        fail(where, std::string("missing \"") + key + "\"");
    }
    if (!found->is_string()) {
        fail(where, std::string("\"") + key + "\" must be a string");
    }
    return found->get<std::string>();
}

long long number(const json& object, const char* key, const std::string& where, long long lowest,
                 long long highest, const long long* fallback = nullptr) {
    auto found = object.find(key);
    if (found == object.end()) {
        if (fallback) {
            return *fallback;
        }
        fail(where, std::string("missing \"") + key + "\"");
    }
    if (!found->is_number_integer()) {
        fail(where, std::string("\"") + key + "\" must be an integer");
    }
    long long value = found->get<long long>();
    if (value < lowest || value > highest) {
        fail(where, std::string("\"") + key + "\" out of range");
    }
    return value;
}

// Reply values are lines of "KEY, value": a line break would start a new key.
void checkOneLine(const std::string& value, const std::string& where, const char* key) {
    if (value.find_first_of("\r\n") != std::string::npos) {
        fail(where, std::string("\"") + key + "\" must not contain a line break");
    }
}

bool isLowerHex(const std::string& value) {
    return std::all_of(value.begin(), value.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string md5Hex(const std::string& value) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(value.data(), value.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        throw std::runtime_error("MD5 is not available");
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kDigits[digest[i] >> 4];
        hex += kDigits[digest[i] & 0x0f];
    }
    return hex;
}

std::string lowerCase(std::string value) {
    for (char& c : value) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return value;
}

std::vector<std::string> hostList(const json& object, const char* key, const std::string& where) {
    std::vector<std::string> hosts;
    auto found = object.find(key);
    if (found == object.end()) {
        return hosts;
    }
    if (!found->is_array()) {
        fail(where, std::string("\"") + key + "\" must be an array of host names");
    }
    for (const json& host : *found) {
        if (!host.is_string() || host.get<std::string>().empty()) {
            fail(where, std::string("\"") + key + "\" must hold non-empty host names");
        }
        hosts.push_back(lowerCase(host.get<std::string>()));
    }
    return hosts;
}

CloudChild parseChild(const json& entry, const std::string& where) {
    checkKeys(entry, where, {"id", "name", "level", "session_key", "session_expired", "hosts"});
    CloudChild child;
    child.id = static_cast<uint32_t>(number(entry, "id", where, 1, 0xFFFFFFFFLL));
    child.name = text(entry, "name", where);
    // "; " separates the fields of a CHILDINFO line.
    if (child.name.empty() || child.name.find(';') != std::string::npos) {
        fail(where, "\"name\" must be non-empty and without ';'");
    }
    checkOneLine(child.name, where, "name");
    child.level = static_cast<int>(number(entry, "level", where, 1, 3));
    child.sessionKey = text(entry, "session_key", where);
    // The key becomes part of the filter URL's path.
    bool urlSafe = std::all_of(child.sessionKey.begin(), child.sessionKey.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '-' || c == '_' || c == '.' || c == '~';
    });
    if (child.sessionKey.empty() || !urlSafe) {
        fail(where, "\"session_key\" must be non-empty letters, digits, '-', '_', '.', '~'");
    }
    auto expired = entry.find("session_expired");
    if (expired != entry.end()) {
        if (!expired->is_boolean()) {
            fail(where, "\"session_expired\" must be true or false");
        }
        child.sessionExpired = expired->get<bool>();
    }
    auto hosts = entry.find("hosts");
    if (hosts != entry.end()) {
        if (!hosts->is_object()) {
            fail(where, "\"hosts\" must be an object of host -> verdict or reply text");
        }
        for (const auto& item : hosts->items()) {
            const std::string host = lowerCase(item.key());
            if (host.empty()) {
                fail(where, "\"hosts\" names an empty host");
            }
            if (item.value().is_number_integer()) {
                // The reply the real filter gives: some text, a comma, the verdict.
                child.hostReplies[host] =
                    host + "," + std::to_string(item.value().get<long long>());
            } else if (item.value().is_string()) {
                child.hostReplies[host] = item.value().get<std::string>();
            } else {
                fail(where, "\"hosts\" value for \"" + item.key() +
                                "\" must be a verdict number or a reply text");
            }
        }
    }
    return child;
}

CloudAccount parseAccount(const json& entry, const std::string& where) {
    checkKeys(entry, where,
              {"user", "password", "password_md5", "password_hint", "active", "children",
               "pass_reply_lines"});
    CloudAccount account;
    account.user = text(entry, "user", where);
    if (account.user.empty()) {
        fail(where, "\"user\" must not be empty");
    }
    checkOneLine(account.user, where, "user");
    if (entry.contains("password") == entry.contains("password_md5")) {
        fail(where, "give exactly one of \"password\" and \"password_md5\"");
    }
    if (entry.contains("password")) {
        account.passwordMd5 = md5Hex(text(entry, "password", where));
    } else {
        account.passwordMd5 = text(entry, "password_md5", where);
        if (account.passwordMd5.size() != 32 || !isLowerHex(account.passwordMd5)) {
            fail(where, "\"password_md5\" must be 32 lowercase hexadecimal digits");
        }
    }
    auto active = entry.find("active");
    if (active != entry.end()) {
        if (!active->is_boolean()) {
            fail(where, "\"active\" must be true or false");
        }
        account.active = active->get<bool>();
    }
    const long long whole = 0;
    account.passReplyLines =
        static_cast<int>(number(entry, "pass_reply_lines", where, 1, 1000000, &whole));
    auto children = entry.find("children");
    if (children != entry.end()) {
        if (!children->is_array()) {
            fail(where, "\"children\" must be an array");
        }
        std::set<uint32_t> ids;
        for (size_t i = 0; i < children->size(); ++i) {
            CloudChild child = parseChild((*children)[i], where + " child " + std::to_string(i));
            if (!ids.insert(child.id).second) {
                fail(where, "child id " + std::to_string(child.id) + " given twice");
            }
            account.children.push_back(child);
        }
    }
    return account;
}

// "a.b.c.d" or "a.b.c.d/n" as (address, mask) in host order.
std::pair<uint32_t, uint32_t> parseNetwork(const std::string& value, const std::string& where) {
    const size_t slash = value.find('/');
    const std::string address = value.substr(0, slash);
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        fail(where, "\"" + value + "\" is not an IPv4 address or network");
    }
    int bits = 32;
    if (slash != std::string::npos) {
        const std::string length = value.substr(slash + 1);
        char* end = nullptr;
        const long n = std::strtol(length.c_str(), &end, 10);
        if (length.empty() || *end != '\0' || n < 0 || n > 32) {
            fail(where, "\"" + value + "\" has no prefix length 0 to 32");
        }
        bits = static_cast<int>(n);
    }
    const uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    return {ntohl(parsed.s_addr) & mask, mask};
}

}  // namespace

const CloudChild* CloudData::findChildByKey(const std::string& sessionKey,
                                            const CloudAccount** account) const {
    for (const auto& owner : accounts) {
        for (const auto& child : owner.children) {
            if (child.sessionKey == sessionKey) {
                if (account) {
                    *account = &owner;
                }
                return &child;
            }
        }
    }
    return nullptr;
}

const CloudChild* CloudData::findChildById(uint32_t id) const {
    for (const auto& owner : accounts) {
        for (const auto& child : owner.children) {
            if (child.id == id) {
                return &child;
            }
        }
    }
    return nullptr;
}

bool CloudData::pageFetchAllowed(uint32_t address) const {
    for (const auto& network : pageFetchAllow) {
        if ((address & network.second) == network.first) {
            return true;
        }
    }
    return false;
}

const CloudAccount* CloudData::findAccount(const std::string& user) const {
    for (const auto& account : accounts) {
        if (account.user == user) {
            return &account;
        }
    }
    return nullptr;
}

namespace {

UpdateFile parseUpdateFile(const json& entry, const std::string& where) {
    checkKeys(entry, where, {"name", "text", "size", "status", "wrong_digest"});
    UpdateFile file;
    file.name = text(entry, "name", where);
    if (file.name.empty() || file.name.find_first_of("/\\,?#% \r\n") != std::string::npos) {
        fail(where, "\"name\" must be a plain file name");
    }
    const bool hasText = entry.contains("text");
    const bool hasSize = entry.contains("size");
    if (hasText == hasSize) {
        fail(where, "give exactly one of \"text\" and \"size\"");
    }
    if (hasText) {
        file.content = text(entry, "text", where);
    } else {
        const long long size = number(entry, "size", where, 0, 64LL * 1024 * 1024);
        file.content.resize(static_cast<size_t>(size));
        for (size_t i = 0; i < file.content.size(); ++i) {
            file.content[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        }
    }
    const long long ok = 200;
    file.status = static_cast<int>(number(entry, "status", where, 200, 599, &ok));
    auto wrong = entry.find("wrong_digest");
    if (wrong != entry.end()) {
        if (!wrong->is_boolean()) {
            fail(where, "\"wrong_digest\" must be true or false");
        }
        file.wrongDigest = wrong->get<bool>();
    }
    return file;
}

UpdateRelease parseRelease(const json& entry, const std::string& where) {
    checkKeys(entry, where, {"version", "version_info", "setup_file", "file_url", "digests",
                             "files", "empty_metadata"});
    UpdateRelease release;
    const std::string none;
    const std::string defaultUrl = "https://{host}:{https_port}/windows7/{platform}/files/";
    release.version = text(entry, "version", where);
    release.versionInfo = text(entry, "version_info", where, &none);
    release.setupFile = text(entry, "setup_file", where, &none);
    release.fileUrl = text(entry, "file_url", where, &defaultUrl);
    checkOneLine(release.version, where, "version");
    checkOneLine(release.versionInfo, where, "version_info");
    checkOneLine(release.setupFile, where, "setup_file");
    checkOneLine(release.fileUrl, where, "file_url");
    for (const char* flag : {"digests", "empty_metadata"}) {
        auto found = entry.find(flag);
        if (found == entry.end()) {
            continue;
        }
        if (!found->is_boolean()) {
            fail(where, std::string("\"") + flag + "\" must be true or false");
        }
        (std::string(flag) == "digests" ? release.digests : release.emptyMetadata) =
            found->get<bool>();
    }
    auto files = entry.find("files");
    if (files != entry.end()) {
        if (!files->is_array()) {
            fail(where, "\"files\" must be an array");
        }
        std::set<std::string> names;
        for (size_t i = 0; i < files->size(); ++i) {
            UpdateFile file = parseUpdateFile((*files)[i], where + " file " + std::to_string(i));
            if (!names.insert(file.name).second) {
                fail(where, "file \"" + file.name + "\" given twice");
            }
            release.files.push_back(std::move(file));
        }
    }
    return release;
}

}  // namespace

CloudData CloudData::parse(const std::string& jsonText) {
    json root;
    try {
        root = json::parse(jsonText);
    } catch (const json::parse_error& error) {
        fail("data", std::string("not valid JSON: ") + error.what());
    }
    checkKeys(root, "data",
              {"about", "zorvane_version", "filter", "filter1", "auth", "auth_expiry_seconds",
               "accounts", "devices", "https_filter", "page_fetch_allow", "updates"});
    CloudData data;
    data.version = text(root, "zorvane_version", "data");
    // The client reads a decimal number and stops at an empty value.
    if (data.version.empty() || !std::all_of(data.version.begin(), data.version.end(),
                                             [](char c) { return c >= '0' && c <= '9'; })) {
        fail("data", "\"zorvane_version\" must be decimal digits");
    }
    const std::string defaultFilter = "https://{host}:{https_port}/zorv";
    const std::string noFallback;
    const std::string defaultAuth = "https://{host}:{https_port}/cgi-bin/auth";
    data.filterUrl = text(root, "filter", "data", &defaultFilter);
    data.fallbackFilterUrl = text(root, "filter1", "data", &noFallback);
    data.authUrl = text(root, "auth", "data", &defaultAuth);
    // The client takes the host verdict URL from the part after "https://".
    if (data.filterUrl.rfind("https://", 0) != 0) {
        fail("data", "\"filter\" must start with https://");
    }
    if (data.authUrl.empty()) {
        fail("data", "\"auth\" must not be empty");
    }
    checkOneLine(data.filterUrl, "data", "filter");
    checkOneLine(data.fallbackFilterUrl, "data", "filter1");
    checkOneLine(data.authUrl, "data", "auth");
    const long long defaultExpiry = 86400;
    data.authExpirySeconds = static_cast<long>(
        number(root, "auth_expiry_seconds", "data", 0, 0x7FFFFFFF, &defaultExpiry));

    auto accounts = root.find("accounts");
    if (accounts == root.end() || !accounts->is_array()) {
        fail("data", "\"accounts\" must be an array");
    }
    for (size_t i = 0; i < accounts->size(); ++i) {
        CloudAccount account = parseAccount((*accounts)[i], "account " + std::to_string(i));
        if (data.findAccount(account.user)) {
            fail("account " + std::to_string(i), "user \"" + account.user + "\" given twice");
        }
        data.accounts.push_back(account);
    }

    auto devices = root.find("devices");
    if (devices != root.end()) {
        if (!devices->is_array()) {
            fail("data", "\"devices\" must be an array");
        }
        for (size_t i = 0; i < devices->size(); ++i) {
            const std::string where = "device " + std::to_string(i);
            const json& entry = (*devices)[i];
            checkKeys(entry, where, {"signature", "account"});
            std::string signature = text(entry, "signature", where);
            std::string owner = text(entry, "account", where);
            if (signature.empty()) {
                fail(where, "\"signature\" must not be empty");
            }
            if (!data.findAccount(owner)) {
                fail(where, "account \"" + owner + "\" is not in \"accounts\"");
            }
            if (!data.deviceOwners.emplace(signature, owner).second) {
                fail(where, "signature \"" + signature + "\" given twice");
            }
        }
    }
    auto filter = root.find("https_filter");
    if (filter != root.end()) {
        checkKeys(*filter, "https_filter", {"1", "2", "3"});
        for (const auto& item : filter->items()) {
            const std::string where = "https_filter level " + item.key();
            checkKeys(item.value(), where, {"block", "allow"});
            LevelHosts& lists = data.levelHosts[std::stoi(item.key())];
            lists.block = hostList(item.value(), "block", where);
            lists.allow = hostList(item.value(), "allow", where);
        }
    }
    auto fetchAllow = root.find("page_fetch_allow");
    if (fetchAllow == root.end()) {
        data.pageFetchAllow.emplace_back(0x7F000000u, 0xFF000000u);
    } else {
        if (!fetchAllow->is_array()) {
            fail("data", "\"page_fetch_allow\" must be an array");
        }
        for (size_t i = 0; i < fetchAllow->size(); ++i) {
            const std::string where = "page_fetch_allow " + std::to_string(i);
            const json& entry = (*fetchAllow)[i];
            if (!entry.is_string()) {
                fail(where, "must be a text like \"10.0.0.0/8\"");
            }
            data.pageFetchAllow.push_back(parseNetwork(entry.get<std::string>(), where));
        }
    }
    auto updates = root.find("updates");
    if (updates != root.end()) {
        if (!updates->is_object()) {
            fail("data", "\"updates\" must be an object of platforms");
        }
        for (const auto& item : updates->items()) {
            if (item.key().empty() || item.key().find_first_of("/?#% ") != std::string::npos) {
                fail("updates", "platform \"" + item.key() + "\" is no plain name");
            }
            data.updates[item.key()] = parseRelease(item.value(), "updates " + item.key());
        }
    }
    std::set<std::string> keys;
    for (const auto& account : data.accounts) {
        for (const auto& child : account.children) {
            // The filter finds the child by its key alone.
            if (!keys.insert(child.sessionKey).second) {
                fail("account " + account.user,
                     "session key \"" + child.sessionKey + "\" given twice");
            }
        }
    }
    return data;
}

const char* levelText(int level) {
    switch (level) {
        case 1:
            return "Elementary School Level";
        case 2:
            return "Middle School Level";
        case 3:
            return "High School Level";
        default:
            return "";
    }
}
