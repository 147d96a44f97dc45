#include "settings/SettingsText.h"

#include <cinttypes>
#include <cstdlib>

#include "base/Logger.h"

namespace SettingsText {

const char kSep[] = ", ";
const char kAltPrefix[] = "ALT:";
const char kMask[] = "********";

namespace {

String trimmed(String text) {
    text.removeWhiteSpace();
    return text;
}

// Nothing may follow a head line but more of the file.
bool moreFollows(const String& rest) {
    if (rest.empty()) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "Settings::populateFromString error in settings read\n");
        return false;
    }
    return true;
}

// "a, b, c" into its three trimmed fields; true when both separators are
// there.
bool splitThree(const String& line, String& first, String& second, String& third) {
    String tail;
    splitField(line, first, tail);
    splitField(tail, second, third);
    first = trimmed(first);
    second = trimmed(second);
    third = trimmed(third);
    return line.contains(kSep) && tail.contains(kSep);
}

}  // namespace

uint32_t decimal(const String& field) {
    long long value = std::strtoll(field.c_str(), nullptr, 10);
    if (value < 0) {
        return 0;
    }
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

String decimalText(uint32_t value) {
    return String(std::to_string(value));
}

bool takeLine(String& rest, String& line) {
    int end = rest.indexOf("\n");
    if (end < 0) {
        return false;
    }
    line = String(rest.substr(0, static_cast<size_t>(end)));
    rest = String(rest.substr(static_cast<size_t>(end) + 1));
    return true;
}

void splitField(const String& text, String& head, String& tail) {
    int at = text.indexOf(kSep);
    if (at < 0) {
        head = text;
        tail = String();
        return;
    }
    head = String(text.substr(0, static_cast<size_t>(at)));
    tail = String(text.substr(static_cast<size_t>(at) + 2));
}

bool takeHeadLines(String& rest, HeadLines& head) {
    String line;
    String field;

    // The server line, then the optional alternate server.
    if (!takeLine(rest, line)) {
        return false;
    }
    if (!splitThree(line, head.authServer, head.filterServer, head.filterPort) ||
        head.authServer.empty() || head.filterServer.empty() || head.filterPort.empty()) {
        return false;
    }
    if (rest.before("\n").contains(kAltPrefix)) {
        takeLine(rest, line);
        splitField(line, field, head.alternatePort);
        head.alternateServer = field.after(kAltPrefix);
    }
    if (!moreFollows(rest)) {
        return false;
    }

    // The account line.
    if (!takeLine(rest, line)) {
        return false;
    }
    // Only the fields count here: a missing separator leaves one empty.
    splitThree(line, head.user, head.digest, head.filterSwitch);
    if (head.user.empty() || head.digest.empty() || head.filterSwitch.empty() ||
        !moreFollows(rest)) {
        return false;
    }

    // The device line.
    if (!takeLine(rest, line)) {
        return false;
    }
    splitField(line, head.deviceId, head.signature);
    head.deviceId = trimmed(head.deviceId);
    head.signature = trimmed(head.signature);
    return !head.deviceId.empty() && !head.signature.empty() && moreFollows(rest);
}

String takeUserMapBlock(String& rest) {
    String block;
    int blockEnd = rest.indexOf("\n\n");
    if (blockEnd >= 0) {
        block = String(rest.substr(0, static_cast<size_t>(blockEnd)));
        rest = String(rest.substr(static_cast<size_t>(blockEnd) + 2));
    } else {
        size_t lastLineEnd = rest.rfind('\n');
        block = lastLineEnd == std::string::npos ? String() : String(rest.substr(0, lastLineEnd));
        rest.clear();
    }
    return block;
}

bool parseUserMapLine(const String& line, String& sid, uint32_t& childId) {
    String id;
    splitField(line, sid, id);
    if (sid.empty() || !line.contains(kSep)) {
        return false;
    }
    childId = decimal(id);
    return true;
}

bool parseChildLine(const String& line, ChildInfo& child) {
    String idText;
    String name;
    String levelText;
    String sessionKey;
    String tail;
    String field;
    splitField(line, idText, tail);
    splitField(tail, name, field);
    splitField(field, levelText, sessionKey);
    const uint32_t id = decimal(idText);
    const uint32_t level = decimal(levelText);
    if (id == 0 || level == 0 || name.empty() || sessionKey.empty()) {
        return false;
    }
    child.setId(id);
    child.setName(name);
    child.setLevel(level);
    child.setSessionKey(sessionKey);
    return true;
}

String userMapLine(const String& sid, uint32_t childId) {
    return String(sid + kSep + decimalText(childId) + "\n");
}

String childLine(uint32_t id, const ChildInfo& child) {
    return String(decimalText(id) + kSep + child.getName() + kSep +
                  decimalText(child.getLevel()) + kSep + child.getSessionKey() + "\n");
}

String maskSessionKeys(const String& text) {
    // Only child lines have three separators: the key is all behind the
    // third (so a key or name holding ", " is still hidden whole).
    String masked;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        const size_t stop = end == String::npos ? text.size() : end;
        String line(text.substr(start, stop - start));
        size_t cut = 0;
        int separators = 0;
        while (separators < 3 && (cut = line.find(kSep, cut)) != String::npos) {
            cut += 2;
            ++separators;
        }
        if (separators == 3) {
            line = String(line.substr(0, cut) + kMask);
        }
        masked += line;
        if (end == String::npos) {
            break;
        }
        masked += "\n";
        start = end + 1;
    }
    return masked;
}

String maskForLog(const String& text) {
    // The digest is the second field of the account line: the line after the
    // server line and the optional "ALT:" line. The session keys are on the
    // child lines after it.
    String rest = text;
    String masked;
    String line;
    int lineNumber = 0;
    bool done = false;
    while (!done && takeLine(rest, line)) {
        ++lineNumber;
        bool accountLine = lineNumber == 2 ? !line.contains(kAltPrefix) : lineNumber == 3;
        if (accountLine) {
            String user;
            String tail;
            String digest;
            String filterSwitch;
            splitField(line, user, tail);
            splitField(tail, digest, filterSwitch);
            if (line.contains(kSep)) {
                line = String(user + kSep + kMask + (tail.contains(kSep) ? kSep : "") +
                              filterSwitch);
            }
            done = true;
        }
        masked += line + "\n";
    }
    return String(masked + maskSessionKeys(rest));
}

}  // namespace SettingsText
