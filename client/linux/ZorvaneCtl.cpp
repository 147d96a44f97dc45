#include "ZorvaneCtl.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
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
#include "DialogRules.h"
#include "LinuxPipeClient.h"
#include "settings/UserMapCheck.h"
#include "system/Accounts.h"
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
    "  accounts            list the local accounts: name, SID and the child\n"
    "                      profile each is filtered with\n"
    "  assign [--user <name>] <account> <child>\n"
    "                      sign in, then filter a local account (name or SID)\n"
    "                      with a child profile (name or id); the other\n"
    "                      accounts keep theirs\n"
    "  unassign [--user <name>] <account>\n"
    "                      sign in, then stop filtering a local account\n"
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
    "standard input when that is not a terminal (then set-map, assign and\n"
    "unassign need --user).\n"
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

// Splits a command's arguments (after its name) into "--user <name>" and
// the rest; false after a usage message when the name is missing.
bool takeUserOption(CtlStreams& io, const std::vector<std::string>& args, std::string* user,
                    bool* withUser, std::vector<std::string>* operands) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] != "--user") {
            operands->push_back(args[i]);
        } else if (i + 1 >= args.size()) {
            usageError(io, "--user needs a name");
            return false;
        } else {
            *user = args[++i];
            *withUser = true;
        }
    }
    return true;
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
            io.err << "zorvanectl: the filtering service did not answer within " << limits.answerMs
                   << " ms\n";
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
            entries[trim(line.substr(0, sep))] =
                digits == std::string::npos ? "0" : id.substr(digits);
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

// The parent's user name from --user, else typed at the terminal.
int askParentUser(CtlStreams& io, const std::string& command, bool withUser, std::string& user) {
    if (withUser) {
        return CTL_EXIT_OK;
    }
    if (!io.terminal) {
        return usageError(io,
                          command + " needs --user <name> when standard input is not a terminal");
    }
    if (!readUser(io, user)) {
        return usageError(io, "no user name given");
    }
    return CTL_EXIT_OK;
}

// Checks a whole map against the child profiles and stores it on a
// connection that signed in; CTL_EXIT_OK when the service took it.
int storeUserMap(CtlStreams& io, CService& service, const std::string& text) {
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
    return CTL_EXIT_OK;
}

