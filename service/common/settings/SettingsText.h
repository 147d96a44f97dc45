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
// of them missing or incomplete leaves the settings as they were. A map or
// child line that cannot be read is skipped.
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

// Reads the server, account and device lines off the front of `rest`; false
// (with `head` incomplete) when any is missing, incomplete or is the last
// thing in the text.
bool takeHeadLines(String& rest, HeadLines& head);
// Cuts the user-map block off the front of `rest`: up to the first empty
// line, or, in a text cut short inside the block, its complete lines.
String takeUserMapBlock(String& rest);
// One "<SID>, <child id>" line; false for a line without the separator or a SID.
bool parseUserMapLine(const String& line, String& sid, uint32_t& childId);
// One child line; false unless id, name, level and session key are all there
// (id and level not 0).
bool parseChildLine(const String& line, ChildInfo& child);

String userMapLine(const String& sid, uint32_t childId);
String childLine(uint32_t id, const ChildInfo& child);

// The text with the password digest of the account line and the children's
// session keys masked, for logs.
String maskForLog(const String& text);
// Any settings text after the account line (user map and child lines) with
// the session keys masked, for logs.
String maskSessionKeys(const String& text);

}  // namespace SettingsText
