#pragma once

#include "base/String.h"

// "user,password" as the desktop program sends it: the text up to the first
// NUL (or the end of what arrived); the first comma splits it, so a password
// may hold commas and a user name may not. Without a comma both are empty.
struct Credentials {
    String user;
    String password;
};

Credentials parseCredentials(const char* text, int length);
