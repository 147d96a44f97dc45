#pragma once

#include <vector>

#include "base/String.h"

// One local user account as the system lists it.
struct LocalAccount {
    String name;
    String sid;          // empty when the SID could not be looked up
    bool disabled = false;
    bool guest = false;  // guest privilege level
};

namespace Accounts {

// Every local account in the system's order; false when they cannot be listed.
// One implementation per platform.
bool listLocalAccounts(std::vector<LocalAccount>& accounts);

}  // namespace Accounts

// The SIDs of the accounts that get notices when nobody is mapped: enabled
// accounts, and of the guest-level ones only the one named "Guest". Stops at
// the first account whose SID cannot be found. The number of SIDs, or -1 when
// the accounts cannot be listed.
int GetWindowsUserList(std::vector<String>& sids);
