#include "NotifierTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>

#include "zorvane_bytes.h"
#include "Service.h"

namespace {

class ScriptedCommand : public Command {
public:
    ScriptedCommand(const char* buffer, ScriptedNotifierService& script)
        : Command(buffer), mScript(script) {}
    std::unique_ptr<CommandResponse> execute() override { return mScript.execute(getCommandId()); }

private:
    ScriptedNotifierService& mScript;
};

ArgumentBlock number(uint32_t value) {
    return ArgumentBlock::fromUint32(value);
}

ArgumentBlock length(const std::string& text) {
    return ArgumentBlock::fromUint32(static_cast<uint32_t>(text.size()));
}

}  // namespace

PipeNotifier::CommandBuilder ScriptedNotifierService::builder() {
    return [this](const char* buffer, int size) -> std::unique_ptr<Command> {
        if (size < 4) {
            return nullptr;
        }
        switch (LoadLe32(buffer)) {
            case kStopId:
                stopped = true;
                return nullptr;
            case NOTIFIER_READ_CHECK_UPDATE_CMD:
            case NOTIFIER_READ_DO_UPDATE_CMD:
                if (!updateSupport) {
                    return nullptr;
                }
                return std::make_unique<ScriptedCommand>(buffer, *this);
            case NOTIFIER_READ_GET_VERSION:
                return std::make_unique<ScriptedCommand>(buffer, *this);
            default:
                return nullptr;  // 770-772 and unknown ids build nothing
        }
    };
}

void ScriptedNotifierService::holdDownload() {
    std::lock_guard<std::mutex> lock(mLock);
    mHold = true;
}

bool ScriptedNotifierService::downloadHeld() {
    std::unique_lock<std::mutex> lock(mLock);
    return mChanged.wait_for(lock, std::chrono::seconds(10), [this] { return mHeld; });
}

void ScriptedNotifierService::release() {
    {
        std::lock_guard<std::mutex> lock(mLock);
        mHold = false;
    }
    mChanged.notify_all();
}

std::unique_ptr<CommandResponse> ScriptedNotifierService::execute(uint32_t id) {
    auto response = std::make_unique<CommandResponse>();
    response->setArgument(Command::kArgCommandId, number(id));
    response->setStatus(COMMAND_SUCCESS);
    if (id == NOTIFIER_READ_GET_VERSION) {
        // The version text with its NUL; argument 2 counts the NUL too.
        std::string text = version + '\0';
        response->setArgument(2, length(text));
        response->setArgument(3, ArgumentBlock(text.data(), static_cast<int>(text.size())));
    } else if (id == NOTIFIER_READ_CHECK_UPDATE_CMD) {
        response->setArgument(2, number(updateStatus));
        if (updateStatus == 5) {
            response->setArgument(3, length(installerPath));
            response->setArgument(4, ArgumentBlock::fromText(installerPath));
            response->setArgument(5, length(publishedVersion));
            response->setArgument(6, ArgumentBlock::fromText(publishedVersion));
            response->setArgument(7, length(versionInfo));
            response->setArgument(8, ArgumentBlock::fromText(versionInfo));
        } else {
            response->setArgument(3, length(publishedVersion));
            response->setArgument(4, ArgumentBlock::fromText(publishedVersion));
        }
    } else if (id == NOTIFIER_READ_DO_UPDATE_CMD) {
        {
            std::unique_lock<std::mutex> lock(mLock);
            mHeld = mHold;
            mChanged.notify_all();
            mChanged.wait_for(lock, std::chrono::seconds(10), [this] { return !mHold; });
            mHeld = false;
        }
        // The early answer when data starts to arrive, then progress.
        std::vector<int> results;
        auto push = [&](uint32_t pushId, uint32_t second, uint32_t third) {
            auto pushed = std::make_unique<CommandResponse>();
            pushed->setArgument(Command::kArgCommandId, number(pushId));
            pushed->setArgument(2, number(second));
            pushed->setArgument(3, number(third));
            results.push_back(mNotifier.sendCommandResponse(pushed));
        };
        push(NOTIFIER_READ_DO_UPDATE_CMD, 6, 0);
        push(NOTIFIER_READ_DOWNLOAD_INPROGRESS, 120, 8000);
        push(NOTIFIER_READ_DOWNLOAD_INPROGRESS, 250, 8000);
        response->setArgument(2, number(downloadStatus));
        std::lock_guard<std::mutex> lock(mLock);
        mPushResults = results;
    }
    return response;
}

std::vector<int> ScriptedNotifierService::pushResults() {
    std::lock_guard<std::mutex> lock(mLock);
    return mPushResults;
}

ServedNotifier::ServedNotifier(const CommandEndpoint& endpoint)
    : mEndpoint(endpoint), mNotifier(endpoint.makeNotifier()), mScript(*mNotifier) {
    mNotifier->setCommandBuilder(mScript.builder());
    mNotifier->setIdFilter([](uint32_t) { return true; });  // the script's own ids
    mThread = std::thread([this] {
        while (!mScript.stopped) {
            Service::serveNotifierCommand(*mNotifier);
        }
    });
}

ServedNotifier::~ServedNotifier() {
    mScript.release();
    if (std::unique_ptr<PipeClient> client = mEndpoint.connect()) {
        writeAll(*client, requestFrame(ScriptedNotifierService::kStopId));
        mThread.join();
    } else {
        // Never leave a joinable thread behind; the test has failed anyway.
        ADD_FAILURE() << "cannot reach the served notifier to stop it";
        mThread.detach();
        (void)mNotifier.release();
    }
}

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    StoreLe32(&bytes[0], value);
    return bytes;
}

std::string requestFrame(uint32_t id, const std::string& payload) {
    return le32(static_cast<uint32_t>(4 + payload.size())) + le32(id) + payload;
}

bool writeAll(PipeClient& client, const std::string& bytes) {
    return client.write(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

bool readExactly(PipeClient& client, std::string& bytes, uint32_t size) {
    bytes.assign(size, '\0');
    uint32_t done = 0;
    while (done < size) {
        uint32_t got = client.read(&bytes[done], size - done);
        if (got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

bool readFrame(PipeClient& client, std::string& bytes) {
    std::string count;
    std::string payload;
    if (!readExactly(client, count, 4) || !readExactly(client, payload, LoadLe32(count.data()))) {
        return false;
    }
    bytes = count + payload;
    return true;
}
