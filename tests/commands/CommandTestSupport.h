#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "system/Device.h"
#include "settings/Settings.h"
#include "ui/UiChannel.h"
#include "UiTestSupport.h"

// The PC as the cloud knows it, with a fixed signature, registered as the
// Device instance for the whole test program.
class TestDevice : public Device {
public:
    static constexpr const char* kSignature = "0a1b2c3d4e5f";
    static TestDevice& instance();

private:
    TestDevice();
};

// The process's settings, kept in a file of their own (made on first use,
// with the test device).
Settings& commandSettings();
std::string settingsFile();
// No account, servers, children or map; filtering on; no sign-in status;
// an empty settings file.
void resetSettings();
// A stored account "parent" (password digest of "parent123") with servers,
// so the settings can be saved.
void storeAccount(const std::string& authServer = "http://127.0.0.1:9/cgi-bin/auth");

// The service's real command table served over the real UI channel on a
// thread, the way the desktop-program reader serves it, until the object goes.
class ServedCommands {
public:
    explicit ServedCommands(const UiEndpoint& endpoint,
                            UiChannel::CommandBuilder builder = nullptr);
    ~ServedCommands();
    ServedCommands(const ServedCommands&) = delete;
    ServedCommands& operator=(const ServedCommands&) = delete;

    static constexpr uint32_t kStopId = 0x5707;

private:
    const UiEndpoint& mEndpoint;
    std::unique_ptr<UiChannel> mChannel;
    std::atomic<bool> mStopped{false};
    std::thread mThread;
};

// The factory's commands, except that a sign-in (260) is checked here:
// password "secret" passes, anything else answers 403. For programs that
// have no cloud to sign in with.
UiChannel::CommandBuilder withStubSignIn();

// A request frame with a text body and its NUL.
std::string textFrame(uint32_t id, const std::string& text);
