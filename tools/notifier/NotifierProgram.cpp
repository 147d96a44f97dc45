#include "NotifierProgram.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "zorvane_bytes.h"
#include "commands/Command.h"
#include "NotifierPlatform.h"
#include "notifier/NotifyCodes.h"
#include "UserNotifierServer.h"

namespace {

const char* const kHelp =
    "Usage: zorvane_notifier [serve] [--record FILE] [--count N] [--no-desktop]\n"
    "       zorvane_notifier version | check-update | start-update [--timeout SECONDS]\n"
    "\n"
    "Stands in for the notifier program of a user's desktop session.\n"
    "\n"
    "serve (the default)  receive the filtering service's notices for the user\n"
    "                     running this program and print each on its own line;\n"
    "                     on a Linux desktop also show it as a desktop notice\n"
    "  --record FILE      also append each notice to FILE\n"
    "  --count N          end after N notices (default: run until interrupted)\n"
    "  --no-desktop       never show notices on the desktop\n"
    "version              ask the service for its version\n"
    "check-update         ask the service whether a newer version is published\n"
    "start-update         ask the service to download the update; prints its progress\n"
    "                     (one bar redrawn in place on a terminal)\n"
    "  --timeout SECONDS  longest wait for each step: connecting, sending the\n"
    "                     request, each answer (default 30); the message says\n"
    "                     which step ran out\n"
    "--help               show this help\n"
    "\n"
    "Exit status: 0 success, 1 the service reported a failure or the channel\n"
    "cannot be served, 2 usage error, 3 the service cannot be reached or did not\n"
    "answer in time.\n"
    "On Linux the channel is $ZORVANE_RUN_DIR/notify/<SID>/notifier, in a folder\n"
    "the filtering service makes for each user (serve waits until it exists), and\n"
    "the command socket is $ZORVANE_RUN_DIR/zorvane_notifier_cmd_pipe (default\n"
    "folder /run/zorvane).\n";

// Any non-zero answer tells the service's status check that this notifier works.
constexpr uint32_t kAnswer = 1;
constexpr uint32_t kDefaultTimeoutSeconds = 30;
constexpr uint32_t kMaxAnswerLength = 64 * 1024;
constexpr std::chrono::milliseconds kRetryDelay(100);

// Update status values of the service's answers.
constexpr uint32_t kUpdateLatestVersion = 4;
constexpr uint32_t kUpdateOldVersion = 5;
constexpr uint32_t kUpdateSuccess = 6;

int usageError(NotifierStreams& io, const std::string& message) {
    io.err << "zorvane_notifier: " << message << "\nTry 'zorvane_notifier --help'.\n";
    return NOTIFIER_EXIT_USAGE;
}

// A whole decimal number in [min, max].
bool parseNumber(const std::string& text, unsigned long min, unsigned long max,
                 unsigned long& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9) {
        return false;
    }
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value >= min && value <= max;
}

const char* updateStatusText(uint32_t status) {
    switch (status) {
        case 0:
            return "no transfer could be made";
        case 1:
            return "a transfer failed";
        case 2:
            return "the update information was empty";
        case 3:
            return "the download failed";
        case kUpdateLatestVersion:
            return "this is the latest version";
        case kUpdateOldVersion:
            return "an update is available";
        case kUpdateSuccess:
            return "done";
        default:
            return "unknown status";
    }
}

// The text from `offset` to the first NUL or `end`.
std::string textIn(const std::vector<char>& bytes, size_t offset, size_t end) {
    if (end > bytes.size()) {
        end = bytes.size();
    }
    if (offset >= end) {
        return std::string();
    }
    std::string text(bytes.data() + offset, end - offset);
    return text.substr(0, text.find('\0'));
}

// --- serving the user's channel ---

struct ServeOptions {
    std::string recordPath;
    unsigned long count = 0;  // 0: until interrupted
    bool desktop = true;
};

// Registers a stop callback for the life of a scope.
class StopRegistration {
public:
    explicit StopRegistration(std::function<void()> stop) {
        NotifierPlatform::onStopRequest(std::move(stop));
    }
    ~StopRegistration() { NotifierPlatform::onStopRequest(nullptr); }
    StopRegistration(const StopRegistration&) = delete;
    StopRegistration& operator=(const StopRegistration&) = delete;
};

