#include "UiTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

#include "zorvane_bytes.h"
#include "Service.h"

namespace {

// Keeps the body after the id, as the real classes copy what they read.
class ScriptedCommand : public Command {
public:
    ScriptedCommand(const char* buffer, int length, ScriptedService& script)
        : Command(buffer), mBody(buffer + 4, buffer + length), mScript(script) {}
    std::unique_ptr<CommandResponse> execute() override {
        return mScript.answer(getCommandId(), mBody);
    }

private:
    std::string mBody;
    ScriptedService& mScript;
};

std::string textBefore(const std::string& body, char end) {
    size_t at = body.find(end);
    return at == std::string::npos ? body : body.substr(0, at);
}

}  // namespace

UiChannel::CommandBuilder ScriptedService::builder() {
    return [this](const char* buffer, int length) -> std::unique_ptr<Command> {
        if (length < 4) {
            return nullptr;
        }
        uint32_t id = LoadLe32(buffer);
        {
            std::lock_guard<std::mutex> lock(mLock);
            mBuilt.push_back(id);
        }
        if (id == kStopId) {
            stopped = true;
            return nullptr;
        }
        if (id == kUnknownId) {
            return nullptr;
        }
        return std::make_unique<ScriptedCommand>(buffer, length, *this);
    };
}

void ScriptedService::setAuthStatus(uint32_t status) {
    std::lock_guard<std::mutex> lock(mLock);
    mAuthStatus = status;
}

void ScriptedService::setMapText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mLock);
    mMapText = text;
}

void ScriptedService::setChildText(const std::string& text) {
    std::lock_guard<std::mutex> lock(mLock);
    mChildText = text;
}

std::string ScriptedService::mapText() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mMapText;
}

std::vector<uint32_t> ScriptedService::builtIds() const {
    std::lock_guard<std::mutex> lock(mLock);
    return mBuilt;
}

std::unique_ptr<CommandResponse> ScriptedService::answer(uint32_t id, const std::string& body) {
    std::lock_guard<std::mutex> lock(mLock);
    auto response = std::make_unique<CommandResponse>();
    response->setArgument(Command::kArgCommandId, ArgumentBlock::fromUint32(id));
    auto text = [&](const std::string& value) {
        response->setStatus(COMMAND_SUCCESS);
        response->setArgument(2, ArgumentBlock::fromUint32(static_cast<uint32_t>(value.size())));
        response->setArgument(3, ArgumentBlock::fromText(value));
    };
    switch (id) {
        case UI_READ_AUTH_STATUS_CMD:
            response->setStatus(COMMAND_SUCCESS);
            response->setArgument(2, ArgumentBlock::fromUint32(mAuthStatus));
            break;
        case UI_READ_AUTH_CMD: {
            std::string credentials = textBefore(body, '\0');
            std::string password = credentials.substr(credentials.find(',') + 1);
            if (password == "secret") {
                response->setStatus(COMMAND_SUCCESS);
            } else {
                response->setArgument(2, ArgumentBlock::fromUint32(403));
            }
            break;
        }
        case UI_READ_GET_USER_LIST_CMD:
            text(mChildText);
            break;
        case UI_READ_GET_SYS_ZORV_USER_MAP_CMD:
            text(mMapText);
            break;
        case UI_READ_SET_SYS_ZORV_USER_MAP_CMD: {
            // An empty map is refused and changes nothing.
            std::string map = textBefore(body, '\0');
            if (!map.empty()) {
                mMapText = map;
                response->setStatus(COMMAND_SUCCESS);
            }
            break;
        }
        default:
            // 261 and ids without a UI answer shape: a response the channel
            // must not write.
            response->setStatus(COMMAND_SUCCESS);
            response->setArgument(2, ArgumentBlock::fromUint32(kUserInfoMarker));
            break;
    }
    return response;
}

ServedUi::ServedUi(const UiEndpoint& endpoint, ScriptedService& script)
    : mEndpoint(endpoint), mChannel(endpoint.makeServer()) {
    mChannel->setCommandBuilder(script.builder());
    mChannel->setIdFilter([](uint32_t) { return true; });  // the script's own ids
    mThread = std::thread([this, &script] {
        while (!script.stopped) {
            Service::serveUICommand(*mChannel);
        }
    });
}

ServedUi::~ServedUi() {
    if (std::unique_ptr<PipeClient> client = mEndpoint.connect()) {
        writeAll(*client, frame(ScriptedService::kStopId));
        mThread.join();
    } else {
        // Never leave a joinable thread behind; the test has failed anyway.
        ADD_FAILURE() << "cannot reach the served channel to stop it";
        mThread.detach();
        (void)mChannel.release();
    }
}

std::string lengthWord(uint32_t length) {
    std::string bytes(4, '\0');
    StoreLe32(&bytes[0], length);
    return bytes;
}

std::string frame(uint32_t id, const std::string& payload) {
    return lengthWord(static_cast<uint32_t>(4 + payload.size())) + lengthWord(id) + payload;
}

bool writeAll(PipeClient& client, const std::string& bytes) {
    return client.write(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool readExactly(PipeClient& client, std::string& bytes, uint32_t length) {
    bytes.assign(length, '\0');
    uint32_t done = 0;
    while (done < length) {
        uint32_t got = client.read(&bytes[done], length - done);
        if (got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

int64_t readWord(PipeClient& client) {
    std::string bytes;
    if (!readExactly(client, bytes, 4)) {
        return -1;
    }
    return LoadLe32(bytes.data());
}

std::unique_ptr<PipeClient> UiEndpoint::connect() const {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::unique_ptr<PipeClient> client = makeClient();
        if (client->open()) {
            return client;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

UiEndpoint::~UiEndpoint() = default;
