#include <windows.h>

#include <lm.h>
#include <sddl.h>

#include <vector>

#include "system/Accounts.h"

namespace {

// Account names are UTF-16; the SID lookup takes the ANSI form.
String narrow(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return String();
    }
    std::vector<char> bytes(static_cast<size_t>(size));
    WideCharToMultiByte(CP_ACP, 0, text, -1, bytes.data(), size, nullptr, nullptr);
    return String(bytes.data());
}

// Size query, lookup, string form; empty on failure.
String GetSidFromUserName(const String& name) {
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameA(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) {
        return String();
    }
    std::vector<char> sid(sidSize);
    std::vector<char> domain(domainSize + 1);
    if (!LookupAccountNameA(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(),
                            &domainSize, &use)) {
        return String();
    }
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid.data(), &text)) {
        return String();
    }
    String result(text);
    LocalFree(text);
    return result;
}

LocalAccount accountFrom(const USER_INFO_1& user) {
    LocalAccount account;
    account.name = narrow(user.usri1_name);
    account.disabled = (user.usri1_flags & UF_ACCOUNTDISABLE) != 0;
    account.guest = user.usri1_priv == USER_PRIV_GUEST;
    if (!account.disabled && (!account.guest || account.name == "Guest")) {
        account.sid = GetSidFromUserName(account.name);
    }
    return account;
}

// Systems that list names only (level 0) give the details one account at a time.
bool listByName(std::vector<LocalAccount>& accounts) {
    BYTE* buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    NET_API_STATUS status =
        NetUserEnum(nullptr, 0, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    if (status != NERR_Success && status != ERROR_MORE_DATA) {
        if (buffer) {
            NetApiBufferFree(buffer);
        }
        return false;
    }
    const auto* names = reinterpret_cast<const USER_INFO_0*>(buffer);
    for (DWORD i = 0; i < read; ++i) {
        BYTE* details = nullptr;
        if (NetUserGetInfo(nullptr, names[i].usri0_name, 1, &details) == NERR_Success) {
            accounts.push_back(accountFrom(*reinterpret_cast<const USER_INFO_1*>(details)));
        }
        if (details) {
            NetApiBufferFree(details);
        }
    }
    NetApiBufferFree(buffer);
    return true;
}

}  // namespace

namespace Accounts {

bool listLocalAccounts(std::vector<LocalAccount>& accounts) {
    BYTE* buffer = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    NET_API_STATUS status =
        NetUserEnum(nullptr, 1, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    if (status == ERROR_INVALID_LEVEL) {
        return listByName(accounts);
    }
    if (status != NERR_Success && status != ERROR_MORE_DATA) {
        if (buffer) {
            NetApiBufferFree(buffer);
        }
        return false;
    }
    const auto* users = reinterpret_cast<const USER_INFO_1*>(buffer);
    for (DWORD i = 0; i < read; ++i) {
        accounts.push_back(accountFrom(users[i]));
    }
    NetApiBufferFree(buffer);
    return true;
}

}  // namespace Accounts
