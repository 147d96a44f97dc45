#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "CloudData.h"

class RequestLog;

// The child and device a redirected plain-HTTP request was tagged with.
struct RequestTag {
    uint32_t childId = 0;
    uint32_t deviceId = 0;
};

// The 16 bytes before every request on a redirected connection: false when
// they are not a tag.
bool parseRequestTag(const unsigned char* bytes, RequestTag& tag);

// The plain-HTTP filter server: a TCP listener (the tag before each request
// is not HTTP). Each request is read after its tag and answered with the
// page of the host it names, fetched from an address the data allows, or a
// block page naming the host and the child. A request without a valid tag
// gets 400 and the connection ends, since the next request cannot be found.
class TaggedHttpServer {
public:
    TaggedHttpServer(const CloudData& data, RequestLog& log);
    ~TaggedHttpServer();
    TaggedHttpServer(const TaggedHttpServer&) = delete;
    TaggedHttpServer& operator=(const TaggedHttpServer&) = delete;

    // Port 0: any free port. Returns the bound port; throws
    // std::runtime_error when it cannot be bound.
    int bind(const std::string& address, int port);
    void start();
    // Ends the listener and every connection, joins their threads; idempotent.
    void stop();

private:
    struct Connection;
    void acceptLoop();
    void serve(Connection& connection);

    const CloudData& mData;
    RequestLog& mLog;
    int mListener = -1;
    std::atomic<bool> mStopping{false};
    std::thread mAcceptThread;
    std::mutex mMutex;
    std::list<std::unique_ptr<Connection>> mConnections;
};
