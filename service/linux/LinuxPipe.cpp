#include "LinuxPipe.h"

#include <chrono>
#include <thread>

#include "base/Logger.h"

namespace {

constexpr std::chrono::milliseconds kRecreateDelay(1000);

}  // namespace

LinuxPipe::LinuxPipe(String name, uint32_t timeout)
    : mServer(std::move(name)), mPipeTimeout(timeout) {
    createPipe();
}

void LinuxPipe::createPipe() {
    if (!mServer.listen()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "create named pipe failed - %d\n",
                                mServer.lastError());
    }
}

int LinuxPipe::connect() {
    Logger* log = Logger::instance();
    int result = 0;
    if (!mServer.listening()) {
        log->out(LOGLEVEL_ERROR, "WinPipe::connect() invalid handle");
        std::this_thread::sleep_for(kRecreateDelay);
        createPipe();
    } else {
        result = mServer.accept() || mServer.accept() ? 1 : 0;
    }
    log->out(LOGLEVEL_ERROR, "WinPipe::connect() failed %d %d\n", mServer.lastError(), result);
    return result;
}

int LinuxPipe::read(char* buffer, uint32_t& length) {
    if (!connect()) {
        return 0;
    }
    size_t got = mServer.receive(buffer, length);
    if (got == 0) {
        return 0;
    }
    length = static_cast<uint32_t>(got);
    return 1;
}

int LinuxPipe::write(const char* buffer, uint32_t& length) {
    if (!connect()) {
        length = 0;
        return 0;
    }
    if (!mServer.sendAll(buffer, length)) {
        length = 0;
        return 0;
    }
    return 1;
}

bool LinuxPipe::receiveFromClient(char* buffer, uint32_t length) {
    while (length > 0) {
        size_t got = mServer.receive(buffer, length);
        if (got == 0) {
            return false;
        }
        buffer += got;
        length -= static_cast<uint32_t>(got);
    }
    return true;
}

bool LinuxPipe::sendToClient(const char* buffer, uint32_t length) {
    return mServer.sendAll(buffer, length);
}

bool LinuxPipe::readAll(char* buffer, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        uint32_t piece = length - done;
        if (!read(buffer + done, piece)) {
            return false;
        }
        done += piece;
    }
    return true;
}
