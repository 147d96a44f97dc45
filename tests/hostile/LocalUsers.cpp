#include "LocalUsers.h"

#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>

#include "LinuxProcess.h"

namespace {

constexpr char kPrefix[] = "zvtest";

bool run(const std::vector<std::string>& argv) {
    return runProgram(argv, {}, {}, 30000).exitCode == 0;
}

std::string tool(const char* name) {
    for (const char* folder : {"/usr/sbin/", "/sbin/", "/usr/bin/"}) {
        std::string path = std::string(folder) + name;
        if (::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return std::string();
}

void remove(const std::string& name) {
    run({tool("userdel"), name});
    if (!tool("groupdel").empty()) {
        runProgram({tool("groupdel"), name}, {}, {}, 30000);
    }
}

// Accounts a test program that was killed left behind: their names carry
// the pid of the program that made them.
void removeOrphans() {
    std::ifstream passwd("/etc/passwd");
    for (std::string line; std::getline(passwd, line);) {
        std::string name = line.substr(0, line.find(':'));
        if (name.rfind(kPrefix, 0) != 0) {
            continue;
        }
        std::string digits = name.substr(sizeof kPrefix - 1);
        digits = digits.substr(0, digits.find('x'));
        pid_t owner = static_cast<pid_t>(std::atol(digits.c_str()));
        if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH) {
            remove(name);
        }
    }
}

}  // namespace

std::string LocalUsers::unavailable() {
    if (::geteuid() != 0) {
        return "needs root to create local user accounts";
    }
    if (tool("useradd").empty() || tool("userdel").empty()) {
        return "useradd/userdel are not installed";
    }
    return std::string();
}

LocalUsers::LocalUsers(int count) {
    removeOrphans();
    try {
        make(count);
    } catch (...) {
        for (const LocalUser& user : mUsers) {
            remove(user.name);
        }
        throw;
    }
}

void LocalUsers::make(int count) {
    static int made = 0;
    for (int i = 0; i < count; ++i) {
        LocalUser user;
        user.name = kPrefix + std::to_string(::getpid()) + "x" + std::to_string(made++);
        if (!run({tool("useradd"), "--no-create-home", "--shell", "/usr/sbin/nologin",
                  "--user-group", user.name})) {
            throw std::runtime_error("useradd " + user.name + " failed");
        }
        mUsers.push_back(user);  // removed again even if the lookup fails
        const passwd* entry = ::getpwnam(user.name.c_str());
        if (!entry) {
            throw std::runtime_error("no passwd entry for " + user.name);
        }
        mUsers.back().uid = entry->pw_uid;
        mUsers.back().gid = entry->pw_gid;
    }
}

LocalUsers::~LocalUsers() {
    for (const LocalUser& user : mUsers) {
        remove(user.name);
    }
}
