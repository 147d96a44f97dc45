#include "CommandTestSupport.h"

#include <gtest/gtest.h>

#include "cloud/Authentication.h"
#include "zorvane_bytes.h"
#include "commands/CommandFactory.h"
#include "cloud/Credentials.h"
#include "settings/FileStore.h"
#include "Service.h"
#include "TestSupport.h"

TestDevice::TestDevice() {
    setDeviceSignature(kSignature);
    registerInstance(this);
}

TestDevice& TestDevice::instance() {
    static TestDevice* device = new TestDevice();
    return *device;
}

namespace {

TempDir& settingsDir() {
    static TempDir* dir = new TempDir();
    return *dir;
}

// A sign-in that needs no cloud.
class StubSignIn : public Command {
public:
    StubSignIn(const char* buffer, int length)
        : Command(buffer), mCredentials(parseCredentials(buffer + 4, length - 4)) {}
    std::unique_ptr<CommandResponse> execute() override {
        auto response = newResponse();
        if (mCredentials.password == "secret") {
            response->setStatus(COMMAND_SUCCESS);
        } else {
            response->setArgument(2, ArgumentBlock::fromUint32(AUTH_STATUS_FAILED_PASSWD_MISMATCH));
        }
        return response;
    }

private:
    Credentials mCredentials;
};

}  // namespace

std::string settingsFile() {
    return settingsDir().file("zorvane.cred");
}

Settings& commandSettings() {
    static FileStore* store = new FileStore(String(settingsFile()));
    TestDevice::instance();  // the settings take the device they find
    return *Settings::instance(store);
}

void resetSettings() {
    Settings& settings = commandSettings();
    settings.setAdminInfo(nullptr);
    settings.setConnectionInfo(nullptr);
    settings.setChildList({});
    settings.populateUserMapFromString("\n");
    settings.setFilterEnabled(true);
    settings.SetUserAuthStatus(0);
    settings.setDeviceInfo(&TestDevice::instance());
    TestDevice::instance().setDeviceId(0);
    writeFile(settingsFile(), "");
}

void storeAccount(const std::string& authServer) {
    Settings& settings = commandSettings();
    auto connection = std::make_shared<ConnectionInfo>();
    connection->setAuthServer(String(authServer));
    connection->setFilterServer("https://127.0.0.1/zorv");
    settings.setConnectionInfo(connection);
    auto admin = std::make_shared<AdminInfo>();
    admin->setUser("parent");
    String digest;
    Authentication::md5Hex("parent123", digest);
    admin->setPassword(digest);
    settings.setAdminInfo(admin);
    // The children the tests' maps name.
    std::map<uint32_t, ChildInfo> children;
    for (uint32_t id : {3u, 4u}) {
        ChildInfo child;
        child.setId(id);
        child.setLevel(1);
        child.setName(String("child" + std::to_string(id)));
        child.setSessionKey("key");
        children[id] = child;
    }
    settings.setChildList(children);
    TestDevice::instance().setDeviceId(4711);
}

ServedCommands::ServedCommands(const UiEndpoint& endpoint, UiChannel::CommandBuilder builder)
    : mEndpoint(endpoint), mChannel(endpoint.makeServer()) {
    if (!builder) {
        builder = &CommandFactory::create;
    }
    mChannel->setIdFilter([](uint32_t id) {
        return id == kStopId || CommandFactory::accepts(id, CommandChannel::kDesktop);
    });
    mChannel->setCommandBuilder(
        [this, builder](const char* buffer, int length) -> std::unique_ptr<Command> {
            if (length >= 4 && LoadLe32(buffer) == kStopId) {
                mStopped = true;
                return nullptr;
            }
            return builder(buffer, length);
        });
    mThread = std::thread([this] {
        while (!mStopped) {
            Service::serveUICommand(*mChannel);
        }
    });
}

ServedCommands::~ServedCommands() {
    if (std::unique_ptr<PipeClient> client = mEndpoint.connect()) {
        writeAll(*client, frame(kStopId));
        mThread.join();
    } else {
        ADD_FAILURE() << "cannot reach the served channel to stop it";
        mThread.detach();
        (void)mChannel.release();
    }
}

UiChannel::CommandBuilder withStubSignIn() {
    return [](const char* buffer, int length) -> std::unique_ptr<Command> {
        if (length >= 4 && LoadLe32(buffer) == UI_READ_AUTH_CMD) {
            return std::make_unique<StubSignIn>(buffer, length);
        }
        return CommandFactory::create(buffer, length);
    };
}

std::string textFrame(uint32_t id, const std::string& text) {
    return frame(id, text + std::string(1, '\0'));
}
