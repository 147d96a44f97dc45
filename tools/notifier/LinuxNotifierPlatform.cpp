#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "LinuxPaths.h"
#include "LinuxSocketIo.h"
#include "NotifierPlatform.h"

extern char** environ;

namespace NotifierPlatform {

const int kTimedOut = ETIMEDOUT;

namespace {

// How long a desktop notice may take before its helper is ended.
constexpr std::chrono::seconds kDesktopHelperTime(5);

class SocketClient : public CommandPipeClient {
public:
    explicit SocketClient(int fd) : mFd(fd) {}
    ~SocketClient() override { ::close(mFd); }

    bool write(const char* data, uint32_t length, uint32_t timeoutMs, int& error) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (length > 0) {
            if (!waitUntil(deadline, POLLOUT, error)) {
                return false;
            }
            ssize_t sent = ::send(mFd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
                continue;
            }
            if (sent <= 0) {
                error = sent < 0 ? errno : EPIPE;
                return false;
            }
            data += sent;
            length -= static_cast<uint32_t>(sent);
        }
        return true;
    }

    bool read(char* data, uint32_t length, uint32_t timeoutMs, int& error) override {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (length > 0) {
            if (!waitUntil(deadline, POLLIN, error)) {
                return false;
            }
            ssize_t got = ::recv(mFd, data, length, 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                error = got == 0 ? EPIPE : errno;
                return false;
            }
            data += got;
            length -= static_cast<uint32_t>(got);
        }
        return true;
    }

private:
    // Waits for `events` on the socket until `deadline`; false with
    // kTimedOut when it passed first.
    bool waitUntil(std::chrono::steady_clock::time_point deadline, short events, int& error) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready{mFd, events, 0};
            int polled = left.count() > 0 ? ::poll(&ready, 1, static_cast<int>(left.count())) : 0;
            if (polled < 0 && errno == EINTR) {
                continue;
            }
            if (polled <= 0) {
                error = polled == 0 ? kTimedOut : errno;
                return false;
            }
            return true;
        }
    }

    int mFd;
};

// The full path of `program` in PATH, or empty.
std::string findInPath(const char* program) {
    const char* path = std::getenv("PATH");
    if (!path) {
        return std::string();
    }
    std::string folders = path;
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) {
            end = folders.size();
        }
        std::string candidate = folders.substr(start, end - start);
        candidate = (candidate.empty() ? std::string(".") : candidate) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

// Reaps a desktop helper; one that hangs is ended after kDesktopHelperTime.
void reapLater(pid_t pid) {
    std::thread([pid] {
        const auto deadline = std::chrono::steady_clock::now() + kDesktopHelperTime;
        while (::waitpid(pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, nullptr, 0);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }).detach();
}

// The stop callback and the pipe that carries signals to it.
std::mutex stopLock;
std::function<void()> stopCallback;  // guarded by stopLock
int signalPipe[2] = {-1, -1};

void onSignal(int) {
    const int saved = errno;
    char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void installSignalWatcher() {
    if (::pipe2(signalPipe, O_CLOEXEC) != 0) {
        return;
    }
    // Only the pipe write happens in the handler; the callback runs here.
    std::thread([] {
        char byte = 0;
        for (;;) {
            ssize_t got = ::read(signalPipe[0], &byte, 1);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return;
            }
            std::lock_guard<std::mutex> lock(stopLock);
            if (stopCallback) {
                stopCallback();
            } else {
                std::_Exit(0);  // interrupted while nothing was served
            }
        }
    }).detach();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

String ownSid(int& error) {
    error = 0;
    return String("S-1-22-1-" + std::to_string(::geteuid()));
}

String commandPipeName() {
    return String(LinuxPaths::runDir() + "zorvane_notifier_cmd_pipe");
}

std::unique_ptr<CommandPipeClient> openCommandPipe(uint32_t timeoutMs, int& error) {
    // While another program is served this one waits in the service's
    // backlog; only a full backlog makes the connect itself wait, at most
    // the send time-out, which bounds a connect on a local socket.
    const String path = commandPipeName();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = ENAMETOOLONG;
        return nullptr;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    timeval timeout{static_cast<time_t>(timeoutMs / 1000),
                    static_cast<suseconds_t>((timeoutMs % 1000) * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR && std::chrono::steady_clock::now() < deadline);
    if (result != 0) {
        error = errno == EAGAIN || errno == EINTR ? kTimedOut : errno;
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<SocketClient>(fd);
}

bool showOnDesktop(const String& text) {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string helper = findInPath("notify-send");
    if (!bus || !*bus || helper.empty()) {
        return false;
    }
    // No shell: the notice's text goes to the helper as one argument.
    std::string argv0 = "notify-send";
    std::string appName = "--app-name=Zorvane";
    std::string title = "Zorvane filter";
    std::string body = text;
    char* argv[] = {argv0.data(), appName.data(), title.data(), body.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Its output must not mix with the notices on standard output.
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, helper.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed) {
        return false;
    }
    reapLater(pid);
    return true;
}

void onStopRequest(std::function<void()> stop) {
    static std::once_flag installed;
    std::call_once(installed, installSignalWatcher);
    std::lock_guard<std::mutex> lock(stopLock);
    stopCallback = std::move(stop);
}

String errorText(int error) {
    return String(std::strerror(error));
}

}  // namespace NotifierPlatform
