#pragma once

#include <sys/types.h>

#include <vector>

#include "base/String.h"

// Where the users' notifiers serve their sockets: <run dir>notify/ belongs to
// root (0755) and holds one folder per user, named after the user's SID,
// owned by that user and closed to everybody else (0700). Only the service
// makes these folders, so no user can take another user's socket name.
namespace LinuxNotifyFolders {

// The name of the socket inside a user's folder.
constexpr char kSocketName[] = "notifier";

String root();                            // <run dir>notify/
String userFolder(const String& sid);     // <run dir>notify/<SID>
String socketPath(const String& sid);     // <run dir>notify/<SID>/notifier

// The uid a Unix-user SID ("S-1-22-1-<uid>") names; false for any other SID.
bool uidOfSid(const String& sid, uid_t& uid);

// Makes the notify folder root's and a folder for each Unix-user SID of
// `sids`; an entry that is not a real folder owned by the user its name
// names is removed (links are never followed) and, when asked for, made
// again. Other SIDs are skipped. False when the notify folder itself cannot
// be made; a user's folder that fails is logged and the others still made.
bool prepare(const std::vector<String>& sids);

}  // namespace LinuxNotifyFolders
