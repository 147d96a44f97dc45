#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "base/String.h"

// What is wrong with a user-map text: the first bad line (counted from 1),
// the line as given and why.
struct UserMapProblem {
    int line = 0;
    std::string text;
    std::string reason;
};

// Checks a user-map text ("SID, child id" lines, as the desktop program
// sends it) before anything of it is stored: every line that is not blank
// names an account SID and a decimal child id that is 0 (not filtered) or
// one of `childIds`, the account's children. A map the service cannot read
// whole is refused whole: storing what parses would silently unfilter users.
bool checkUserMapText(const String& text, const std::set<uint32_t>& childIds,
                      UserMapProblem& problem);

// The child ids of a child-list text ("id, level, name" lines).
std::set<uint32_t> childIdsOfList(const String& text);
