// The desktop program's rules: parsing the service's texts, the map Apply
// sends, the sign-in dialog's answers and the mapping dialog's arithmetic.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DialogRules.h"

namespace {

std::string describe(const std::vector<ChildProfileInfo>& children) {
    std::string text;
    for (const ChildProfileInfo& child : children) {
        text += "[" + std::to_string(child.id) + "|" + std::to_string(child.level) + "|" +
                child.name + "]";
    }
    return text;
}

TEST(DialogParsing, ChildListTexts) {
    const struct {
        std::string text;
        std::string children;
    } cases[] = {
        // As the service sends it.
        {"101, 2, Anna\n102, 1, Ben Two\n", "[101|2|Anna][102|1|Ben Two]"},
        // The separator-led form.
        {", 7, 3, Cleo\n", "[7|3|Cleo]"},
        {"", ""},
        {"no separator at all\n", ""},
        // A cut-off last line keeps what it has.
        {"5, 1, Dan\n6, 2", "[5|1|Dan][6|2|]"},
        {", 1, 2, Name, with comma\n", "[1|2|Name, with comma]"},
        {"x, y, Eve\n", "[0|0|Eve]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(describe(parseChildList(c.text)), c.children) << c.text;
    }
}

TEST(DialogParsing, UserMapTextAddsEveryEntryInKeyOrder) {
    DialogUserMap map{{"S-1-5-old", 9}};
    parseUserMap("S-1-5-21-b, 102\nS-1-5-21-a, 101\nS-1-5-old, 0\nS-1-5-cut, ", map);
    EXPECT_EQ(userMapText(map),
              "S-1-5-21-a, 101\nS-1-5-21-b, 102\nS-1-5-cut, 0\nS-1-5-old, 0\n");
    EXPECT_EQ(userMapText({}), "");
}

TEST(DialogApply, PreselectionAndTheStoredMap) {
    const std::vector<ChildProfileInfo> children = {{"Anna", 2, 101}, {"Ben", 1, 102}};
    DialogUserMap stored;
    parseUserMap("S-listed-b, 102\nS-gone, 101\nS-listed-c, 999\n", stored);

    EXPECT_EQ(preselectedEntry("S-listed-b", stored, children), 2);
    // A child id the list does not have, and an unknown account: "Disabled".
    EXPECT_EQ(preselectedEntry("S-listed-c", stored, children), 0);
    EXPECT_EQ(preselectedEntry("S-listed-a", stored, children), 0);
    EXPECT_EQ(stored.count("S-listed-a"), 1u);
    EXPECT_EQ(stored["S-listed-a"], 0);

    // The unlisted account is dropped; entry 0 stores 0; a selection that is
    // no entry at all (-1) stores 0 too.
    const DialogUserMap applied = appliedUserMap({"S-listed-b", "S-listed-a", "S-listed-c"},
                                                 {1, 0, -1}, children);
    EXPECT_EQ(userMapText(applied), "S-listed-a, 0\nS-listed-b, 101\nS-listed-c, 0\n");
}

TEST(DialogAccounts, ListingTypesAndPictures) {
    EXPECT_TRUE(accountListed(false, false, "Guest"));
    EXPECT_TRUE(accountListed(false, true, "guest"));
    EXPECT_TRUE(accountListed(false, true, "Visitor"));
    EXPECT_FALSE(accountListed(false, true, "Guest"));
    EXPECT_FALSE(accountListed(true, false, "anna"));

    EXPECT_STREQ(accountTypeText(0), "Guest User");
    EXPECT_STREQ(accountTypeText(1), "Standard User");
    EXPECT_STREQ(accountTypeText(2), "Admin User");
    EXPECT_STREQ(accountTypeText(3), "");

    EXPECT_EQ(defaultPicturePath(true, "D:\\Apps\\Zorvane\\"),
              "D:\\Apps\\Zorvane\\\\User Interface Files\\default.jpg");
    EXPECT_EQ(defaultPicturePath(false, "ignored"),
              "C:\\Program Files (x86)\\Zorvane\\\\User Interface Files\\default.jpg");
    EXPECT_EQ(defaultPicturePath(true, ""), "default.jpg");
    EXPECT_EQ(accountPicturePath("C:\\Users\\anna", "anna"),
              "C:\\Users\\anna\\AppData\\Local\\Temp\\anna.bmp");
    EXPECT_EQ(accountPicturePath("", "anna"), "");
}

TEST(SignInRules, InstallerModeIsReadAfterTheProgramName) {
    const struct {
        const char* commandLine;
        bool installer;
    } cases[] = {
        {"\"C:\\Program Files (x86)\\Zorvane\\ZorvaneUi.exe\" installer", true},
        {"ZorvaneUi.exe /uninstaller", true},
        {"C:\\installer\\ZorvaneUi.exe", false},
        {"C:\\installer\\ZorvaneUi.exe --quiet", false},
        {"zorvaneui.exe installer", false},
        {"ZorvaneUi.exe Installer", false},
        {"program.exe installer", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isInstallerMode(c.commandLine), c.installer) << c.commandLine;
    }
}

TEST(SignInRules, StatusLinePerAnswer) {
    const struct {
        bool installer;
        bool hasReply;
        int32_t value;
        bool connected;
        SignInOutcome::Action action;
        const char* status;
    } cases[] = {
        {false, true, 1, true, SignInOutcome::kSignedIn, ""},
        {false, true, 2, true, SignInOutcome::kRetry, " Failed! (Communication Error)"},
        {false, true, 4, true, SignInOutcome::kRetry, " Failed! (Communication Error)"},
        {false, true, 3, true, SignInOutcome::kRetry, " Failed! (Incorrect User/Password)"},
        {false, true, 403, true, SignInOutcome::kRetry, " Failed! (Incorrect User/Password)"},
        {false, true, 402, true, SignInOutcome::kRetry, " Failed! (402 - Inactive Account)"},
        {false, true, 404, true, SignInOutcome::kRetry,
         " Failed! (404 - Device in Another Account)"},
        {false, true, 200, true, SignInOutcome::kRetry, "Login Failed! (200)"},
        {false, true, 401, true, SignInOutcome::kRetry, "Login Failed! (401)"},
        {false, true, 406, true, SignInOutcome::kRetry, "Login Failed! (406)"},
        {false, true, 407, true, SignInOutcome::kRetry, "Login Failed! (407)"},
        {false, true, 0, true, SignInOutcome::kRetry, "Login Failed!"},
        {false, true, 5, true, SignInOutcome::kRetry, "Login Failed!"},
        {false, false, 1, true, SignInOutcome::kRetry, "Login Failed!"},
        {false, false, 0, false, SignInOutcome::kRetry,
         "Failed! (Please Restart Zorvane_Filter_Service)"},
        {true, false, 0, false, SignInOutcome::kExitProcess, ""},
        {true, true, 1, true, SignInOutcome::kExitProcess, ""},
        {true, true, 2, true, SignInOutcome::kExitProcess, ""},
        {true, true, 4, true, SignInOutcome::kExitProcess, ""},
        {true, true, 200, true, SignInOutcome::kExitProcess, ""},
        {true, true, 402, true, SignInOutcome::kExitProcess, ""},
        {true, true, 406, true, SignInOutcome::kExitProcess, ""},
        {true, true, 407, true, SignInOutcome::kExitProcess, ""},
        {true, true, 403, true, SignInOutcome::kRetry, "Login Failed! (403)"},
        {true, true, 3, true, SignInOutcome::kRetry, "Login Failed! (3)"},
        {true, true, 404, true, SignInOutcome::kRetry, "Login Failed! (404)"},
        {true, true, 0, true, SignInOutcome::kRetry, "Login Failed! (0)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.installer) + "/" + std::to_string(c.hasReply) + "/" +
                     std::to_string(c.value));
        const SignInOutcome outcome = signInOutcome(c.installer, c.hasReply, c.value, c.connected);
        EXPECT_EQ(outcome.action, c.action);
        EXPECT_EQ(outcome.status, c.status);
    }
    EXPECT_TRUE(installerExitsAtOpen(false, 1));
    EXPECT_TRUE(installerExitsAtOpen(true, 0));
    EXPECT_FALSE(installerExitsAtOpen(true, 1));
    EXPECT_EQ(kInstallerExitProceed, 0);
    EXPECT_EQ(kInstallerExitFail, 1603);
}

TEST(MappingLayout, RowsAtSixtyPixelStepsAndTheButtonMove) {
    const RowLayout second = rowLayout(1);
    EXPECT_EQ(second.picture, (PixelRect{50, 160, 100, 210}));
    EXPECT_EQ(second.name, (PixelRect{105, 165, 200, 185}));
    EXPECT_EQ(second.type, (PixelRect{105, 185, 200, 205}));
    EXPECT_EQ(second.childList, (PixelRect{210, 170, 300, 182}));
    EXPECT_EQ(rowLayout(0).picture, (PixelRect{50, 100, 100, 150}));

    EXPECT_FALSE(buttonsMove(3));
    EXPECT_EQ(displayHeight(3), 347);
    EXPECT_TRUE(buttonsMove(4));
    EXPECT_EQ(displayHeight(4), 407);
    EXPECT_EQ(movedApplyButton(4), (PixelRect{80, 355, 160, 385}));
    EXPECT_EQ(movedCancelButton(4), (PixelRect{210, 355, 290, 385}));
}

TEST(MappingScroller, RequestsMoveByLineOrPageWithinTheRange) {
    // Page 200 over a display of 407: positions 0 .. 207.
    const struct {
        int request;
        int position;
        int track;
        int expected;
    } cases[] = {
        {SCROLL_LINE_DOWN, 0, 0, 60},   {SCROLL_LINE_DOWN, 180, 0, 207},
        {SCROLL_LINE_UP, 100, 0, 40},   {SCROLL_LINE_UP, 30, 0, 0},
        {SCROLL_PAGE_DOWN, 0, 0, 200},  {SCROLL_PAGE_DOWN, 60, 0, 207},
        {SCROLL_PAGE_UP, 207, 0, 7},    {SCROLL_THUMB_TRACK, 0, 150, 150},
        {SCROLL_THUMB_POSITION, 0, 300, 207}, {6 /* top */, 120, 0, 120},
        {8 /* end scroll */, 120, 0, 120},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scrollTarget(c.request, c.position, 200, 407, c.track), c.expected)
            << c.request << " from " << c.position;
    }
}

TEST(MappingScroller, WheelStepsAndResize) {
    const WheelScroll threeUp = wheelScroll(360, 3, false);
    EXPECT_TRUE(threeUp.handled);
    EXPECT_TRUE(threeUp.up);
    EXPECT_EQ(threeUp.lines, 3);
    const WheelScroll oneDown = wheelScroll(-120, 1, false);
    EXPECT_FALSE(oneDown.up);
    EXPECT_EQ(oneDown.lines, 1);
    EXPECT_EQ(wheelScroll(240, 9, false).lines, 6);
    EXPECT_FALSE(wheelScroll(0, 3, false).up);
    EXPECT_TRUE(wheelScroll(-120, -1, false).wholePage);
    EXPECT_FALSE(wheelScroll(120, 3, true).handled);

    // Shrinking to 200 pixels of a 407 display: the position is scaled by
    // the new page over the old (300 * 200 / 400 = 150).
    const ScrollAxis smaller = resizedAxis(200, 407, 400, 300);
    EXPECT_EQ(smaller.page, 200);
    EXPECT_EQ(smaller.position, 150);
    EXPECT_EQ(smaller.rangeMax, 406);
    // Limited to display - client - 1.
    EXPECT_EQ(resizedAxis(300, 407, 0, 200).position, 106);
    // Everything fits: no page, no position, empty range.
    const ScrollAxis fits = resizedAxis(407, 407, 200, 100);
    EXPECT_EQ(fits.page, 0);
    EXPECT_EQ(fits.position, 0);
    EXPECT_EQ(fits.rangeMax, 0);
}

}  // namespace
