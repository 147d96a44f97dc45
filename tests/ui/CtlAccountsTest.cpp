// The parent's account tasks in zorvanectl: listing the local accounts with
// their child, and mapping one account by name or SID to a child by name or
// id, over the real channel with a scripted service and a passwd fixture.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CtlCase.h"
#include "TestSupport.h"
#include "UiTestSupport.h"

namespace {

class CtlAccounts : public testing::Test {
protected:
    void SetUp() override {
        writeFile(mDir.file("passwd"),
                  "root:x:0:0:root:/root:/bin/bash\n"
                  "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
                  "anna:x:1001:1001::/home/anna:/bin/bash\n"
                  "ben:x:1002:1002::/home/ben:/bin/bash\n"
                  "svc:x:1003:1003::/srv:/usr/sbin/nologin\n");
        setenvForTest("ZORVANE_PASSWD_FILE", mDir.file("passwd").c_str());
        setenvForTest("ZORVANE_SHADOW_FILE", mDir.file("no-shadow").c_str());
    }
    void TearDown() override {
        setenvForTest("ZORVANE_PASSWD_FILE", nullptr);
        setenvForTest("ZORVANE_SHADOW_FILE", nullptr);
    }

    TempDir mDir;
};

TEST_F(CtlAccounts, ListsAccountsAndMapsOneByNameOrId) {
    UiEndpoint endpoint;
    ScriptedService script;
    ServedUi served(endpoint, script);
    script.setChildText("3, 1, Bo\n7, 2, Ann\n9, 1, Ann\n");
    // 1009 is no local account any more; its entry is kept as it stands.
    const std::string before = "S-1-22-1-1001, 3\nS-1-22-1-1009, 7\n";
    script.setMapText(before);

    runCtlCase({{"accounts"},
                "",
                0,
                "ACCOUNT  SID            CHILD\n"
                "root     S-1-22-1-0     not filtered\n"
                "anna     S-1-22-1-1001  Bo (id 3)\n"
                "ben      S-1-22-1-1002  not filtered\n",
                ""},
               endpoint);

    const struct {
        CtlCase run;
        std::string map;  // the service's map afterwards
    } cases[] = {
        // Bad input: a clear message, no password asked, nothing stored.
        {{{"assign", "--user", "parent", "nobody", "Bo"}, "secret\n", 2, "",
          "no local account 'nobody' that can be filtered"},
         before},
        {{{"assign", "--user", "parent", "svc", "Bo"}, "secret\n", 2, "", "no local account 'svc'"},
         before},
        {{{"assign", "--user", "parent", "ben", "Zed"}, "secret\n", 2, "",
          "no child profile 'Zed' ('zorvanectl children' lists them); nothing was changed"},
         before},
        {{{"assign", "--user", "parent", "ben", "Ann"}, "secret\n", 2, "",
          "more than one child profile is named 'Ann'; give its id"},
         before},
        {{{"assign", "--user", "parent", "ben"}, "", 2, "", "needs an account and a child"}, before},
        {{{"unassign", "--user", "parent"}, "", 2, "", "exactly one account"}, before},
        {{{"assign", "ben", "Bo"}, "secret\n", 2, "", "assign needs --user"}, before},
        {{{"assign", "--user", "parent", "ben", "Bo"}, "wrong\n", 1, "", "code 403"}, before},
        // By name, by id (with leading zeros), by SID; the rest stays.
        {{{"assign", "--user", "parent", "ben", "Bo"}, "secret\n", 0,
          "ben (S-1-22-1-1002) is filtered with Bo (id 3).", ""},
         "S-1-22-1-1001, 3\nS-1-22-1-1002, 3\nS-1-22-1-1009, 7\n"},
        {{{"assign", "--user", "parent", "ben", "009"}, "secret\n", 0, "with Ann (id 9).", ""},
         "S-1-22-1-1001, 3\nS-1-22-1-1002, 9\nS-1-22-1-1009, 7\n"},
        {{{"assign", "--user", "parent", "S-1-22-1-0", "7"}, "secret\n", 0,
          "root (S-1-22-1-0) is filtered with Ann (id 7).", ""},
         "S-1-22-1-0, 7\nS-1-22-1-1001, 3\nS-1-22-1-1002, 9\nS-1-22-1-1009, 7\n"},
        {{{"unassign", "--user", "parent", "anna"}, "secret\n", 0,
          "anna (S-1-22-1-1001) is not filtered.", ""},
         "S-1-22-1-0, 7\nS-1-22-1-1001, 0\nS-1-22-1-1002, 9\nS-1-22-1-1009, 7\n"},
    };
    for (const auto& c : cases) {
        runCtlCase(c.run, endpoint);
        EXPECT_EQ(script.mapText(), c.map);
    }

    runCtlCase({{"accounts"}, "", 0, "anna     S-1-22-1-1001  not filtered\n", ""}, endpoint);
    runCtlCase({{"accounts"}, "", 0, "ben      S-1-22-1-1002  Ann (id 9)\n", ""}, endpoint);
}

TEST_F(CtlAccounts, MappedChildThatIsGoneIsNamedByItsId) {
    UiEndpoint endpoint;
    ScriptedService script;
    ServedUi served(endpoint, script);
    script.setMapText("S-1-22-1-1002, 12\n");
    runCtlCase({{"accounts"}, "", 0, "ben      S-1-22-1-1002  unknown child profile (id 12)\n", ""},
               endpoint);
    // An unlistable account database is said so, not shown as empty.
    setenvForTest("ZORVANE_PASSWD_FILE", mDir.file("absent").c_str());
    runCtlCase({{"accounts"}, "", 1, "", "cannot list the local accounts"}, endpoint);
}

}  // namespace