int setMap(CtlStreams& io, CService& service, const std::vector<std::string>& args) {
    std::string user;
    bool withUser = false;
    std::vector<std::string> operands;
    if (!takeUserOption(io, args, &user, &withUser, &operands)) {
        return CTL_EXIT_USAGE;
    }
    if (operands.size() > 1) {
        return usageError(io, "set-map takes one file");
    }
    if (operands.empty() || operands[0].empty()) {
        return usageError(io, "set-map needs a file, or - for standard input");
    }
    const std::string& source = operands[0];

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
    if (int result = askParentUser(io, "set-map", withUser, user)) {
        return result;
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

    if (int result = storeUserMap(io, service, text)) {
        return result;
    }
    io.out << "User map stored.\n";
    return CTL_EXIT_OK;
}

// The accounts a parent can map: those the desktop program lists.
bool mappableAccounts(std::vector<LocalAccount>& accounts) {
    std::vector<LocalAccount> all;
    if (!Accounts::listLocalAccounts(all)) {
        return false;
    }
    for (const LocalAccount& account : all) {
        if (accountListed(account.disabled, account.guest, account.name.c_str()) &&
            !account.sid.empty()) {
            accounts.push_back(account);
        }
    }
    return true;
}

int cannotListAccounts(CtlStreams& io) {
    io.err << "zorvanectl: cannot list the local accounts: " << std::strerror(errno) << "\n";
    return CTL_EXIT_REFUSED;
}

// The text answer of `command`, into `text`; false when there was no reply.
bool fetchText(CService& service, CComand& command, std::string& text) {
    std::unique_ptr<CReply> reply = command.execute(service);
    if (!reply) {
        return false;
    }
    text = reply->text(CReply::kKeyAnswer);
    return true;
}

// "Name (id N)", or what is known of a child id.
std::string childLabel(int childId, const std::vector<ChildProfileInfo>& children) {
    if (childId == 0) {
        return "not filtered";
    }
    for (const ChildProfileInfo& child : children) {
        if (child.id == childId) {
            return child.name + " (id " + std::to_string(childId) + ")";
        }
    }
    return "unknown child profile (id " + std::to_string(childId) + ")";
}

int listAccounts(CtlStreams& io, CService& service) {
    std::vector<LocalAccount> accounts;
    if (!mappableAccounts(accounts)) {
        return cannotListAccounts(io);
    }
    std::string childText;
    std::string mapText;
    CGetChildUserListCommand childRequest;
    CGetWinZorvUserMapCommand mapRequest;
    if (!fetchText(service, childRequest, childText) || !fetchText(service, mapRequest, mapText)) {
        return unreachable(io, service);
    }
    const std::vector<ChildProfileInfo> children = parseChildList(childText);
    DialogUserMap map;
    parseUserMap(mapText, map);

    size_t nameWidth = 7;
    size_t sidWidth = 3;
    for (const LocalAccount& account : accounts) {
        nameWidth = std::max(nameWidth, account.name.size());
        sidWidth = std::max(sidWidth, account.sid.size());
    }
    auto row = [&](const std::string& name, const std::string& sid, const std::string& child) {
        io.out << name << std::string(nameWidth - name.size() + 2, ' ') << sid
               << std::string(sidWidth - sid.size() + 2, ' ') << child << "\n";
    };
    row("ACCOUNT", "SID", "CHILD");
    for (const LocalAccount& account : accounts) {
        const auto found = map.find(account.sid.c_str());
        row(account.name.c_str(), account.sid.c_str(),
            childLabel(found == map.end() ? 0 : found->second, children));
    }
    return CTL_EXIT_OK;
}

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// assign and unassign: [--user <name>] <account> [<child>]. Checks the
// account and the child before the map is touched; the other accounts'
// entries stay as the service holds them.
int changeAccount(CtlStreams& io, CService& service, const std::vector<std::string>& args) {
    const std::string& command = args[0];
    const bool assign = command == "assign";
    std::string user;
    bool withUser = false;
    std::vector<std::string> operands;
    if (!takeUserOption(io, args, &user, &withUser, &operands)) {
        return CTL_EXIT_USAGE;
    }
    if (operands.size() != (assign ? 2u : 1u)) {
        return usageError(io, assign ? "assign needs an account and a child profile"
                                     : "unassign needs exactly one account");
    }

    std::vector<LocalAccount> accounts;
    if (!mappableAccounts(accounts)) {
        return cannotListAccounts(io);
    }
    const LocalAccount* account = nullptr;
    for (const LocalAccount& candidate : accounts) {
        if (operands[0] == candidate.name.c_str() || operands[0] == candidate.sid.c_str()) {
            account = &candidate;
            break;
        }
    }
    if (!account) {
        io.err << "zorvanectl: no local account '" << operands[0]
               << "' that can be filtered ('zorvanectl accounts' lists them); nothing was "
                  "changed\n";
        return CTL_EXIT_USAGE;
    }
    const std::string accountName = account->name.c_str();
    const std::string sid = account->sid.c_str();

    if (int result = askParentUser(io, command, withUser, user)) {
        return result;
    }
    if (int result = signIn(io, service, user, false)) {
        return result;
    }

    // The child profiles come with the sign-in, so they are read after it.
    std::string childText;
    CGetChildUserListCommand childRequest;
    if (!fetchText(service, childRequest, childText)) {
        return unreachable(io, service);
    }
    const std::vector<ChildProfileInfo> children = parseChildList(childText);
    int childId = 0;
    std::string childName;
    if (assign) {
        const std::string& wanted = operands[1];
        // An id names one child; a name may be shared, then the id decides.
        const bool numeric = allDigits(wanted) && wanted.size() <= 10;
        const long long wantedId = numeric ? std::stoll(wanted) : -1;
        int matches = 0;
        for (const ChildProfileInfo& child : children) {
            if (child.id == wantedId) {
                matches = 1;
                childId = child.id;
                childName = child.name;
                break;
            }
            if (child.name == wanted) {
                ++matches;
                childId = child.id;
                childName = child.name;
            }
        }
        if (matches == 0) {
            io.err << "zorvanectl: the parent account has no child profile '" << wanted
                   << "' ('zorvanectl children' lists them); nothing was changed\n";
            return CTL_EXIT_USAGE;
        }
        if (matches > 1) {
            io.err << "zorvanectl: more than one child profile is named '" << wanted
                   << "'; give its id ('zorvanectl children' lists them); nothing was "
                      "changed\n";
            return CTL_EXIT_USAGE;
        }
    }

    std::string mapText;
    CGetWinZorvUserMapCommand mapRequest;
    if (!fetchText(service, mapRequest, mapText)) {
        return unreachable(io, service);
    }
    DialogUserMap map;
    parseUserMap(mapText, map);
    // Not filtered is stored as child 0, as the desktop program's Apply does.
    map[sid] = assign ? childId : 0;
    if (int result = storeUserMap(io, service, userMapText(map))) {
        return result;
    }
    if (assign) {
        io.out << accountName << " (" << sid << ") is filtered with " << childName << " (id "
               << childId << ").\n";
    } else {
        io.out << accountName << " (" << sid << ") is not filtered.\n";
    }
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
    if (command == "assign" || command == "unassign") {
        return changeAccount(io, service, args);
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
    if (command == "accounts") {
        return listAccounts(io, service);
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
