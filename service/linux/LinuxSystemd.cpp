#include "LinuxSystemd.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace LinuxSystemd {

namespace {

String root() {
    const char* folder = std::getenv("ZORVANE_SYSTEMD_ROOT");
    String text = (folder && *folder) ? String(folder) : String();
    while (!text.empty() && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

bool exists(const String& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

String ownProgramPath() {
    char path[4096];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    return length > 0 ? String(path, static_cast<int>(length)) : String();
}

// ExecStart= takes C-style quoting, "%" specifiers and "$" variables.
String quoteForUnit(const String& text) {
    String quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
        } else if (c == '%' || c == '$') {
            quoted += c;
        }
        quoted += c;
    }
    return String(quoted + "\"");
}

bool writeNewFile(const String& path, const String& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            int error = errno;
            ::close(fd);
            ::unlink(path.c_str());
            errno = error;
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return ::close(fd) == 0;
}

bool reportNoSystemd() {
    if (isRunning()) {
        return false;
    }
    String program = ownProgramPath();
    size_t slash = program.rfind('/');
    if (slash != String::npos) {
        program = program.substr(slash + 1);
    }
    std::fprintf(stderr,
                 "systemd is not running on this system (%s/run/systemd/system is missing), "
                 "so the service cannot be installed or removed here; run %s "
                 "without arguments under your service manager instead\n",
                 root().c_str(), program.c_str());
    return true;
}

// Runs one systemctl step of the installer; prints and returns its failure.
int step(const std::vector<String>& args) {
    int status = systemctl(args);
    if (status == 0) {
        return 0;
    }
    std::fprintf(stderr, "systemctl %s failed with err: %d\n", args[0].c_str(), status);
    return status > 0 ? status : 1;
}

bool isActive(const String& unit) {
    return systemctl({"is-active", "--quiet", unit}) == 0;
}

}  // namespace

bool isRunning() {
    return exists(runningMarkerPath());
}

String runningMarkerPath() {
    return String(root() + "/run/systemd/system");
}

String unitName(const String& serviceName) {
    String unit = serviceName;
    unit.toLower();
    return String(unit + ".service");
}

String unitFilePath(const String& serviceName) {
    return String(root() + "/etc/systemd/system/" + unitName(serviceName));
}

String unitFileText(const String& description, const String& programPath) {
    return String(
        "[Unit]\n"
        "Description=" +
        description +
        "\n"
        "Wants=network-online.target\n"
        "After=network-online.target\n"
        // Restarted however often it fails or is killed (SIGKILL included):
        // no start limit ever gives up on it.
        "StartLimitIntervalSec=0\n"
        "\n"
        "[Service]\n"
        "Type=simple\n"
        "ExecStart=" +
        quoteForUnit(programPath) +
        "\n"
        "Restart=on-failure\n"
        "RestartSec=100ms\n"
        "\n"
        "[Install]\n"
        "WantedBy=multi-user.target\n");
}

int systemctl(const std::vector<String>& args, String* output) {
    std::vector<char*> argv;
    static char program[] = "systemctl";
    argv.push_back(program);
    for (const String& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return -1;
        }
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    }
    pid_t pid = 0;
    int spawned = ::posix_spawnp(&pid, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output) {
        ::close(pipeFds[1]);
        if (spawned == 0) {
            char block[4096];
            for (;;) {
                ssize_t got = ::read(pipeFds[0], block, sizeof block);
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                if (got <= 0) {
                    break;
                }
                output->append(block, static_cast<size_t>(got));
            }
        }
        ::close(pipeFds[0]);
    }
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int installService(const String& serviceName, const String& description) {
    if (reportNoSystemd()) {
        return 1;
    }
    String unitPath = unitFilePath(serviceName);
    if (exists(unitPath)) {
        std::fprintf(stderr, "the service is already installed (%s); remove it first with -u\n",
                     unitPath.c_str());
        return 1;
    }
    if (!writeNewFile(unitPath, unitFileText(description, ownProgramPath()))) {
        std::fprintf(stderr, "cannot write %s: %s\n", unitPath.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("Service Installed\n");
    String unit = unitName(serviceName);
    if (int failed = step({"daemon-reload"})) {
        return failed;
    }
    if (int failed = step({"enable", unit})) {
        return failed;
    }
    // As on Windows, a failed start shows in the state that follows.
    systemctl({"start", unit});
    std::printf(isActive(unit) ? "Service Running...\n" : "\nService not started.\n");
    return 0;
}

int uninstallService(const String& serviceName) {
    if (reportNoSystemd()) {
        return 1;
    }
    String unitPath = unitFilePath(serviceName);
    if (!exists(unitPath)) {
        return 0;
    }
    String unit = unitName(serviceName);
    if (isActive(unit)) {
        std::printf("Stopping service...\n");
        std::fflush(stdout);
        if (int failed = step({"stop", unit})) {
            return failed;
        }
    }
    if (int failed = step({"disable", unit})) {
        return failed;
    }
    if (::unlink(unitPath.c_str()) != 0) {
        std::fprintf(stderr, "cannot remove %s: %s\n", unitPath.c_str(), std::strerror(errno));
        return 1;
    }
    if (int failed = step({"daemon-reload"})) {
        return failed;
    }
    std::printf("Service Uninstalled\n");
    return 0;
}

}  // namespace LinuxSystemd
