#pragma once

#include "base/String.h"

// The parent's cloud account: the name and, once signed in, the lowercase
// hex MD5 digest of the password (the password as typed only while a sign-in
// request is on its way).
class AdminInfo {
public:
    void setUser(const String& user) { mUser = user; }
    String getUser() const { return mUser; }
    void setPassword(const String& password) { mPasswd = password; }
    String getPassword() const { return mPasswd; }

private:
    String mUser;
    String mPasswd;
};
