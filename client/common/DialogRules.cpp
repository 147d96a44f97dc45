#include "DialogRules.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// atoi's reading of a decimal field, clamped instead of overflowing.
int decimal(const std::string& field) {
    const long value = std::strtol(field.c_str(), nullptr, 10);
    return static_cast<int>(std::max<long>(INT_MIN, std::min<long>(INT_MAX, value)));
}

// The text before `separator`; `rest` becomes the text after it, or empty
// when the separator is missing.
std::string takeField(std::string& rest, const char* separator) {
    const size_t at = rest.find(separator);
    std::string field = rest.substr(0, at);
    rest = at == std::string::npos ? std::string() : rest.substr(at + std::strlen(separator));
    return field;
}

}  // namespace

std::vector<ChildProfileInfo> parseChildList(const std::string& text) {
    std::vector<ChildProfileInfo> children;
    if (text.find(", ") == std::string::npos) {
        return children;
    }
    std::string rest = text;
    // The service's list starts with the first child's line; a list that
    // opens with the separator has it dropped.
    if (rest.compare(0, 2, ", ") == 0) {
        rest.erase(0, 2);
    }
    while (!rest.empty()) {
        ChildProfileInfo child;
        child.id = decimal(takeField(rest, ", "));
        child.level = decimal(takeField(rest, ", "));
        child.name = takeField(rest, "\n");
        children.push_back(child);
    }
    return children;
}

void parseUserMap(const std::string& text, DialogUserMap& map) {
    std::string rest = text;
    while (!rest.empty()) {
        const std::string key = takeField(rest, ", ");
        map[key] = decimal(takeField(rest, "\n"));
    }
}

int preselectedEntry(const std::string& sid, DialogUserMap& map,
                     const std::vector<ChildProfileInfo>& children) {
    const int childId = map[sid];
    int entry = 0;
    for (size_t i = 0; i < children.size(); ++i) {
        if (children[i].id == childId) {
            entry = static_cast<int>(i) + 1;
        }
    }
    return entry;
}

int childIdOfEntry(int entry, const std::vector<ChildProfileInfo>& children) {
    if (entry < 1 || static_cast<size_t>(entry) > children.size()) {
        return 0;
    }
    return children[static_cast<size_t>(entry) - 1].id;
}

DialogUserMap appliedUserMap(const std::vector<std::string>& sids, const std::vector<int>& entries,
                             const std::vector<ChildProfileInfo>& children) {
    DialogUserMap map;
    for (size_t i = 0; i < sids.size(); ++i) {
        map[sids[i]] = childIdOfEntry(i < entries.size() ? entries[i] : 0, children);
    }
    return map;
}

std::string userMapText(const DialogUserMap& map) {
    std::string text;
    for (const auto& [sid, childId] : map) {
        text += sid + ", " + std::to_string(childId) + "\n";
    }
    return text;
}

const char* accountTypeText(int privilege) {
    switch (privilege) {
        case 0:
            return "Guest User";
        case 1:
            return "Standard User";
        case 2:
            return "Admin User";
        default:
            return "";
    }
}

bool accountListed(bool disabled, bool guestLevel, const std::string& name) {
    return !disabled && !(guestLevel && name == "Guest");
}

std::string defaultPicturePath(bool installPathRead, const std::string& installPath) {
    std::string path = installPathRead ? installPath : std::string("C:\\Program Files (x86)\\Zorvane\\");
    if (!path.empty()) {
        path += "\\User Interface Files\\";
    }
    return path + "default.jpg";
}

std::string accountPicturePath(const std::string& profilePath, const std::string& name) {
    if (profilePath.empty()) {
        return std::string();
    }
    return profilePath + "\\AppData\\Local\\Temp\\" + name + ".bmp";
}

bool isInstallerMode(const std::string& commandLine) {
    const std::string program = "ZorvaneUi.exe";
    const size_t at = commandLine.find(program);
    if (at == std::string::npos) {
        return false;
    }
    return commandLine.find("installer", at + program.size()) != std::string::npos;
}

