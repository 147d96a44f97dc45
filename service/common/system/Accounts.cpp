#include "system/Accounts.h"

#include "base/Logger.h"

int GetWindowsUserList(std::vector<String>& sids) {
    std::vector<LocalAccount> accounts;
    if (!Accounts::listLocalAccounts(accounts)) {
        return -1;
    }
    for (const LocalAccount& account : accounts) {
        if (account.disabled || (account.guest && account.name != "Guest")) {
            continue;
        }
        if (account.sid.empty()) {
            Logger::instance()->out(LOGLEVEL_ERROR, "GetSidFromUserName failed\n");
            break;
        }
        sids.push_back(account.sid);
    }
    return static_cast<int>(sids.size());
}
