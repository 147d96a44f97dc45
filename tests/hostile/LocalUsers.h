#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Real local accounts for tests that play a user of the same PC: made with
// useradd when the object is built and removed with userdel when it goes.
// Needs root.
struct LocalUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    // The account's SID text as the service names it.
    std::string sid() const { return "S-1-22-1-" + std::to_string(uid); }
};

class LocalUsers {
public:
    // Why accounts cannot be made here; empty when they can.
    static std::string unavailable();

    // Makes `count` accounts; throws std::runtime_error when one cannot be made.
    explicit LocalUsers(int count);
    ~LocalUsers();
    LocalUsers(const LocalUsers&) = delete;
    LocalUsers& operator=(const LocalUsers&) = delete;

    const LocalUser& operator[](size_t index) const { return mUsers.at(index); }

private:
    void make(int count);

    std::vector<LocalUser> mUsers;
};
