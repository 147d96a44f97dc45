#include "ZorvaneCtl.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <istream>
#include <iterator>
#include <map>
#include <ostream>
#include <sstream>
#include <string>

#include "CComand.h"
#include "settings/UserMapCheck.h"
#include "LinuxPipeClient.h"
#include "ui/UiWire.h"

namespace {

const char* const kHelp =
    "Usage: zorvanectl <command> [arguments]\n"
    "\n"
    "Talks to the Zorvane filtering service over its local socket.\n"
    "\n"
    "Commands:\n"
    "  signin <user>       sign the parent account in (asks for the password)\n"
    "  auth-status         show whether the parent account is signed in\n"
    "  status              show whether the filter module is filtering\n"
    "  children            list the child profiles: id, level, name\n"
    "  n-users             the byte length of that list (as the service answers it)\n"
    "  map                 print the map of system users (SID) to child ids\n"
    "  set-map [--user <name>] <file|->\n"
    "                      sign in, then store a user map read from a file or\n"
    "                      standard input on the same connection; asks for the\n"
    "                      user name when --user is not given\n"
    "  check-enable <user>, check-disable <user>\n"
    "                      check the parent's password for enabling or\n"
    "                      disabling the filter (the service changes nothing)\n"
    "  --help              show this help\n"
    "\n"
    "Passwords are read without echo from the terminal, or as the first line of\n"
    "standard input when that is not a terminal (then set-map needs --user).\n"
    "\n"
    "Exit status: 0 success, 1 the service refused, 2 usage error,\n"
    "3 the service cannot be reached or did not answer in time (5 s to connect,\n"
    "10 s to send, 120 s to answer; ZORVANE_CTL_TIMEOUT_MS sets one bound for all).\n"
    "The socket is $ZORVANE_RUN_DIR/zorvane_pipe (default /run/zorvane/zorvane_pipe).\n";

constexpr uint32_t kSignInPassed = 1;
constexpr uint32_t kSignInNotSaved = 5;  // passed and in force, but not saved

int usageError(CtlStreams& io, const std::string& message) {
    io.err << "zorvanectl: " << message << "\nTry 'zorvanectl --help'.\n";
    return CTL_EXIT_USAGE;
}

int unreachable(CtlStreams& io, CService& service) {
    PipeClient& pipe = service.pipe();
    // Which of the client's own time-outs ran out, when one did.
    const auto* timeouts = dynamic_cast<const LinuxPipeClient*>(&pipe);
    if (pipe.timedOut() && timeouts) {
        const LinuxPipeClient::Timeouts& limits = timeouts->timeouts();
        if (!pipe.isOpen()) {
            io.err << "zorvanectl: the filtering service did not take the connection within "
                   << limits.connectMs << " ms (" << pipe.name() << ")\n";
        } else if (!service.connected()) {
            io.err << "zorvanectl: the filtering service did not take the request within "
                   << limits.sendMs << " ms\n";
        } else {
            io.err << "zorvanectl: the filtering service did not answer within "
                   << limits.answerMs << " ms\n";
        }
    } else if (!service.connected()) {
        io.err << "zorvanectl: cannot reach the filtering service at " << pipe.name() << ": "
               << std::strerror(pipe.lastError()) << "\n";
    } else {
        io.err << "zorvanectl: the filtering service did not answer\n";
    }
    return CTL_EXIT_UNREACHABLE;
}

const char* signInFailure(uint32_t code) {
    switch (code) {
        case 2:
        case 4:
            return "communication error between the service and the cloud";
        case 3:
            return "this PC is signed in with another parent account; sign in with that one";
        case 403:
            return "incorrect user name or password";
        case 401:
            return "no such account";
        case 402:
            return "inactive account";
        case 404:
            return "this device belongs to another account";
        case 200:
        case 406:
        case 407:
            return "the cloud refused the sign-in";
        default:
            return "sign-in failed";
    }
}

bool readPassword(CtlStreams& io, std::string& password) {
    if (!io.terminal) {
        if (!std::getline(io.in, password)) {
            return false;
        }
    } else {
        io.err << "Password: " << std::flush;
        termios saved{};
        const bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (quiet) {
            termios noEcho = saved;
            noEcho.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &noEcho);
        }
        const bool got = static_cast<bool>(std::getline(io.in, password));
        if (quiet) {
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        }
        io.err << "\n";
        if (!got) {
            return false;
        }
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    return true;
}

// The user name typed at the terminal (with echo).
bool readUser(CtlStreams& io, std::string& user) {
    io.err << "User: " << std::flush;
    if (!std::getline(io.in, user)) {
        return false;
    }
    if (!user.empty() && user.back() == '\r') {
        user.pop_back();
    }
    return !user.empty();
}

// The entries of a user-map text, SID -> child id, whatever the spacing,
// line ends and order.
std::map<std::string, std::string> userMapEntries(const String& text) {
    std::map<std::string, std::string> entries;
    std::istringstream lines(std::string(text.c_str()));
    std::string line;
    const auto trim = [](const std::string& field) {
        const size_t first = field.find_first_not_of(" \t\r");
        return first == std::string::npos
                   ? std::string()
                   : field.substr(first, field.find_last_not_of(" \t\r") - first + 1);
    };
    while (std::getline(lines, line)) {
        const size_t sep = line.find(", ");
        if (sep != std::string::npos) {
            const std::string id = trim(line.substr(sep + 2));
            const size_t digits = id.find_first_not_of('0');
            entries[trim(line.substr(0, sep))] = digits == std::string::npos ? "0" : id.substr(digits);
        }
    }
    return entries;
}

// Signs in over the connection; CTL_EXIT_OK when the service accepted.
int signIn(CtlStreams& io, CService& service, const std::string& user, bool announce) {
    std::string password;
    if (!readPassword(io, password)) {
        return usageError(io, "no password given");
    }
    CAuthCommand command{String(user), String(password)};
    std::unique_ptr<CReply> reply = command.execute(service);
    if (!reply) {
        return unreachable(io, service);
    }
    const uint32_t code = reply->number(CReply::kKeyAnswer);
    if (code == kSignInNotSaved) {
        io.err << "zorvanectl: signed in as " << user
               << ", but the service could not save the sign-in: it holds only until the "
                  "service restarts (the service log says why)\n";
        return CTL_EXIT_REFUSED;
    }
    if (code != kSignInPassed) {
        io.err << "zorvanectl: " << signInFailure(code) << " (code " << code << ")\n";
        return CTL_EXIT_REFUSED;
    }
    if (announce) {
        io.out << "Signed in as " << user << ".\n";
    }
    return CTL_EXIT_OK;
}

int authStatus(CtlStreams& io, CService& service) {
    CAuthStatusCommand command;
    std::unique_ptr<CReply> reply = command.execute(service);
    if (!reply) {
        return unreachable(io, service);
    }
    const uint32_t status = reply->number(CReply::kKeyAnswer);
    if (status == kSignInPassed) {
        io.out << "signed in\n";
    } else {
        io.out << "not signed in (status " << status << ")\n";
    }
    return CTL_EXIT_OK;
}

// Prints a text answer; an empty text is a reply without key 2, shown as
// "(none)".
int printText(CtlStreams& io, CService& service, CComand& command) {
    std::unique_ptr<CReply> reply = command.execute(service);
    if (!reply) {
        return unreachable(io, service);
    }
    const String text = reply->text(CReply::kKeyAnswer);
    io.out << (text.empty() ? String("(none)\n") : text);
    return CTL_EXIT_OK;
}

int setMap(CtlStreams& io, CService& service, const std::vector<std::string>& args) {
    std::string user;
    bool withUser = false;
    std::string source;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--user") {
            if (i + 1 >= args.size()) {
                return usageError(io, "--user needs a name");
            }
            user = args[++i];
            withUser = true;
        } else if (source.empty()) {
            source = args[i];
        } else {
            return usageError(io, "set-map takes one file");
        }
    }
    if (source.empty()) {
        return usageError(io, "set-map needs a file, or - for standard input");
    }

    // A file is read before the password is asked for; standard input
    // holds the password first, then the map.
    std::string text;
    // The id and the terminating NUL share the service's body limit.
    auto tooLarge = [&] { return text.size() + 5 > kUiMaxBodyLength; };
    const char* const tooLargeMessage = "the user map is larger than the service accepts";
    if (source != "-") {
        std::ifstream file(source, std::ios::binary);
        if (!file) {
            return usageError(io, "cannot read " + source + ": " + std::strerror(errno));
        }
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        if (tooLarge()) {
            return usageError(io, tooLargeMessage);
        }
    }
    // The service takes a map only on a connection that signed in.
    if (!withUser) {
        if (!io.terminal) {
            return usageError(io,
                              "set-map needs --user <name> when standard input is not a "
                              "terminal");
        }
        if (!readUser(io, user)) {
            return usageError(io, "no user name given");
        }
    }
    if (int result = signIn(io, service, user, false)) {
        return result;
    }
    if (source == "-") {
        text.assign(std::istreambuf_iterator<char>(io.in), std::istreambuf_iterator<char>());
        if (tooLarge()) {
            return usageError(io, tooLargeMessage);
        }
    }

    // The service refuses a map it cannot take whole; saying which line is
    // wrong is the front end's part.
    CGetChildUserListCommand children;
    std::unique_ptr<CReply> list = children.execute(service);
    if (!list) {
        return unreachable(io, service);
    }
    UserMapProblem problem;
    if (!checkUserMapText(String(text), childIdsOfList(list->text(CReply::kKeyAnswer)), problem)) {
        io.err << "zorvanectl: line " << problem.line << " of the user map (\"" << problem.text
               << "\"): " << problem.reason << "; nothing was stored\n";
        return CTL_EXIT_USAGE;
    }

    CSetWinZorvUserMapCommand command{String(text)};
    std::unique_ptr<CReply> reply = command.execute(service);
    if (!reply) {
        return unreachable(io, service);
    }
    if (reply->number(CReply::kKeyAnswer) != 1) {
        // A failed answer may come before or after the map was stored:
        // what the service holds now tells which.
        CGetWinZorvUserMapCommand readBack;
        std::unique_ptr<CReply> held = readBack.execute(service);
        if (!held) {
            return unreachable(io, service);
        }
        if (userMapEntries(held->text(CReply::kKeyAnswer)) == userMapEntries(String(text))) {
            io.err << "zorvanectl: the user map was stored, but the filter did not take it "
                      "(filtering is off or the filter module does not answer; the service "
                      "log says which)\n";
        } else {
            io.err << "zorvanectl: the service did not store the user map (it refused it or "
                      "could not save it; the service log says which); the former map stays\n";
        }
        return CTL_EXIT_REFUSED;
    }
    io.out << "User map stored.\n";
    return CTL_EXIT_OK;
}

