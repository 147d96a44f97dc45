// A parent maps real local accounts with zorvanectl alone (no map file):
// by account name, to a child by name or id. A child at the same PC who
// tries the same without the parent's password changes nothing, and bad
// names are refused whole.

#include "HostileSystem.h"

namespace {

class ParentAccounts : public HostileSystem {
protected:
    // The fixture's accounts refuse sign-ins; only accounts a person can
    // sign in to are listed and mapped.
    static void canSignIn(const LocalUser& user) {
        ProgramResult result =
            runProgram({"/usr/sbin/usermod", "--shell", "/bin/sh", user.name}, {}, {}, 30000);
        ASSERT_EQ(result.exitCode, 0) << result.output;
    }
};

// The listing's line of the account with `sid`, without its line end.
std::string lineOf(const std::string& listing, const std::string& sid) {
    const size_t at = listing.find(" " + sid + " ");
    if (at == std::string::npos) {
        return std::string();
    }
    const size_t start = listing.rfind('\n', at);
    const size_t begin = start == std::string::npos ? 0 : start + 1;
    return listing.substr(begin, listing.find('\n', at) - begin);
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(ParentAccounts, ParentMapsByNameWhileAChildCannot) {
    ASSERT_NO_FATAL_FAILURE(canSignIn(child()));
    ASSERT_NO_FATAL_FAILURE(canSignIn(other()));
    ASSERT_NO_FATAL_FAILURE(startService());
    const std::string password = std::string(kParentPassword) + "\n";

    ProgramResult listed = ctl({"accounts"});
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    EXPECT_EQ(lineOf(listed.output, child().sid()).substr(0, child().name.size() + 1),
              child().name + " ")
        << listed.output;
    EXPECT_TRUE(endsWith(lineOf(listed.output, child().sid()), "  not filtered")) << listed.output;

    ProgramResult mapped = ctl({"assign", "--user", kParent, child().name, "Ben"}, password);
    EXPECT_EQ(mapped.exitCode, 0) << mapped.output << serviceLog();
    EXPECT_TRUE(contains(mapped.output, "is filtered with Ben (id 102)")) << mapped.output;
    EXPECT_EQ(ctl({"map"}).output, child().sid() + ", 102\n");
    const std::string stored = settingsText();

    // The child tries to unfilter itself: a guessed password, and the
    // parent's name without one.
    ProgramResult guessed = ctl({"unassign", "--user", kParent, child().name}, "letmein\n",
                                as(child()));
    EXPECT_EQ(guessed.exitCode, 1) << guessed.output;
    EXPECT_TRUE(contains(guessed.output, "incorrect user name or password")) << guessed.output;
    ProgramResult empty = ctl({"assign", "--user", kParent, child().name, "0"}, "", as(child()));
    EXPECT_NE(empty.exitCode, 0) << empty.output;

    // Bad names: said clearly, nothing stored.
    ProgramResult noAccount =
        ctl({"assign", "--user", kParent, "no_such_account_z", "Ben"}, password);
    EXPECT_EQ(noAccount.exitCode, 2) << noAccount.output;
    EXPECT_TRUE(contains(noAccount.output, "no local account 'no_such_account_z'"))
        << noAccount.output;
    ProgramResult noChild = ctl({"assign", "--user", kParent, other().name, "Zed"}, password);
    EXPECT_EQ(noChild.exitCode, 2) << noChild.output;
    EXPECT_TRUE(contains(noChild.output, "no child profile 'Zed'")) << noChild.output;
    EXPECT_EQ(settingsText(), stored);
    EXPECT_EQ(ctl({"map"}).output, child().sid() + ", 102\n");

    // The parent goes on: another account by child id, then the first one
    // unfiltered; the listing names the children.
    EXPECT_EQ(ctl({"assign", "--user", kParent, other().name, "103"}, password).exitCode, 0);
    ProgramResult unmapped = ctl({"unassign", "--user", kParent, child().name}, password);
    EXPECT_EQ(unmapped.exitCode, 0) << unmapped.output;
    listed = ctl({"accounts"});
    EXPECT_TRUE(endsWith(lineOf(listed.output, child().sid()), "  not filtered")) << listed.output;
    EXPECT_TRUE(endsWith(lineOf(listed.output, other().sid()), "  Cara (id 103)")) << listed.output;
}

}  // namespace
