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

bool allDigits(const String& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == String::npos;
}

bool allHex(const String& text) {
    return !text.empty() && text.find_first_not_of("0123456789abcdefABCDEF") == String::npos;
}

// A name that is one token: no blank and no control character in it.
bool isToken(const String& text) {
    if (text.empty()) {
        return false;
    }
    for (unsigned char c : text) {
        if (c <= ' ' || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// Printable text that may hold blanks (the parent's account name).
bool isPrintable(const String& text) {
    for (unsigned char c : text) {
        if (c < ' ' || c == 0x7F) {
            return false;
        }
    }
    return !text.empty();
}

bool refuse(String& why, const char* reason) {
    why = reason;
    return false;
}

constexpr size_t kDigestLength = 32;  // MD5 in hex

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

String normalizedText(const String& text) {
    static const char kByteOrderMark[] = "\xEF\xBB\xBF";
    size_t start = text.compare(0, 3, kByteOrderMark) == 0 ? 3 : 0;
    String normal;
    normal.reserve(text.size() - start);
    for (size_t at = start; at < text.size(); ++at) {
        if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') {
            continue;
        }
        normal += text[at];
    }
    return normal;
}

bool takeHeadLines(String& rest, HeadLines& head, String& why) {
    String line;
    String field;

    // The server line, then the optional alternate server. A line cut short
    // is still looked at, to say what it is.
    const bool cut = !takeLine(rest, line);
    if (cut) {
        line = rest;
    }
    if (!splitThree(line, head.authServer, head.filterServer, head.filterPort) ||
        head.authServer.empty() || head.filterServer.empty() || head.filterPort.empty()) {
        return refuse(why, "line 1 is not a server line (auth server, filter server, port)");
    }
    if (!isToken(head.authServer) || !isToken(head.filterServer) ||
        !allDigits(head.filterPort) || head.filterPort.size() > 5 ||
        decimal(head.filterPort) == 0 || decimal(head.filterPort) > 65535) {
        return refuse(why, "line 1 is not a server line (a server name or the port is not valid)");
    }
    if (cut) {
        return refuse(why, "the server line (line 1) has no line end");
    }
    int lineNumber = 2;
    if (rest.before("\n").contains(kAltPrefix)) {
        takeLine(rest, line);
        splitField(line, field, head.alternatePort);
        head.alternateServer = field.after(kAltPrefix);
        ++lineNumber;
    }
    const String accountLine = "the account line (line " + std::to_string(lineNumber) + ")";
    const String deviceLine = "the device line (line " + std::to_string(lineNumber + 1) + ")";
    if (!moreFollows(rest)) {
        why = accountLine + " is missing";
        return false;
    }

    // The account line.
    if (!takeLine(rest, line)) {
        why = accountLine + " has no line end";
        return false;
    }
    // Only the fields count here: a missing separator leaves one empty.
    splitThree(line, head.user, head.digest, head.filterSwitch);
    if (head.user.empty() || head.digest.empty() || head.filterSwitch.empty()) {
        why = accountLine + " lacks a field (account, password digest, filter switch)";
        return false;
    }
    if (!isPrintable(head.user) || head.digest.size() != kDigestLength || !allHex(head.digest) ||
        (head.filterSwitch != "0" && head.filterSwitch != "1")) {
        why = accountLine + " does not parse (the digest or the filter switch is not valid)";
        return false;
    }
    if (!moreFollows(rest)) {
        why = deviceLine + " is missing";
        return false;
    }

    // The device line.
    if (!takeLine(rest, line)) {
        why = deviceLine + " has no line end";
        return false;
    }
    splitField(line, head.deviceId, head.signature);
    head.deviceId = trimmed(head.deviceId);
    head.signature = trimmed(head.signature);
    if (!allDigits(head.deviceId) || head.deviceId.size() > 10 || !isToken(head.signature)) {
        why = deviceLine + " does not parse (device id, signature)";
        return false;
    }
    if (!moreFollows(rest)) {
        why = "nothing follows " + deviceLine;
        return false;
    }
    return true;
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

bool parseUserMapLine(const String& line, String& sid, uint32_t& childId, String* why) {
    String id;
    String reason;
    splitField(line, sid, id);
    id = trimmed(id);
    if (!line.contains(kSep)) {
        reason = "no \", \" between the account and the child id";
    } else if (sid.empty()) {
        reason = "no account SID";
    } else if (!allDigits(id) || id.size() > 10 || std::strtoull(id.c_str(), nullptr, 10) > UINT32_MAX) {
        reason = "the child id is not a number";
    }
    if (!reason.empty()) {
        if (why) {
            *why = reason;
        }
        return false;
    }
    childId = decimal(id);
    return true;
}

bool parseChildLine(const String& line, ChildInfo& child, String* why) {
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
        if (why) {
            *why = id == 0          ? "the child id is missing or 0"
                   : level == 0     ? "the level is missing or 0"
                   : name.empty()   ? "the name is missing"
                                    : "the session key is missing";
        }
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
