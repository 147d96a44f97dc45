#pragma once

#include <cstdint>
#include <memory>

#include "CReply.h"
#include "PipeClient.h"

// The desktop program's single connection to the service. The pipe opens on
// the first send and is kept for the whole run, also after a failed write.
// Strictly request-reply on one thread: each answer is read before the next
// request is sent; reads block without a time-out.
class CService {
public:
    // The process's connection to the service's pipe, made on first use.
    static CService* instance();

    explicit CService(std::unique_ptr<PipeClient> pipe);
    CService(const CService&) = delete;
    CService& operator=(const CService&) = delete;

    // Opens the pipe if needed, then writes the 4-byte length and the body
    // (two writes). Sets connected() to the outcome.
    bool send(const char* body, uint32_t length);
    // Reads the answer to the request with `commandId`: null when the id gets
    // none (outside 256..266, or 261) or its first read fails.
    std::unique_ptr<CReply> readReply(uint32_t commandId);
    // True after the last send succeeded.
    bool connected() const { return mConnected; }
    PipeClient& pipe() { return *mPipe; }

private:
    // Reads until all bytes arrived; false when the service has gone.
    bool readAll(char* buffer, uint32_t length);

    std::unique_ptr<PipeClient> mPipe;
    bool mConnected = false;
};
