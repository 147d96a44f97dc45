#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "port/PipeServer.h"

// Request frames of the service's local channels: a 4-byte little-endian
// length N, then N bytes. Requests are a command id and a few hundred bytes
// at most; a longer frame is not allocated and its sender is dropped.
constexpr uint32_t kFrameLengthBytes = 4;
constexpr uint32_t kMaxRequestFrameLength = 64 * 1024;

enum class FrameStatus {
    kBody,           // N bytes arrived
    kEmpty,          // N was 0
    kTooLong,        // N above the limit
    kLengthFailed,   // the client went (or the read failed) before N
    kBodyFailed,     // ... or inside the body
};

// How one channel's log lines name it: "<createFailed> - <error>" when the
// listening end cannot be made, "<connectName> invalid handle" without one,
// "<connectName> failed <error> <result>" after each connect.
struct PipeChannelTexts {
    const char* createFailed;
    const char* connectName;
};

// One served pipe: the server, the client being served, and the frame
// reader the desktop channel and the notifier command channel share. Only
// one thread may use it.
class PipeChannel {
public:
    // `connectTries`: how many waits for a client one connect makes.
    PipeChannel(std::unique_ptr<PipeServer> server, PipeChannelTexts texts, int connectTries);
    ~PipeChannel();
    PipeChannel(const PipeChannel&) = delete;
    PipeChannel& operator=(const PipeChannel&) = delete;

    // Creates the listening end; a failure is logged.
    void create();
    // True when a client is connected, waiting for one if none is. Without
    // a listening end it waits 1000 ms, tries to create it again and fails.
    bool connect();
    bool hasClient() const { return mClient != nullptr; }
    // Ends the current client's connection.
    void drop() { mClient.reset(); }

    // Reads one frame from the connected client into `body` (`length` gets
    // N once it was read). A client that failed a read or sent too much is
    // dropped.
    FrameStatus readFrame(std::vector<char>& body, uint32_t& length);
    // Reads exactly `length` bytes from the connected client only: a frame
    // is never completed with the bytes of a client that came after it.
    bool readExact(char* buffer, size_t length);
    // Writes all bytes to the connected client only, never to one that
    // connected after the request's sender went; a failure drops it.
    bool writeAll(const char* data, size_t length);

    bool exists() const { return mServer->exists(); }
    // The error of the last failed operation of the client, else the server.
    int lastError() const { return mLastError; }
    PipeServer& server() { return *mServer; }

private:
    std::unique_ptr<PipeServer> mServer;
    std::unique_ptr<PipeConnection> mClient;  // destroyed before mServer
    PipeChannelTexts mTexts;
    int mConnectTries;
    int mLastError = 0;
};