SignInOutcome signInOutcome(bool installerMode, bool hasReply, int32_t value, bool connected) {
    SignInOutcome outcome;
    const int32_t v = hasReply ? value : 0;
    if (installerMode) {
        switch (hasReply ? v : 1) {
            case 1:
            case 2:
            case 4:
            case 200:
            case 402:
            case 406:
            case 407:
                outcome.action = SignInOutcome::kExitProcess;
                return outcome;
            default:
                outcome.status = "Login Failed! (" + std::to_string(v) + ")";
                return outcome;
        }
    }
    switch (v) {
        case 1:
            outcome.action = SignInOutcome::kSignedIn;
            break;
        case 2:
        case 4:
            outcome.status = " Failed! (Communication Error)";
            break;
        case 3:
        case 403:
            outcome.status = " Failed! (Incorrect User/Password)";
            break;
        case 402:
            outcome.status = " Failed! (" + std::to_string(v) + " - Inactive Account)";
            break;
        case 404:
            outcome.status = " Failed! (" + std::to_string(v) + " - Device in Another Account)";
            break;
        case 200:
        case 401:
        case 406:
        case 407:
            outcome.status = "Login Failed! (" + std::to_string(v) + ")";
            break;
        default:
            outcome.status =
                connected ? "Login Failed!" : "Failed! (Please Restart Zorvane_Filter_Service)";
            break;
    }
    return outcome;
}

bool installerExitsAtOpen(bool hasReply, int32_t status) {
    return (hasReply ? status : 0) != 1;
}

RowLayout rowLayout(int index) {
    const int y = kRowStep * index;
    RowLayout row;
    row.picture = {50, 100 + y, 100, 150 + y};
    row.name = {105, 105 + y, 200, 125 + y};
    row.type = {105, 125 + y, 200, 145 + y};
    row.childList = {210, 110 + y, 300, 122 + y};
    return row;
}

bool buttonsMove(int rows) {
    return rows > 3;
}

PixelRect movedApplyButton(int rows) {
    const int top = kRowStep * rows + 115;
    return {80, top, 160, top + 30};
}

PixelRect movedCancelButton(int rows) {
    const int top = kRowStep * rows + 115;
    return {210, top, 290, top + 30};
}

int displayHeight(int rows) {
    return kRowStep * rows + 167;
}

int scrollTarget(int request, int position, int page, int display, int trackPosition) {
    int target = position;
    switch (request) {
        case SCROLL_LINE_UP:
            target = position - kRowStep;
            break;
        case SCROLL_LINE_DOWN:
            target = position + kRowStep;
            break;
        case SCROLL_PAGE_UP:
            target = position - page;
            break;
        case SCROLL_PAGE_DOWN:
            target = position + page;
            break;
        case SCROLL_THUMB_POSITION:
        case SCROLL_THUMB_TRACK:
            target = trackPosition;
            break;
        default:
            return position;
    }
    return std::max(0, std::min(target, display - page));
}

WheelScroll wheelScroll(int delta, int wheelLines, bool verticalRangeEmpty) {
    WheelScroll scroll;
    if (verticalRangeEmpty) {
        return scroll;
    }
    scroll.handled = true;
    scroll.up = delta > 0;
    if (wheelLines == -1) {
        scroll.wholePage = true;
        return scroll;
    }
    const int steps = (std::abs(delta) / 120) * wheelLines / 3;
    scroll.lines = std::max(steps, 1);
    return scroll;
}

ScrollAxis resizedAxis(int client, int display, int oldPage, int oldPosition) {
    ScrollAxis axis;
    if (client >= display) {
        return axis;
    }
    int position = oldPosition;
    if (oldPage > 0 && client > 0) {
        position = static_cast<int>(static_cast<long long>(oldPosition) * client / oldPage);
    }
    axis.page = client;
    axis.position = std::max(0, std::min(position, display - client - 1));
    axis.rangeMax = display - 1;
    return axis;
}
