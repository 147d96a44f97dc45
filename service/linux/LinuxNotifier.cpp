#include "LinuxNotifier.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "LinuxPaths.h"
#include "base/Logger.h"

namespace {

// Every user's notifier puts its socket in here and nobody may remove
// another's: world-writable and sticky, like /tmp.
constexpr mode_t kNotifyFolderMode = 01777;

void createNotifyFolder() {
    const String folder = LinuxPaths::runDir() + "notify";
    Logger* log = Logger::instance();
    if (::mkdir(folder.c_str(), kNotifyFolderMode) != 0 && errno != EEXIST) {
        log->out(LOGLEVEL_ERROR, "LinuxNotifier cannot create %s %d\n", folder.c_str(), errno);
        return;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        // Not ours to open up to everybody.
        log->out(LOGLEVEL_ERROR, "LinuxNotifier %s is not a folder of the service\n",
                 folder.c_str());
        return;
    }
    // mkdir's mode passes through the umask, and an old folder may differ.
    if ((info.st_mode & 07777) != kNotifyFolderMode &&
        ::chmod(folder.c_str(), kNotifyFolderMode) != 0) {
        log->out(LOGLEVEL_ERROR, "LinuxNotifier cannot open %s to the users %d\n", folder.c_str(),
                 errno);
    }
}

}  // namespace

LinuxNotifier* LinuxNotifier::instance() {
    return PlatformInstance<LinuxNotifier>::get([] { return new LinuxNotifier(); });
}

void LinuxNotifier::cleanUp() {
    PlatformInstance<LinuxNotifier>::reset();
}

String LinuxNotifier::defaultCommandSocketPath() {
    return String(LinuxPaths::runDir() + "zorvane_notifier_cmd_pipe");
}

LinuxNotifier::LinuxNotifier(String commandSocketPath)
    : PipeNotifier(UserNotifierChannel::create(),
                   makePipeServer(std::move(commandSocketPath), kCommandPipeTimeoutMs)) {
    createNotifyFolder();
}
