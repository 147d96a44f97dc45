#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/Command.h"
#include "PipeClient.h"
#include "notifier/PipeNotifier.h"
#include "base/String.h"
#include "TestSupport.h"

// The service's notifier command channel on a place of its own. Linux: the
// socket in a temporary run folder that is ZORVANE_RUN_DIR for the
// endpoint's life, so the notifier program finds it. Windows: a pipe name of
// its own, or with `fixedName` the real one, which the program uses (those
// tests must not run side by side). Platform parts: *NotifierEndpoint.cpp.
class CommandEndpoint {
public:
    explicit CommandEndpoint(bool fixedName = false);
    ~CommandEndpoint();
    CommandEndpoint(const CommandEndpoint&) = delete;
    CommandEndpoint& operator=(const CommandEndpoint&) = delete;

    // The platform's notifier (LinuxNotifier, WinNotifier) on this endpoint.
    std::unique_ptr<PipeNotifier> makeNotifier() const;
    // An open client; retries for up to 10 s while the pipe is busy.
    std::unique_ptr<PipeClient> connect() const;

    const std::string& name() const { return mName; }

    // Serves the endpoint's name with a server that is busy with a client
    // of its own and takes no further one, until the result goes; null when
    // it cannot.
    std::shared_ptr<void> occupy() const;

private:
    std::unique_ptr<TempDir> mRunDir;  // Linux
    std::string mName;
};

// Stands in for the service's update and version commands, shaping their
// responses the way those classes do. A 769 reports the download's start
// and progress through the notifier while it runs, as the update manager does.
class ScriptedNotifierService {
public:
    static constexpr uint32_t kStopId = 0x5707;  // ends the serving thread

    explicit ScriptedNotifierService(Notifier& notifier) : mNotifier(notifier) {}

    PipeNotifier::CommandBuilder builder();

    // What the commands answer.
    std::string version = "2.1.0";
    uint32_t updateStatus = 4;  // latest version
    std::string publishedVersion = "2.1";
    std::string installerPath = "/var/tmp/zorvane/setup.exe";
    std::string versionInfo = "fixes";
    uint32_t downloadStatus = 6;
    // False: 768 and 769 build no command, as in a service without an
    // update manager.
    std::atomic<bool> updateSupport{true};

    // Makes the next 769 wait in execute() until release() (or 10 s).
    void holdDownload();
    // Whether a 769 waits in execute() (waiting up to 10 s for one).
    bool downloadHeld();
    void release();

    std::unique_ptr<CommandResponse> execute(uint32_t id);
    std::atomic<bool> stopped{false};
    // What sendCommandResponse gave for each push of the last download.
    std::vector<int> pushResults();

private:
    Notifier& mNotifier;
    std::mutex mLock;  // guards mHold, mHeld and mPushResults
    std::condition_variable mChanged;
    bool mHeld = false;
    std::vector<int> mPushResults;
    bool mHold = false;
};

// The endpoint's notifier served on a thread the way the service's notifier
// reader serves it, until the stop frame arrives.
class ServedNotifier {
public:
    explicit ServedNotifier(const CommandEndpoint& endpoint);
    // Sends the stop frame over a fresh client and joins the thread.
    ~ServedNotifier();

    ScriptedNotifierService& script() { return mScript; }

private:
    const CommandEndpoint& mEndpoint;
    std::unique_ptr<PipeNotifier> mNotifier;
    ScriptedNotifierService mScript;
    std::thread mThread;
};

std::string le32(uint32_t value);
// A request frame: count, id, payload.
std::string requestFrame(uint32_t id, const std::string& payload = std::string());
bool writeAll(PipeClient& client, const std::string& bytes);
// Exactly `length` bytes; false when the peer has gone first.
bool readExactly(PipeClient& client, std::string& bytes, uint32_t length);
// One answer frame: its count word and payload, as raw bytes.
bool readFrame(PipeClient& client, std::string& bytes);
