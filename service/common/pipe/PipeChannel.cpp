#include "pipe/PipeChannel.h"

#include <chrono>
#include <thread>

#include "base/Logger.h"
#include "zorvane_bytes.h"

namespace {

constexpr std::chrono::milliseconds kRecreateDelay(1000);

}  // namespace

PipeChannel::PipeChannel(std::unique_ptr<PipeServer> server, PipeChannelTexts texts,
                         int connectTries)
    : mServer(std::move(server)), mTexts(texts), mConnectTries(connectTries) {}

PipeChannel::~PipeChannel() {
    mClient.reset();
}

void PipeChannel::create() {
    if (!mServer->create()) {
        mLastError = mServer->lastError();
        Logger::instance()->out(LOGLEVEL_ERROR, "%s - %d\n", mTexts.createFailed, mLastError);
    }
}

bool PipeChannel::connect() {
    Logger* log = Logger::instance();
    if (!mServer->exists()) {
        log->out(LOGLEVEL_ERROR, "%s invalid handle", mTexts.connectName);
        std::this_thread::sleep_for(kRecreateDelay);
        create();
    } else {
        for (int attempt = 0; !mClient && attempt < mConnectTries; ++attempt) {
            mClient = mServer->waitForClient();
            mLastError = mClient ? 0 : mServer->lastError();
        }
    }
    log->out(LOGLEVEL_ERROR, "%s failed %d %d\n", mTexts.connectName, mLastError, mClient ? 1 : 0);
    return mClient != nullptr;
}

bool PipeChannel::readExact(char* buffer, size_t length) {
    if (!mClient) {
        return false;
    }
    // The stream may deliver a frame in pieces.
    size_t done = 0;
    while (done < length) {
        size_t got = mClient->readSome(buffer + done, length - done);
        if (got == 0) {
            mLastError = mClient->lastError();
            mClient.reset();
            return false;
        }
        done += got;
    }
    return true;
}

bool PipeChannel::writeAll(const char* data, size_t length) {
    if (!mClient) {
        return false;
    }
    if (!mClient->writeAll(data, length)) {
        mLastError = mClient->lastError();
        mClient.reset();
        return false;
    }
    return true;
}

FrameStatus PipeChannel::readFrame(std::vector<char>& body, uint32_t& length) {
    body.clear();
    char lengthBytes[kFrameLengthBytes];
    if (!readExact(lengthBytes, sizeof lengthBytes)) {
        return FrameStatus::kLengthFailed;
    }
    length = LoadLe32(lengthBytes);
    if (length == 0) {
        return FrameStatus::kEmpty;
    }
    if (length > kMaxRequestFrameLength) {
        mClient.reset();
        return FrameStatus::kTooLong;
    }
    body.resize(length);
    if (!readExact(body.data(), length)) {
        body.clear();
        return FrameStatus::kBodyFailed;
    }
    return FrameStatus::kBody;
}
