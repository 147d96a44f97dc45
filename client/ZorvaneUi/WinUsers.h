#pragma once

#include <string>
#include <vector>

// One listed Windows account of the mapping dialog.
struct WinUserInfo {
    int accountType = 0;  // privilege level: 0 guest, 1 user, 2 administrator
    std::wstring name;
    std::wstring profilePath;
    std::wstring sid;  // empty when the lookup failed
};

// The local accounts in enumeration order, without disabled accounts and
// the built-in "Guest".
std::vector<WinUserInfo> listWindowsUsers();

// A string value under HKEY_LOCAL_MACHINE (at most 1000 bytes, as stored);
// false when it cannot be read.
bool readMachineString(const std::wstring& key, const std::wstring& value, std::wstring& text);
