// The notifier rules that hang on Windows accounts.

#include "NotifierFixtures.h"

namespace {

TEST_F(NotifierRules, AccountsOfThisSystemHaveSids) {
    // Wine reports its one account at guest level, so the list may be empty.
    std::vector<String> sids;
    ASSERT_GE(GetWindowsUserList(sids), 0);
    for (const String& sid : sids) {
        EXPECT_EQ(sid.indexOf("S-1-5-"), 0) << sid;
    }
}

}  // namespace
