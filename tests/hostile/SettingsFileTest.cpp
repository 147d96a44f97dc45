// The settings file against faults, with the real service: a change that
// cannot be saved is answered as a failure and changes nothing, and a
// damaged file (garbage, cut short, CR LF line ends) never keeps the parent
// from signing in again.
//
// The file is made unwritable by putting a file in the data folder's place
// while the service runs: root ignores file modes, and the folder path then
// cannot be written through on any file system.

#include <filesystem>
#include <future>

#include "HostileSystem.h"

namespace fs = std::filesystem;

namespace {

class SettingsFile : public HostileSystem {
protected:
    // Puts a file where the data folder is; restore() brings the folder back.
    void blockDataFolder() {
        const std::string folder = fs::path(dataDir()).parent_path().string();
        fs::rename(folder, folder + ".away");
        writeFile(folder, "not a folder");
        mBlocked = folder;
    }
    void restoreDataFolder() {
        if (!mBlocked.empty()) {
            fs::remove(mBlocked);
            fs::rename(mBlocked + ".away", mBlocked);
            mBlocked.clear();
        }
    }
    void TearDown() override {
        restoreDataFolder();
        HostileSystem::TearDown();
    }

    size_t count(const std::string& text, const std::string& part) const {
        size_t found = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++found;
        }
        return found;
    }

    std::string mBlocked;
};

TEST_F(SettingsFile, AChangeThatCannotBeSavedIsAFailureAndNothingChanges) {
    ASSERT_NO_FATAL_FAILURE(startService());
    const std::string stored = child().sid() + ", 101\n";
    ASSERT_TRUE(parentSetsMap(stored));
    const std::string saved = settingsText();
    ASSERT_TRUE(contains(saved, "\n" + stored + "\n")) << saved;

    // One connection: the sign-in is saved, then the folder goes, then the
    // map comes.
    const size_t signIns = count(serviceLog(), "AuthCommand::execute() retcode 1\n");
    auto client = std::async(std::launch::async, [&] {
        return runProgram({ZORVANE_RAW_CLIENT, uiSocket(), "frame:260:parent,parent123", "word",
                           "sleep:5000", "frame:265:" + child().sid() + ", 102\n", "word"},
                          {}, RunAs{}, 60000);
    });
    ASSERT_TRUE(eventually([&] {
        return count(serviceLog(), "AuthCommand::execute() retcode 1\n") > signIns;
    })) << serviceLog();
    blockDataFolder();
    ProgramResult answers = client.get();
    EXPECT_EQ(answers.exitCode, 0) << answers.output;
    EXPECT_TRUE(contains(answers.output, "answer 1\nanswer 0\n")) << answers.output;

    // The map in force is the former one, and the parent's tools say so.
    ProgramResult map = ctl({"map"});
    EXPECT_EQ(map.output, stored);
    ProgramResult signIn = ctl({"signin", kParent}, std::string(kParentPassword) + "\n");
    EXPECT_EQ(signIn.exitCode, 1) << signIn.output;
    EXPECT_TRUE(contains(signIn.output, "could not save the sign-in: it holds only until the "
                                        "service restarts"))
        << signIn.output;
    const std::string log = serviceLog();
    EXPECT_TRUE(contains(log, "Settings::saveToStore() failed - the settings file keeps its former "
                              "contents"))
        << log;
    EXPECT_TRUE(contains(log, "SetSysZorvUserMapCommand map not saved - nothing changed")) << log;
    EXPECT_TRUE(contains(log, "AuthCommand::execute() AUTH_STATUS_NOT_SAVED")) << log;

    // Back to a writable folder: the file is what it was, and the parent's
    // change goes through.
    restoreDataFolder();
    EXPECT_EQ(settingsText(), saved);
    ASSERT_TRUE(parentSetsMap(child().sid() + ", 102\n"));
    EXPECT_TRUE(contains(settingsText(), "\n" + child().sid() + ", 102\n\n")) << settingsText();
}

struct Damaged {
    const char* label;
    std::string text;
    const char* logged;
};

TEST_F(SettingsFile, ADamagedFileIsSaidPlainlyAndTheParentSignsInAgain) {
    const std::string account = "parent, 460de495837215710a29db07c94180ca, 1\n";
    const std::string good = "http://127.0.0.1:1/auth, http://127.0.0.1:1/filter, 80\n" +
                             account + "4711, 0a1b2c3d4e5f\n\n\n";
    std::string crlf;
    for (char c : good) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    const Damaged cases[] = {
        // Read as an account "sit" once, which refused the parent with code 3.
        {"garbage", "lorem, ipsum, dolor\nsit, amet, consectetur\nadipiscing, elit\n\n\n",
         "Settings: the settings file holds no usable account - line 1 is not a server line"},
        {"cut in the account line", good.substr(0, good.find(account) + 20),
         "Settings: the settings file holds no usable account - the account line (line 2) has no "
         "line end"},
        {"CR LF line ends", crlf, "Settings::loadFromStore account parent, 0 user-map entries"},
    };
    for (const Damaged& damaged : cases) {
        SCOPED_TRACE(damaged.label);
        stopService();
        fs::create_directories(dataDir());
        writeFile(dataDir() + "zorvane.cred", damaged.text);
        ::chmod((dataDir() + "zorvane.cred").c_str(), 0600);
        ASSERT_NO_FATAL_FAILURE(startService());
        EXPECT_TRUE(contains(serviceLog(), damaged.logged)) << serviceLog();

        ProgramResult signIn = ctl({"signin", kParent}, std::string(kParentPassword) + "\n");
        EXPECT_EQ(signIn.exitCode, 0) << signIn.output;
        EXPECT_TRUE(parentSetsMap(child().sid() + ", 101\n"));
        EXPECT_TRUE(contains(settingsText(), account)) << settingsText();
        EXPECT_TRUE(contains(settingsText(), "\n" + child().sid() + ", 101\n\n")) << settingsText();
    }
}

}  // namespace
