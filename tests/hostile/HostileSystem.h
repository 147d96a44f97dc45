#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CloudProcess.h"
#include "LinuxProcess.h"
#include "LocalUsers.h"
#include "TestSupport.h"

// The real programs on this machine, attacked by a local user: the filter
// host, the stand-in cloud and the service daemon (all root) in one
// temporary root that every user can traverse, and two fresh local
// accounts. child() is the user the parent maps to a child profile; other()
// is a second user of the same PC. Skips when accounts cannot be made.
class HostileSystem : public testing::Test {
protected:
    static constexpr char kParent[] = "parent";
    static constexpr char kParentPassword[] = "parent123";

    void SetUp() override;
    void TearDown() override;

    // Starts the service daemon (once the test planted what it wants to)
    // and waits for its channel and its first check pass; `extra` settings
    // replace the fixture's of the same name.
    void startService(const Environment& extra = {});
    void stopService() { mService.reset(); }

    const LocalUser& child() const { return (*mUsers)[0]; }
    const LocalUser& other() const { return (*mUsers)[1]; }
    static RunAs as(const LocalUser& user) { return RunAs{user.uid, user.gid}; }

    std::string root() const { return mRoot->path().string(); }
    std::string runDir() const { return root() + "/run/"; }
    std::string dataDir() const { return root() + "/data/"; }
    std::string tempDir() const { return mTempDir.empty() ? root() + "/temp/" : mTempDir; }
    // Puts the temp folder in a folder where every user may create things
    // (sticky, as /var/tmp is); call before startService.
    void useSharedTempParent();
    std::string sharedParent() const { return root() + "/shared/"; }
    std::string uiSocket() const { return runDir() + "zorvane_pipe"; }
    std::string notifierSocket() const { return runDir() + "zorvane_notifier_cmd_pipe"; }
    std::string logPath() const { return tempDir() + "zorvane_service.log"; }
    // The service log so far, with the generation the first check rolled.
    std::string serviceLog() const;
    std::string settingsText() const { return readFile(dataDir() + "zorvane.cred"); }
    std::string filterLog() const { return readFile(root() + "/filter.log"); }
    // The environment the service runs with.
    Environment serviceEnvironment() const;

    // zorvanectl with `input` on its standard input, as root (the parent)
    // unless a user is given; killed after `timeoutMs`.
    ProgramResult ctl(const std::vector<std::string>& args, const std::string& input = "",
                      RunAs user = {}, int timeoutMs = 60000);
    // The parent signs in and stores `map` through zorvanectl; true on success.
    bool parentSetsMap(const std::string& map);
    // zorvane_raw_client on `socket` with `steps`, as `user`.
    ProgramResult raw(const LocalUser& user, const std::string& socket,
                      const std::vector<std::string>& steps, int timeoutMs = 60000);

    std::unique_ptr<LocalUsers> mUsers;
    std::unique_ptr<TempDir> mRoot;
    std::unique_ptr<ChildProcess> mFilter;
    std::unique_ptr<CloudProcess> mCloud;
    std::unique_ptr<ChildProcess> mService;
    std::string mTempDir;  // empty: root()/temp/
    // The filter host's rules and proxy; set before SetUp by a fixture that
    // runs in a network namespace of its own.
    bool mPacketPath = false;
    // The stand-in cloud's data file (empty: its default) and extra options.
    std::string mCloudData;
    std::vector<std::string> mCloudArguments;
    // Put before the service's command line (e.g. to enter a namespace).
    std::vector<std::string> mServicePrefix;
};

bool contains(const std::string& text, const std::string& part);
// How many times `part` occurs in `text`.
int countOf(const std::string& text, const std::string& part);
