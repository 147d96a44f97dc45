#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A bare HTTP/1.1 listener on 127.0.0.1 that keeps every request exactly
// as it arrived (head only; these requests carry no body) and answers each
// with 200 and the body `reply` gives for the request line's target.
class RawHttpServer {
public:
    using Reply = std::function<std::string(const std::string& target)>;

    explicit RawHttpServer(Reply reply);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    int port() const { return mPort; }
    // The requests so far, byte for byte.
    std::vector<std::string> requests() const;

private:
    void serve();

    Reply mReply;
    long long mListener = -1;  // a socket of either platform
    int mPort = 0;
    bool mStopping = false;
    mutable std::mutex mLock;
    std::vector<std::string> mRequests;
    std::thread mThread;
};
