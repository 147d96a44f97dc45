// The parent's tools tell the truth: a map the service cannot take whole is
// refused with the wrong line named, and nothing of it is stored.

#include "HostileSystem.h"

namespace {

class ParentTools : public HostileSystem {};

TEST_F(ParentTools, BadMapsAreRefusedWithTheLineNamedAndNothingStored) {
    ASSERT_NO_FATAL_FAILURE(startService());
    ProgramResult empty = ctl({"map"});
    EXPECT_EQ(empty.output, "(none)\n");
    const std::string good = child().sid() + ", 101\n";
    ASSERT_TRUE(parentSetsMap(good));
    const std::string stored = settingsText();

    const struct {
        std::string map;
        std::string said;
    } cases[] = {
        {other().sid() + ", 999\n", "line 1 of the user map (\"" + other().sid() +
                                        ", 999\"): the account has no child profile 999"},
        {good + "hello\n", "line 2 of the user map (\"hello\")"},
        {other().sid() + ", abc\n", "\"abc\" is not a child id"},
        {other().sid() + " 102\n", "no \", \" between the account and the child id"},
    };
    const std::string mapPath = root() + "/bad-map.txt";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.map);
        writeFile(mapPath, c.map);
        ProgramResult result = ctl({"set-map", "--user", kParent, mapPath},
                                   std::string(kParentPassword) + "\n");
        EXPECT_EQ(result.exitCode, 2) << result.output;
        EXPECT_TRUE(contains(result.output, c.said)) << result.output;
        EXPECT_TRUE(contains(result.output, "nothing was stored")) << result.output;

        // Sent past the front end, the service refuses it too.
        ProgramResult direct =
            runProgram({ZORVANE_RAW_CLIENT, uiSocket(), "frame:260:parent,parent123", "word",
                        "frame:265:" + c.map, "word"},
                       {}, {}, 60000);
        EXPECT_TRUE(contains(direct.output, "answer 1\nanswer 0\n")) << direct.output;
        EXPECT_EQ(settingsText(), stored);
    }
    EXPECT_TRUE(contains(serviceLog(), "SetSysZorvUserMapCommand map refused - line 2")) << serviceLog();
    ProgramResult map = ctl({"map"});
    EXPECT_EQ(map.output, good);
}

}  // namespace
