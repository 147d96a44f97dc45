#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "LinuxFd.h"
#include "port/FileSystem.h"

namespace FileSystem {

namespace {

constexpr mode_t kFolderMode = 0755;  // users' programs read downloads in the temp folder
constexpr size_t kMaxTrustedFileSize = 64 * 1024;

using Fd = LinuxFd;

bool writeAll(int fd, const char* data, ssize_t length) {
    while (length > 0) {
        ssize_t written = ::write(fd, data, static_cast<size_t>(length));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

mode_t fileMode(Protection protection) {
    return protection == Protection::PRIVATE ? 0600 : 0644;
}

bool isOwnPlainFile(const struct stat& status) {
    return S_ISREG(status.st_mode) && status.st_nlink == 1 && status.st_uid == ::geteuid();
}

// Opens `path` for writing as a plain file of the service's own with `mode`;
// whatever else stands there is removed and replaced by a fresh file.
int openOwnFile(const String& path, mode_t mode) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        // O_NONBLOCK: a planted FIFO must not stall the service.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                        mode);
        if (fd < 0) {
            // ELOOP: a link; ENXIO: a FIFO or socket nobody listens on.
            if ((errno == ELOOP || errno == ENXIO) && ::unlink(path.c_str()) == 0) {
                continue;
            }
            return -1;
        }
        Fd file(fd);
        struct stat status {};
        if (::fstat(fd, &status) != 0) {
            return -1;
        }
        if (!isOwnPlainFile(status)) {
            // Drop only this name: another name of the same file, or the
            // file another user made, is left as it is.
            if (::unlink(path.c_str()) != 0) {
                return -1;
            }
            continue;
        }
        if (::fcntl(fd, F_SETFL, 0) != 0 || ::fchmod(fd, mode) != 0) {
            return -1;
        }
        return file.release();
    }
    errno = EEXIST;  // something keeps coming back under that name
    return -1;
}

String withoutTrailingSlash(const String& folder) {
    String path = folder;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

void createParents(const String& folder) {
    for (size_t slash = folder.find('/', 1); slash != String::npos;
         slash = folder.find('/', slash + 1)) {
        ::mkdir(folder.substr(0, slash).c_str(), kFolderMode);
    }
}

// Why an existing folder cannot be the service's; empty when it can.
String foreignFolderReason(const struct stat& status) {
    if (S_ISLNK(status.st_mode)) {
        return String("a link");
    }
    if (!S_ISDIR(status.st_mode)) {
        return String("not a folder");
    }
    if (status.st_uid != ::geteuid()) {
        return String("owned by uid " + std::to_string(status.st_uid));
    }
    if (status.st_mode & S_IWOTH) {
        return String("writable by everybody");
    }
    if ((status.st_mode & S_IWGRP) && status.st_gid != ::getegid()) {
        return String("writable by group " + std::to_string(status.st_gid));
    }
    return String();
}

bool isSystemSharedFolder(const struct stat& status) {
    return S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) && (status.st_mode & S_IWOTH) &&
           (status.st_uid == 0 || status.st_uid == ::geteuid());
}

String freshNameBeside(const String& folder) {
    const String base(folder + ".moved-" + std::to_string(std::time(nullptr)) + "-" +
                      std::to_string(::getpid()));
    String name = base;
    struct stat status {};
    for (int n = 1; ::lstat(name.c_str(), &status) == 0; ++n) {
        name = String(base + "-" + std::to_string(n));
    }
    return name;
}

// Resets the mode of a folder that passed the check, through a handle on
// that very folder.
bool resetFolder(const String& folder) {
    Fd handle(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    return handle.get() >= 0 && ::fstat(handle.get(), &status) == 0 &&
           foreignFolderReason(status).empty() && ::fchmod(handle.get(), kFolderMode) == 0;
}

}  // namespace

bool copyFile(const String& from, const String& to) {
    Fd source(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (source.get() < 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(source.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    Fd target(openOwnFile(to, fileMode(Protection::PRIVATE)));
    if (target.get() < 0 || ::ftruncate(target.get(), 0) != 0) {
        return false;
    }
    char block[64 * 1024];
    for (;;) {
        ssize_t got = ::read(source.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!writeAll(target.get(), block, got)) {
            return false;
        }
    }
    // Keep the source's times, as the Windows copy does.
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    return ::futimens(target.get(), times) == 0;
}

bool deleteFile(const String& path) {
    return ::unlink(path.c_str()) == 0;
}

bool replaceFile(const String& from, const String& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

FILE* openForWriting(const String& path, Protection protection, Start start) {
    Fd file(openOwnFile(path, fileMode(protection)));
    if (file.get() < 0) {
        return nullptr;
    }
    if (start == Start::EMPTY && ::ftruncate(file.get(), 0) != 0) {
        return nullptr;
    }
    if (start == Start::APPEND && ::fcntl(file.get(), F_SETFL, O_APPEND) != 0) {
        return nullptr;
    }
    FILE* stream = ::fdopen(file.get(), start == Start::APPEND ? "ab" : "wb");
    if (stream) {
        file.release();
    }
    return stream;
}

bool prepareFile(const String& path, Protection protection) {
    Fd file(openOwnFile(path, fileMode(protection)));
    return file.get() >= 0;
}

bool isLink(const String& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

bool readTrustedFile(const String& path, String& content, String& why) {
    content.clear();
    why.clear();
    Fd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ELOOP) {
            why = "a link";
        } else if (errno != ENOENT) {
            why = String(std::string("cannot be opened: ") + std::strerror(errno));
        }
        return false;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        why = String(std::string("cannot be read: ") + std::strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        why = "not a plain file";
    } else if (status.st_uid != 0 && status.st_uid != ::geteuid()) {
        why = String("owned by uid " + std::to_string(status.st_uid));
    } else if (status.st_mode & S_IWOTH) {
        why = "writable by everybody";
    } else if ((status.st_mode & S_IWGRP) && status.st_gid != 0 && status.st_gid != ::getegid()) {
        why = String("writable by group " + std::to_string(status.st_gid));
    } else if (static_cast<size_t>(status.st_size) > kMaxTrustedFileSize) {
        why = "too large";
    }
    if (!why.empty()) {
        return false;
    }
    char block[4096];
    for (;;) {
        ssize_t got = ::read(file.get(), block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            why = String(std::string("cannot be read: ") + std::strerror(errno));
            content.clear();
            return false;
        }
        if (got == 0 || content.size() + static_cast<size_t>(got) > kMaxTrustedFileSize) {
            break;
        }
        content.append(block, static_cast<size_t>(got));
    }
    return true;
}

FolderResult makeServiceFolder(const String& folderText) {
    FolderResult result;
    const String folder = withoutTrailingSlash(folderText);
    createParents(folder);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::mkdir(folder.c_str(), kFolderMode) == 0) {
            // mkdir's mode passes through the umask.
            result.usable = resetFolder(folder);
            break;
        }
        if (errno != EEXIST) {
            result.note += String(folder + " cannot be made: " + std::strerror(errno) + ". ");
            break;
        }
        struct stat status {};
        if (::lstat(folder.c_str(), &status) != 0) {
            continue;  // gone again: make it
        }
        const String reason = foreignFolderReason(status);
        if (reason.empty()) {
            result.usable = resetFolder(folder);
            break;
        }
        if (isSystemSharedFolder(status)) {
            // Such as /tmp itself, named by mistake: never moved, never used.
            result.note += String(folder + " is shared by everybody. ");
            break;
        }
        // Nothing found in it is used: it goes aside whole.
        const String aside = freshNameBeside(folder);
        if (::rename(folder.c_str(), aside.c_str()) != 0) {
            result.note += String(folder + " is " + reason + " and cannot be moved aside: " +
                                  std::strerror(errno) + ". ");
            break;
        }
        result.note += String(folder + " was " + reason + ", moved aside to " + aside + ". ");
    }
    if (!result.usable) {
        result.note += String(folder + " refused. ");
    }
    if (!result.note.empty()) {
        result.note.pop_back();
    }
    return result;
}

int lastError() {
    return errno;
}

}  // namespace FileSystem
