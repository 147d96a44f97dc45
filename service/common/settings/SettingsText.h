#pragma once

#include <cstdint>

#include "settings/ChildInfo.h"
#include "base/String.h"

// The settings file's text, line by line. Fields are separated by ", ";
// every line ends in "\n":
//
//   <auth server>, <filter server>, <filter port>
//   ALT:<alternate filter server>, <alternate port>      (only when there is one)
//   <parent account>, <password digest>, <filter switch 0|1>
//   <device id>, <device signature>
//   <SID>, <child id>                                    (the user map, one a line,
//   ...                                                   ascending by SID)
//   <empty line>                                         (ends the map)
//   <child id>, <name>, <level>, <session key>           (the children, one a line)
//
// The server, account and device lines are taken whole or not at all: one
// of them missing, incomplete or not what its place calls for leaves the
// settings as they were (a file that starts with anything else holds no
// account, so the parent can sign in again). A map or child line that cannot
// be read is skipped. Lines may end in CR LF.
namespace SettingsText {

extern const char kSep[];        // ", "
extern const char kAltPrefix[];  // "ALT:"
extern const char kMask[];       // what a secret is logged as

// The server, account and device lines as read, each field trimmed.
struct HeadLines {
    String authServer;
    String filterServer;
    String filterPort;
    String alternateServer;  // empty without an "ALT:" line
    String alternatePort;
    String user;
    String digest;
    String filterSwitch;
    String deviceId;
    String signature;
};

// The leading decimal number of a field; 0 for an empty or negative field.
uint32_t decimal(const String& field);
String decimalText(uint32_t value);
// Cuts the next complete line (without its "\n") off `rest`; false when no
// complete line is left.
bool takeLine(String& rest, String& line);
// Splits "a, b" into "a" and "b"; without a separator the head is the whole
// text and the tail empty.
void splitField(const String& text, String& head, String& tail);

// The text with CR LF line ends made LF and a leading UTF-8 byte-order mark
// dropped, as an editor may have left them.
String normalizedText(const String& text);

// Reads the server, account and device lines off the front of `rest`; false
// (with `head` incomplete) when any is missing, incomplete, malformed or is
// the last thing in the text. `why` then says which line and what is wrong.
// A server line has two names without blanks and a port of 1 to 65535; an
// account line a name, a 32-digit hex digest and a switch of 0 or 1; a device
// line a decimal id and a signature without blanks.
bool takeHeadLines(String& rest, HeadLines& head, String& why);
// Cuts the user-map block off the front of `rest`: up to the first empty
// line, or, in a text cut short inside the block, its complete lines.
String takeUserMapBlock(String& rest);
// One "<SID>, <child id>" line; false for a line without the separator, a
// SID or a decimal child id. `why`, when given, says what is wrong.
bool parseUserMapLine(const String& line, String& sid, uint32_t& childId,
                      String* why = nullptr);
// One child line; false unless id, name, level and session key are all there
// (id and level not 0). `why`, when given, says what is wrong.
bool parseChildLine(const String& line, ChildInfo& child, String* why = nullptr);

String userMapLine(const String& sid, uint32_t childId);
String childLine(uint32_t id, const ChildInfo& child);

// The text with the password digest of the account line and the children's
// session keys masked, for logs.
String maskForLog(const String& text);
// Any settings text after the account line (user map and child lines) with
// the session keys masked, for logs.
String maskSessionKeys(const String& text);

}  // namespace SettingsText