int serve(NotifierStreams& io, const ServeOptions& options) {
    int error = 0;
    const String sid = NotifierPlatform::ownSid(error);
    if (sid.empty()) {
        io.err << "zorvane_notifier: cannot find this user's SID: "
               << NotifierPlatform::errorText(error) << "\n";
        return NOTIFIER_EXIT_FAILED;
    }
    std::ofstream record;
    if (!options.recordPath.empty()) {
        record.open(options.recordPath, std::ios::app | std::ios::binary);
        if (!record) {
            io.err << "zorvane_notifier: cannot open " << options.recordPath << " for appending\n";
            return NOTIFIER_EXIT_FAILED;
        }
    }
    std::unique_ptr<UserNotifierServer> server = UserNotifierServer::create(sid);
    std::atomic<bool> stopped{false};
    StopRegistration registration([&] {
        stopped = true;
        server->stop();
    });
    if (!server->waitForPlace([&](const String& what) {
            io.err << "zorvane_notifier: " << what << std::endl;
        })) {
        return NOTIFIER_EXIT_OK;  // interrupted while waiting
    }
    if (!server->listen(error)) {
        io.err << "zorvane_notifier: cannot serve " << server->name() << ": "
               << NotifierPlatform::errorText(error) << "\n";
        return NOTIFIER_EXIT_FAILED;
    }
    io.err << "zorvane_notifier: serving " << server->name() << std::endl;
    std::vector<char> message;
    unsigned long shown = 0;
    int failedInARow = 0;
    while (!stopped) {
        if (!server->serveOne(message, kAnswer)) {
            // One broken connection is the sender's business; a run of them
            // means the channel itself fails.
            if (++failedInARow > 1 && !stopped) {
                std::this_thread::sleep_for(kRetryDelay);
            }
            continue;
        }
        failedInARow = 0;
        // The service's periodic "are you there?": answered, nothing to show.
        if (message.size() == 4 && LoadLe32(message.data()) == NOTIFY_STATUS_CHECK) {
            continue;
        }
        const String text = describeNotification(message);
        io.out << text << std::endl;
        if (record.is_open()) {
            record << text << std::endl;
        }
        if (options.desktop) {
            NotifierPlatform::showOnDesktop(text);
        }
        if (options.count != 0 && ++shown >= options.count) {
            break;
        }
    }
    return NOTIFIER_EXIT_OK;
}

// --- requests on the command pipe ---

enum class Request { VERSION, CHECK_UPDATE, START_UPDATE };

class CommandSession {
public:
    CommandSession(NotifierStreams& io, uint32_t timeoutSeconds)
        : mIo(io), mTimeoutSeconds(timeoutSeconds) {}

    // Connects and sends the requests, in order; false after telling why
    // not.
    bool send(const std::vector<uint32_t>& ids) {
        int error = 0;
        mPipe = NotifierPlatform::openCommandPipe(mTimeoutSeconds * 1000, error);
        if (!mPipe && error == NotifierPlatform::kTimedOut) {
            mIo.err << "zorvane_notifier: no connection to the filtering service at "
                    << NotifierPlatform::commandPipeName() << " within " << mTimeoutSeconds
                    << " s (connect timed out)\n";
            return false;
        }
        if (!mPipe) {
            mIo.err << "zorvane_notifier: cannot reach the filtering service at "
                    << NotifierPlatform::commandPipeName() << ": "
                    << NotifierPlatform::errorText(error) << "\n";
            return false;
        }
        std::vector<char> frames(8 * ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            StoreLe32(frames.data() + 8 * i, 4);
            StoreLe32(frames.data() + 8 * i + 4, ids[i]);
        }
        if (!mPipe->write(frames.data(), frames.size(), mTimeoutSeconds * 1000, error)) {
            if (error == NotifierPlatform::kTimedOut) {
                mIo.err << "zorvane_notifier: the filtering service did not take the request within "
                        << mTimeoutSeconds << " s (send timed out)\n";
            } else {
                mIo.err << "zorvane_notifier: cannot send the request: "
                        << NotifierPlatform::errorText(error) << "\n";
            }
            return false;
        }
        return true;
    }

