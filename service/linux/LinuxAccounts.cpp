#include <pwd.h>
#include <shadow.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>

#include "system/Accounts.h"

namespace {

// Accounts of people: root and the regular user range.
bool personal(const passwd& entry) {
    return entry.pw_uid == 0 || (entry.pw_uid >= 1000 && entry.pw_uid != 65534);
}

// A shell that refuses every sign-in. An empty one is /bin/sh.
bool noLogin(const passwd& entry) {
    const std::string shell = entry.pw_shell ? entry.pw_shell : "";
    return shell.find("nologin") != std::string::npos ||
           (shell.size() >= 5 && shell.compare(shell.size() - 5, 5, "false") == 0);
}

const char* pathFromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// Names whose account has expired (the expiry day, counted from 1970, has
// come; 0 or empty means never, as login reads it). A locked password is not
// an expiry: its user may still sign in another way (keys, su, a display
// manager's own rules) and is at the PC like anyone else. Unreadable (not
// root): none known.
std::map<std::string, bool> expiredAccounts() {
    std::map<std::string, bool> expired;
    FILE* file = std::fopen(pathFromEnvironment("ZORVANE_SHADOW_FILE", "/etc/shadow"), "r");
    if (!file) {
        return expired;
    }
    const long today = static_cast<long>(std::time(nullptr) / 86400);
    while (spwd* entry = fgetspent(file)) {
        expired[entry->sp_namp] = entry->sp_expire > 0 && today >= entry->sp_expire;
    }
    std::fclose(file);
    return expired;
}

}  // namespace

namespace Accounts {

bool listLocalAccounts(std::vector<LocalAccount>& accounts) {
    FILE* file = std::fopen(pathFromEnvironment("ZORVANE_PASSWD_FILE", "/etc/passwd"), "r");
    if (!file) {
        return false;
    }
    const std::map<std::string, bool> expired = expiredAccounts();
    while (passwd* entry = fgetpwent(file)) {
        if (!personal(*entry)) {
            continue;
        }
        LocalAccount account;
        account.name = entry->pw_name;
        // The SID form of a Unix user.
        account.sid = String("S-1-22-1-" + std::to_string(entry->pw_uid));
        auto found = expired.find(entry->pw_name);
        account.disabled = noLogin(*entry) || (found != expired.end() && found->second);
        accounts.push_back(account);
    }
    std::fclose(file);
    return true;
}

}  // namespace Accounts
