#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "commands/Command.h"
#include "PipeClient.h"
#include "TestSupport.h"
#include "ui/UiChannel.h"

// A UI channel on a name of its own, so test programs can run side by side,
// and clients for it. The platform part lives in LinuxUiEndpoint.cpp and
// WinUiEndpoint.cpp.
class UiEndpoint {
public:
    UiEndpoint();
    // Windows: the pipe of that name (the desktop program's fixed one).
    explicit UiEndpoint(std::string name);
    ~UiEndpoint();
    UiEndpoint(const UiEndpoint&) = delete;
    UiEndpoint& operator=(const UiEndpoint&) = delete;

    std::unique_ptr<UiChannel> makeServer() const;
    // A client that is not open yet.
    std::unique_ptr<PipeClient> makeClient() const;
    // An open client; waits (up to 10 s) while the server frees the previous
    // client's pipe instance. Null when it never opened.
    std::unique_ptr<PipeClient> connect() const;

    const std::string& name() const { return mName; }

private:
    std::unique_ptr<TempDir> mDir;  // Linux: the folder of the socket
    std::string mName;
};

// Stands in for the service's command classes: answers from state the test
// sets, the way the real classes shape their responses.
class ScriptedService {
public:
    static constexpr uint32_t kStopId = 0x5707;         // ends the serving thread
    static constexpr uint32_t kUnknownId = 300;         // the factory builds nothing
    static constexpr uint32_t kNoShapeId = 768;         // answered, but not on the UI pipe
    static constexpr uint32_t kUserInfoMarker = 0xBAD;  // 261's response value

    UiChannel::CommandBuilder builder();

    // State, guarded by mLock.
    void setAuthStatus(uint32_t status);
    void setMapText(const std::string& text);
    void setChildText(const std::string& text);
    std::string mapText() const;
    // The ids of the commands built, in order.
    std::vector<uint32_t> builtIds() const;

    std::unique_ptr<CommandResponse> answer(uint32_t id, const std::string& body);
    std::atomic<bool> stopped{false};

private:
    mutable std::mutex mLock;
    uint32_t mAuthStatus = 1;
    std::string mMapText;
    std::string mChildText;
    std::vector<uint32_t> mBuilt;
};

// The real channel served on a thread the way the service's desktop-program
// reader serves it, until a stop frame arrives.
class ServedUi {
public:
    ServedUi(const UiEndpoint& endpoint, ScriptedService& script);
    // Sends the stop frame over a fresh client and joins the thread.
    ~ServedUi();

    UiChannel& channel() { return *mChannel; }

private:
    const UiEndpoint& mEndpoint;
    std::unique_ptr<UiChannel> mChannel;
    std::thread mThread;
};

// Raw frames for tests that break the rules on purpose.
std::string frame(uint32_t id, const std::string& payload = std::string());
std::string lengthWord(uint32_t length);
bool writeAll(PipeClient& client, const std::string& bytes);
// Reads exactly `length` bytes; false when the peer has gone first.
bool readExactly(PipeClient& client, std::string& bytes, uint32_t length);
// The next 4-byte answer, or -1 when the peer has gone.
int64_t readWord(PipeClient& client);
