#include "LinuxNotifyFolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>

#include "LinuxFd.h"
#include "LinuxPaths.h"
#include "base/Logger.h"

namespace {

const char kUnixSidPrefix[] = "S-1-22-1-";
const char kNotify[] = "notify";
// Entries being removed are renamed to this first, which frees the name at once.
const char kAsidePrefix[] = ".aside-";

constexpr mode_t kRootMode = 0755;
constexpr mode_t kUserMode = 0700;
// Deeper trees are left (inert, root's) rather than recursed into without end.
constexpr int kMaxDepth = 16;

// Guards the folders: the status check and the map command both prepare them.
std::mutex foldersLock;

using Fd = LinuxFd;

int openFolder(int parent, const char* name) {
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in a folder, without "." and "..".
std::set<std::string> namesIn(int folder) {
    std::set<std::string> names;
    int copy = ::dup(folder);
    DIR* listing = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!listing) {
        if (copy >= 0) {
            ::close(copy);
        }
        return names;
    }
    ::rewinddir(listing);
    while (dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.insert(name);
        }
    }
    ::closedir(listing);
    return names;
}

// Removes `name` in `parent` and everything under it without following a
// link. A folder is made root's first, so whoever owned it cannot add to it
// while it is emptied.
bool removeTree(int parent, const std::string& name, int depth) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
    }
    if (depth > kMaxDepth) {
        return false;
    }
    Fd folder(openFolder(parent, name.c_str()));
    if (!folder.valid()) {
        return false;
    }
    if (::fchown(folder.get(), ::geteuid(), ::getegid()) != 0 ||
        ::fchmod(folder.get(), kUserMode) != 0) {
        return false;
    }
    bool removed = true;
    for (const std::string& inner : namesIn(folder.get())) {
        removed = removeTree(folder.get(), inner, depth + 1) && removed;
    }
    return removed && ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

// Renames `name` aside (freeing it at once) and removes what it was.
void removeAside(int parent, const std::string& name, const String& where) {
    static std::atomic<unsigned> counter{0};
    std::string aside = name;
    if (name.rfind(kAsidePrefix, 0) != 0) {
        aside = kAsidePrefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        if (::renameat(parent, name.c_str(), parent, aside.c_str()) != 0) {
            Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier cannot move %s%s aside %d\n",
                                    where.c_str(), name.c_str(), errno);
            return;
        }
    }
    if (!removeTree(parent, aside, 0)) {
        Logger::instance()->out(LOGLEVEL_WARN, "LinuxNotifier cannot remove %s%s\n",
                                where.c_str(), aside.c_str());
    }
}

// The notify folder, root's with mode 0755; anything else in its place
// (a link, a file, a folder of another owner) is moved aside first.
int openNotifyFolder(int run, const String& runDir) {
    struct stat info {};
    if (::fstatat(run, kNotify, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid())) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier %snotify is not a folder of the service\n",
                                runDir.c_str());
        removeAside(run, kNotify, runDir);
    }
    if (::mkdirat(run, kNotify, kRootMode) != 0 && errno != EEXIST) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier cannot create %snotify %d\n",
                                runDir.c_str(), errno);
        return -1;
    }
    int folder = openFolder(run, kNotify);
    if (folder < 0 || ::fstat(folder, &info) != 0 || info.st_uid != ::geteuid()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier cannot open %snotify %d\n",
                                runDir.c_str(), errno);
        if (folder >= 0) {
            ::close(folder);
        }
        return -1;
    }
    // An older folder was open to everybody; from here on nobody else adds to it.
    if ((info.st_mode & 07777) != kRootMode && ::fchmod(folder, kRootMode) != 0) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier cannot close %snotify %d\n",
                                runDir.c_str(), errno);
        ::close(folder);
        return -1;
    }
    return folder;
}

// Whether `name` in the notify folder is the real folder of the user it names.
bool isUserFolder(int notify, const std::string& name) {
    uid_t uid = 0;
    struct stat info {};
    return LinuxNotifyFolders::uidOfSid(String(name), uid) &&
           ::fstatat(notify, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == uid;
}

bool makeUserFolder(int notify, const String& sid, uid_t uid, const String& where) {
    if (::mkdirat(notify, sid.c_str(), kUserMode) != 0 && errno != EEXIST) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier cannot create %s%s %d\n",
                                where.c_str(), sid.c_str(), errno);
        return false;
    }
    Fd folder(openFolder(notify, sid.c_str()));
    struct stat info {};
    if (!folder.valid() || ::fstat(folder.get(), &info) != 0) {
        return false;
    }
    if (info.st_uid != uid && ::fchown(folder.get(), uid, static_cast<gid_t>(-1)) != 0) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier cannot give %s%s to its user %d\n",
                                where.c_str(), sid.c_str(), errno);
        removeAside(notify, sid, where);
        return false;
    }
    // The user may have opened it up; closed again, else others could add names.
    if ((info.st_mode & 07777) != kUserMode) {
        ::fchmod(folder.get(), kUserMode);
    }
    return true;
}

}  // namespace

namespace LinuxNotifyFolders {

String root() {
    return String(LinuxPaths::runDir() + kNotify + "/");
}

String userFolder(const String& sid) {
    return String(root() + sid);
}

String socketPath(const String& sid) {
    return String(userFolder(sid) + "/" + kSocketName);
}

bool uidOfSid(const String& sid, uid_t& uid) {
    if (sid.indexOf(kUnixSidPrefix) != 0) {
        return false;
    }
    String digits = sid.after(kUnixSidPrefix);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
        digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) {
        return false;
    }
    unsigned long value = std::strtoul(digits.c_str(), nullptr, 10);
    uid = static_cast<uid_t>(value);
    return value == static_cast<unsigned long>(uid) && uid != static_cast<uid_t>(-1);
}

bool prepare(const std::vector<String>& sids) {
    std::lock_guard<std::mutex> lock(foldersLock);
    const String runDir = LinuxPaths::runDir();
    Fd run(::open(runDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!run.valid()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "LinuxNotifier cannot open %s %d\n",
                                runDir.c_str(), errno);
        return false;
    }
    Fd notify(openNotifyFolder(run.get(), runDir));
    if (!notify.valid()) {
        return false;
    }
    const String where = root();
    // What another user planted while the folder was open to all, or a
    // folder whose owner no longer matches its name.
    for (const std::string& name : namesIn(notify.get())) {
        if (!isUserFolder(notify.get(), name)) {
            removeAside(notify.get(), name, where);
        }
    }
    for (const String& sid : sids) {
        uid_t uid = 0;
        if (uidOfSid(sid, uid)) {
            makeUserFolder(notify.get(), sid, uid, where);
        }
    }
    return true;
}

}  // namespace LinuxNotifyFolders
