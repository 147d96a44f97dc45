#include "WinUsers.h"

#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include "Dialog.h"
#include "DialogRules.h"

namespace {

std::wstring sidText(const std::wstring& name) {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof sid;
    wchar_t domain[256];
    DWORD domainSize = 256;
    SID_NAME_USE use{};
    if (!LookupAccountNameW(nullptr, name.c_str(), sid, &sidSize, domain, &domainSize, &use)) {
        return std::wstring();
    }
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) {
        return std::wstring();
    }
    std::wstring result(text);
    LocalFree(text);
    return result;
}

}  // namespace

bool readMachineString(const std::wstring& key, const std::wstring& value, std::wstring& text) {
    HKEY handle = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t buffer[501] = {};
    DWORD size = 1000;
    DWORD type = 0;
    const LONG result = RegQueryValueExW(handle, value.c_str(), nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS) {
        return false;
    }
    text.assign(buffer, size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return true;
}

namespace {

void addUser(const USER_INFO_1& entry, std::vector<WinUserInfo>& users) {
    const std::wstring name = entry.usri1_name ? entry.usri1_name : L"";
    // The built-in guest is matched on the whole UTF-16 name.
    if (!accountListed((entry.usri1_flags & UF_ACCOUNTDISABLE) != 0,
                       entry.usri1_priv == USER_PRIV_GUEST, name == L"Guest" ? "Guest" : "")) {
        return;
    }
    WinUserInfo user;
    user.name = name;
    user.sid = sidText(name);
    user.accountType = static_cast<int>(entry.usri1_priv);
    user.profilePath = entry.usri1_home_dir ? entry.usri1_home_dir : L"";
    if (user.profilePath.empty()) {
        readMachineString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + user.sid,
                          L"ProfileImagePath", user.profilePath);
    }
    users.push_back(user);
}

// Systems that enumerate names only (level 0) give the details one account
// at a time.
void listByName(std::vector<WinUserInfo>& users) {
    USER_INFO_0* names = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS status = NetUserEnum(nullptr, 0, 0, reinterpret_cast<BYTE**>(&names),
                                              MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    if (status == NERR_Success && names) {
        for (DWORD i = 0; i < read; ++i) {
            USER_INFO_1* details = nullptr;
            if (NetUserGetInfo(nullptr, names[i].usri0_name, 1,
                               reinterpret_cast<BYTE**>(&details)) == NERR_Success &&
                details) {
                addUser(*details, users);
            }
            if (details) {
                NetApiBufferFree(details);
            }
        }
    }
    if (names) {
        NetApiBufferFree(names);
    }
}

}  // namespace

std::vector<WinUserInfo> listWindowsUsers() {
    std::vector<WinUserInfo> users;
    USER_INFO_1* entries = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    const NET_API_STATUS status = NetUserEnum(nullptr, 1, 0, reinterpret_cast<BYTE**>(&entries),
                                              MAX_PREFERRED_LENGTH, &read, &total, nullptr);
    if (status == ERROR_INVALID_LEVEL) {
        listByName(users);
        return users;
    }
    if (status == NERR_Success && entries) {
        for (DWORD i = 0; i < read; ++i) {
            addUser(entries[i], users);
        }
    }
    if (entries) {
        NetApiBufferFree(entries);
    }
    return users;
}