    // The next answer's payload (id first); false after telling why not.
    bool receive(std::vector<char>& payload) {
        const uint32_t timeoutMs = mTimeoutSeconds * 1000;
        int error = 0;
        char count[4];
        if (!mPipe->read(count, sizeof count, timeoutMs, error)) {
            return failed(error);
        }
        const uint32_t length = LoadLe32(count);
        if (length < 4 || length > kMaxAnswerLength) {
            mIo.err << "zorvane_notifier: malformed answer (length " << length << ")\n";
            return false;
        }
        payload.resize(length);
        if (!mPipe->read(payload.data(), length, timeoutMs, error)) {
            return failed(error);
        }
        return true;
    }

private:
    bool failed(int error) {
        if (error == NotifierPlatform::kTimedOut) {
            mIo.err << "zorvane_notifier: no answer from the filtering service within "
                    << mTimeoutSeconds << " s (answer timed out)\n";
        } else {
            mIo.err << "zorvane_notifier: the filtering service closed the connection: "
                    << NotifierPlatform::errorText(error) << "\n";
        }
        return false;
    }

    NotifierStreams& mIo;
    uint32_t mTimeoutSeconds;
    std::unique_ptr<NotifierPlatform::CommandPipeClient> mPipe;
};

uint32_t wordAt(const std::vector<char>& payload, size_t offset) {
    return payload.size() >= offset + 4 ? LoadLe32(payload.data() + offset) : 0;
}

// Prints a check-update answer: id, status, text length L, L bytes of text.
int showUpdateCheck(NotifierStreams& io, const std::vector<char>& payload) {
    const uint32_t status = wordAt(payload, 4);
    const size_t textLength = wordAt(payload, 8);
    const std::string text = textIn(payload, 12, 12 + textLength);
    if (status == kUpdateLatestVersion) {
        io.out << "up to date: version " << text << "\n";
        return NOTIFIER_EXIT_OK;
    }
    if (status == kUpdateOldVersion) {
        // installer path ";" new version ";" version information
        const size_t first = text.find(';');
        const size_t second = first == std::string::npos ? first : text.find(';', first + 1);
        if (second == std::string::npos) {
            io.out << "update available: " << text << "\n";
        } else {
            io.out << "update available: version " << text.substr(first + 1, second - first - 1)
                   << "\n"
                   << "installer: " << text.substr(0, first) << "\n"
                   << "information: " << text.substr(second + 1) << "\n";
        }
        return NOTIFIER_EXIT_OK;
    }
    io.out << "update check failed: " << updateStatusText(status) << " (status " << status << ")\n";
    return NOTIFIER_EXIT_FAILED;
}