// Prints a 4-byte answer through `show`.
template <typename Show>
int printNumber(CtlStreams& io, CService& service, CComand& command, Show show) {
    std::unique_ptr<CReply> reply = command.execute(service);
    if (!reply) {
        return unreachable(io, service);
    }
    show(reply->number(CReply::kKeyAnswer));
    return CTL_EXIT_OK;
}

int checkPassword(CtlStreams& io, CService& service, const std::string& user, bool enable) {
    std::string password;
    if (!readPassword(io, password)) {
        return usageError(io, "no password given");
    }
    CEnableCommand command{String(user), String(password), enable};
    std::unique_ptr<CReply> reply = command.execute(service);
    if (!reply) {
        return unreachable(io, service);
    }
    if (reply->number(CReply::kKeyAnswer) != 1) {
        io.err << "zorvanectl: the password was not accepted\n";
        return CTL_EXIT_REFUSED;
    }
    io.out << "Password accepted.\n";
    return CTL_EXIT_OK;
}

}  // namespace

int runZorvaneCtl(const std::vector<std::string>& args, CtlStreams io, CService& service) {
    if (args.empty()) {
        return usageError(io, "no command given");
    }
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            io.out << kHelp;
            return CTL_EXIT_OK;
        }
    }
    const std::string& command = args[0];
    if (command == "signin") {
        if (args.size() != 2) {
            return usageError(io, "signin needs exactly one user name");
        }
        return signIn(io, service, args[1], true);
    }
    if (command == "set-map") {
        return setMap(io, service, args);
    }
    if (command == "check-enable" || command == "check-disable") {
        if (args.size() != 2) {
            return usageError(io, command + " needs exactly one user name");
        }
        return checkPassword(io, service, args[1], command == "check-enable");
    }
    if (args.size() != 1) {
        return usageError(io, command + " takes no arguments");
    }
    if (command == "auth-status") {
        return authStatus(io, service);
    }
    if (command == "children") {
        CGetChildUserListCommand request;
        return printText(io, service, request);
    }
    if (command == "map") {
        CGetWinZorvUserMapCommand request;
        return printText(io, service, request);
    }
    if (command == "status") {
        CStatusCommand request;
        std::unique_ptr<CReply> reply = request.execute(service);
        if (!reply) {
            return unreachable(io, service);
        }
        const uint32_t enabled = reply->number(CReply::kKeyAnswer);
        if (enabled == UI_STATUS_FILTER_NO_ANSWER) {
            io.err << "zorvanectl: the filter module does not answer\n";
            return CTL_EXIT_REFUSED;
        }
        io.out << (enabled == 1 ? "filtering\n" : "not filtering\n");
        return CTL_EXIT_OK;
    }
    if (command == "n-users") {
        CNUsersCommand request;
        return printNumber(io, service, request, [&](uint32_t length) {
            io.out << "child list: " << length << " bytes\n";
        });
    }
    return usageError(io, "unknown command '" + command + "'");
}
