#include <pwd.h>
#include <shadow.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "system/Accounts.h"

namespace {

// Accounts people sign in to: root and the regular user range, with a shell
// that lets them in.
bool interactive(const passwd& entry) {
    const std::string shell = entry.pw_shell ? entry.pw_shell : "";
    if (shell.empty() || shell.find("nologin") != std::string::npos ||
        (shell.size() >= 5 && shell.compare(shell.size() - 5, 5, "false") == 0)) {
        return false;
    }
    return entry.pw_uid == 0 || (entry.pw_uid >= 1000 && entry.pw_uid != 65534);
}

const char* pathFromEnvironment(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// Names whose password is locked ("!" or "*" first). Unreadable (not root):
// none known.
std::map<std::string, bool> lockedAccounts() {
    std::map<std::string, bool> locked;
    FILE* file = std::fopen(pathFromEnvironment("ZORVANE_SHADOW_FILE", "/etc/shadow"), "r");
    if (!file) {
        return locked;
    }
    while (spwd* entry = fgetspent(file)) {
        const char* hash = entry->sp_pwdp ? entry->sp_pwdp : "";
        locked[entry->sp_namp] = hash[0] == '!' || hash[0] == '*';
    }
    std::fclose(file);
    return locked;
}

}  // namespace

namespace Accounts {

bool listLocalAccounts(std::vector<LocalAccount>& accounts) {
    FILE* file = std::fopen(pathFromEnvironment("ZORVANE_PASSWD_FILE", "/etc/passwd"), "r");
    if (!file) {
        return false;
    }
    const std::map<std::string, bool> locked = lockedAccounts();
    while (passwd* entry = fgetpwent(file)) {
        if (!interactive(*entry)) {
            continue;
        }
        LocalAccount account;
        account.name = entry->pw_name;
        // The SID form of a Unix user.
        account.sid = String("S-1-22-1-" + std::to_string(entry->pw_uid));
        auto found = locked.find(entry->pw_name);
        account.disabled = found != locked.end() && found->second;
        accounts.push_back(account);
    }
    std::fclose(file);
    return true;
}

}  // namespace Accounts