int sendRequest(NotifierStreams& io, Request request, uint32_t timeoutSeconds) {
    const uint32_t id = request == Request::VERSION        ? NOTIFIER_READ_GET_VERSION
                        : request == Request::CHECK_UPDATE ? NOTIFIER_READ_CHECK_UPDATE_CMD
                                                           : NOTIFIER_READ_DO_UPDATE_CMD;
    CommandSession session(io, timeoutSeconds);
    // An update request goes with a version request behind it. A service
    // without update support passes over the first without a word, and its
    // version answer, coming first, says so instead of a time-out.
    std::vector<uint32_t> ids{id};
    if (request != Request::VERSION) {
        ids.push_back(NOTIFIER_READ_GET_VERSION);
    }
    if (!session.send(ids)) {
        return NOTIFIER_EXIT_UNREACHABLE;
    }
    bool started = false;
    bool barShown = false;
    std::vector<char> payload;
    while (session.receive(payload)) {
        const uint32_t answered = wordAt(payload, 0);
        if (request == Request::VERSION && answered == NOTIFIER_READ_GET_VERSION) {
            io.out << "service version " << textIn(payload, 4, payload.size()) << "\n";
            return NOTIFIER_EXIT_OK;
        }
        if (answered == NOTIFIER_READ_GET_VERSION && !started) {
            io.out << (request == Request::CHECK_UPDATE ? "update check failed: "
                                                        : "download failed: ")
                   << "the filtering service (version " << textIn(payload, 4, payload.size())
                   << ") has no update support yet\n";
            return NOTIFIER_EXIT_FAILED;
        }
        if (request == Request::CHECK_UPDATE && answered == NOTIFIER_READ_CHECK_UPDATE_CMD) {
            return showUpdateCheck(io, payload);
        }
        if (request == Request::START_UPDATE && answered == NOTIFIER_READ_DOWNLOAD_INPROGRESS) {
            if (io.terminal) {
                io.out << "\r" << progressBar(wordAt(payload, 4), wordAt(payload, 8))
                       << std::flush;
                barShown = true;
            } else {
                io.out << "downloaded " << wordAt(payload, 4) << " KB" << std::endl;
            }
            continue;
        }
        if (barShown) {
            io.out << "\n";  // the bar's line is done
            barShown = false;
        }
        if (request == Request::START_UPDATE && answered == NOTIFIER_READ_DO_UPDATE_CMD) {
            const uint32_t status = wordAt(payload, 4);
            // The first data of a download brings an early answer with status 6;
            // the last answer carries the result of the whole run.
            if (status == kUpdateSuccess && !started) {
                started = true;
                io.out << "download started" << std::endl;
                continue;
            }
            if (status == kUpdateSuccess) {
                io.out << "download complete\n";
                return NOTIFIER_EXIT_OK;
            }
            io.out << "download failed: " << updateStatusText(status) << " (status " << status
                   << ")\n";
            return NOTIFIER_EXIT_FAILED;
        }
        io.err << "zorvane_notifier: ignoring an answer with id " << answered << "\n";
    }
    return NOTIFIER_EXIT_UNREACHABLE;
}

}  // namespace

// "[#####     ]  1234 of 8000 KB": the service gives kilobytes so far and
// the amount it measures them against; past that amount the bar stays full.
std::string progressBar(uint32_t kilobytes, uint32_t total) {
    constexpr uint32_t kWidth = 30;
    const uint32_t filled =
        total == 0 ? 0
                   : static_cast<uint32_t>(std::min<uint64_t>(
                         kWidth, static_cast<uint64_t>(kilobytes) * kWidth / total));
    return "[" + std::string(filled, '#') + std::string(kWidth - filled, ' ') + "] " +
           std::to_string(kilobytes) + " of " + std::to_string(total) + " KB";
}

int runNotifierProgram(const std::vector<std::string>& args, NotifierStreams io) {
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            io.out << kHelp;
            return NOTIFIER_EXIT_OK;
        }
    }
    size_t next = 0;
    std::string command = "serve";
    if (!args.empty() && args[0].rfind("--", 0) != 0) {
        command = args[0];
        next = 1;
    }

    if (command == "serve") {
        ServeOptions options;
        for (size_t i = next; i < args.size(); ++i) {
            const std::string& arg = args[i];
            if (arg == "--no-desktop") {
                options.desktop = false;
            } else if (arg == "--record" || arg == "--count") {
                if (i + 1 >= args.size()) {
                    return usageError(io, arg + " needs a value");
                }
                const std::string& value = args[++i];
                if (arg == "--record") {
                    options.recordPath = value;
                } else if (!parseNumber(value, 1, 999999999, options.count)) {
                    return usageError(io, "--count needs a number of at least 1");
                }
            } else {
                return usageError(io, "unknown option '" + arg + "' for serve");
            }
        }
        return serve(io, options);
    }

    Request request;
    if (command == "version") {
        request = Request::VERSION;
    } else if (command == "check-update") {
        request = Request::CHECK_UPDATE;
    } else if (command == "start-update") {
        request = Request::START_UPDATE;
    } else {
        return usageError(io, "unknown command '" + command + "'");
    }
    unsigned long timeoutSeconds = kDefaultTimeoutSeconds;
    for (size_t i = next; i < args.size(); ++i) {
        if (args[i] != "--timeout") {
            return usageError(io, "unknown option '" + args[i] + "' for " + command);
        }
        if (i + 1 >= args.size() || !parseNumber(args[i + 1], 1, 86400, timeoutSeconds)) {
            return usageError(io, "--timeout needs a number of seconds from 1 to 86400");
        }
        ++i;
    }
    return sendRequest(io, request, static_cast<uint32_t>(timeoutSeconds));
}
