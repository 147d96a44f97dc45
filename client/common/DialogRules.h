#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The desktop program's rules without any window: the texts the service
// answers parsed, the map text Apply sends, what the sign-in dialog shows
// per answer, and the pixel arithmetic of the mapping dialog's rows and
// scroll bars. Both front ends use them; the Win32 dialogs only move the
// results into controls.

// One child profile of the parent account, as the child list names it.
struct ChildProfileInfo {
    std::string name;
    int level = 0;
    int id = 0;
};

// Account SID text -> child id (0 = not filtered), in byte order of the SID.
using DialogUserMap = std::map<std::string, int>;

// The child list "<n>, " then per child "id, level, name\n". A text without
// ", " has no children.
std::vector<ChildProfileInfo> parseChildList(const std::string& text);

// Adds the entries of a user-map text ("SID, child id\n" per account).
void parseUserMap(const std::string& text, DialogUserMap& map);

// The drop-down entry preselected for an account: 0 "Disabled", else the
// index + 1 of the last child whose id the map holds for the SID. An absent
// SID is added to the map with 0.
int preselectedEntry(const std::string& sid, DialogUserMap& map,
                     const std::vector<ChildProfileInfo>& children);

// The child id a drop-down entry stands for: 0 for "Disabled" and for an
// entry that names no child.
int childIdOfEntry(int entry, const std::vector<ChildProfileInfo>& children);

// The map Apply stores: each listed account's SID with the child of its
// chosen entry; accounts that are not listed are dropped.
DialogUserMap appliedUserMap(const std::vector<std::string>& sids, const std::vector<int>& entries,
                             const std::vector<ChildProfileInfo>& children);

// "SID, id\n" per entry in key order; empty for an empty map.
std::string userMapText(const DialogUserMap& map);

// The account-type label: 0 guest, 1 standard, 2 admin, else empty.
const char* accountTypeText(int privilege);

// Whether the mapping dialog lists an account: never a disabled one, nor the
// built-in guest (guest level and named exactly "Guest").
bool accountListed(bool disabled, bool guestLevel, const std::string& name);

// Picture files. The default one from the installation folder (the
// compiled-in folder when the stored one cannot be read); an account's own
// is in its profile's temp folder, none when the profile path is empty.
std::string defaultPicturePath(bool installPathRead, const std::string& installPath);
std::string accountPicturePath(const std::string& profilePath, const std::string& name);

// ---- Sign-in ------------------------------------------------------------

// Exit codes of installer mode: let the uninstaller go on, or make it fail.
constexpr int kInstallerExitProceed = 0;
constexpr int kInstallerExitFail = 1603;

// Installer mode: the command line (narrowed) holds "installer" after the
// first "ZorvaneUi.exe". Both matches are case-sensitive.
bool isInstallerMode(const std::string& commandLine);

// What the sign-in dialog does with the answer to a sign-in request.
struct SignInOutcome {
    enum Action {
        kSignedIn,     // the dialog ends with OK
        kExitProcess,  // installer mode: the process ends with kInstallerExitProceed
        kRetry,        // show `status`, clear the password, stay open
    };
    Action action = kRetry;
    std::string status;
};

// `hasReply` false when the request got no answer (then `value` is not
// read); `connected` is the connection's flag after the request.
SignInOutcome signInOutcome(bool installerMode, bool hasReply, int32_t value, bool connected);

// Installer mode at opening: the process ends unless the service reports a
// completed sign-in (no reply reads as status 0).
bool installerExitsAtOpen(bool hasReply, int32_t status);

// ---- Mapping dialog layout (client pixels) -----------------------------

struct PixelRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
};

inline bool operator==(const PixelRect& a, const PixelRect& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

constexpr int kRowStep = 60;

struct RowLayout {
    PixelRect picture;
    PixelRect name;
    PixelRect type;
    PixelRect childList;
};

// The controls of row `index`, one row every 60 pixels.
RowLayout rowLayout(int index);

// With more than 3 rows Apply and Cancel move below the last row (80 x 30
// each); otherwise they keep the template's places.
bool buttonsMove(int rows);
PixelRect movedApplyButton(int rows);
PixelRect movedCancelButton(int rows);

// The scrolled area: 350 x (60 n + 167) pixels.
constexpr int kDisplayWidth = 350;
int displayHeight(int rows);

// ---- Scroll arithmetic --------------------------------------------------

// Scroll-bar requests by their Win32 numbers.
enum ScrollRequest {
    SCROLL_LINE_UP = 0,
    SCROLL_LINE_DOWN = 1,
    SCROLL_PAGE_UP = 2,
    SCROLL_PAGE_DOWN = 3,
    SCROLL_THUMB_POSITION = 4,
    SCROLL_THUMB_TRACK = 5,
};

// The position after a scroll request on one axis, clamped to
// 0 .. display - page; other requests leave `position` as it is.
int scrollTarget(int request, int position, int page, int display, int trackPosition);

// A wheel turn: how many line steps (or one page step) and which way.
struct WheelScroll {
    bool handled = false;  // false: the vertical range is empty
    bool wholePage = false;
    int lines = 0;
    bool up = false;
};

// `wheelLines` is the system's lines per notch, -1 for a page per notch.
WheelScroll wheelScroll(int delta, int wheelLines, bool verticalRangeEmpty);

// One axis of the scroll bars after a resize.
struct ScrollAxis {
    int page = 0;
    int position = 0;
    int rangeMax = 0;  // the range is 0 .. rangeMax
};

// `client` is the client size without scroll bars; `oldPage` and
// `oldPosition` the axis before.
ScrollAxis resizedAxis(int client, int display, int oldPage, int oldPosition);
