#include "settings/UserMapCheck.h"

#include <cstdlib>

namespace {

const char kSep[] = ", ";

bool allDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// "S-" then numbers separated by single dashes: S-1-22-1-1000,
// S-1-5-21-...-1001.
bool isSidText(const std::string& sid) {
    if (sid.size() < 4 || sid.compare(0, 2, "S-") != 0) {
        return false;
    }
    size_t start = 2;
    int parts = 0;
    while (start <= sid.size()) {
        size_t dash = sid.find('-', start);
        std::string part = sid.substr(start, dash == std::string::npos ? std::string::npos
                                                                        : dash - start);
        if (!allDigits(part)) {
            return false;
        }
        ++parts;
        if (dash == std::string::npos) {
            break;
        }
        start = dash + 1;
    }
    return parts >= 2;
}

bool fail(UserMapProblem& problem, int line, const std::string& text, std::string reason) {
    problem.line = line;
    problem.text = text;
    problem.reason = std::move(reason);
    return false;
}

}  // namespace

bool checkUserMapText(const String& text, const std::set<uint32_t>& childIds,
                      UserMapProblem& problem) {
    std::string rest(text.c_str());  // a terminating NUL ends the text
    int number = 0;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        std::string line = rest.substr(0, end);
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (trimmed(line).empty()) {
            continue;
        }
        const size_t sep = line.find(kSep);
        if (sep == std::string::npos) {
            return fail(problem, number, line, "no \", \" between the account and the child id");
        }
        const std::string sid = trimmed(line.substr(0, sep));
        const std::string id = trimmed(line.substr(sep + 2));
        if (!isSidText(sid)) {
            return fail(problem, number, line, "\"" + sid + "\" is not an account SID");
        }
        if (!allDigits(id) || id.size() > 10 || std::strtoull(id.c_str(), nullptr, 10) > 0xFFFFFFFFull) {
            return fail(problem, number, line, "\"" + id + "\" is not a child id");
        }
        const uint32_t child = static_cast<uint32_t>(std::strtoul(id.c_str(), nullptr, 10));
        if (child != 0 && childIds.count(child) == 0) {
            return fail(problem, number, line,
                        "the account has no child profile " + std::to_string(child));
        }
    }
    return true;
}

std::set<uint32_t> childIdsOfList(const String& text) {
    std::set<uint32_t> ids;
    std::string rest(text.c_str());
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string line = trimmed(rest.substr(0, end));
        rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
        const std::string id = trimmed(line.substr(0, line.find(',')));
        if (allDigits(id) && id.size() <= 10) {
            ids.insert(static_cast<uint32_t>(std::strtoul(id.c_str(), nullptr, 10)));
        }
    }
    return ids;
}
