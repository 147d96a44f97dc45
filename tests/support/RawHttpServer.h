#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A bare HTTP/1.1 listener on 127.0.0.1 that keeps every request exactly
// as it arrived (head, and the body a Content-Length announces) and answers
// each with 200 and the body `reply` gives for the request line's target.
class RawHttpServer {
public:
    using Reply = std::function<std::string(const std::string& target)>;

    explicit RawHttpServer(Reply reply);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    int port() const { return mPort; }
    // From now on every reply is a body of `bytes` bytes sent in pieces,
    // with a Content-Length when `declareLength`, else ended by the close;
    // sending stops early when the client goes away.
    void streamBody(uint64_t bytes, bool declareLength);
    // Body bytes the streamed replies handed to the socket so far, and how
    // many streamed replies have ended.
    uint64_t bytesStreamed() const { return mBytesStreamed; }
    int streamsEnded() const { return mStreamsEnded; }
    // Lines ("Name: value\r\n" each) added to the head of every later reply.
    void setReplyHeaders(const std::string& lines);
    // From now on replies carry this status line ("HTTP/1.1 302 Found").
    void setStatusLine(const std::string& line);
    // The requests so far, byte for byte.
    std::vector<std::string> requests() const;

private:
    void serve();
    void stream(long long client);

    Reply mReply;
    long long mListener = -1;  // a socket of either platform
    int mPort = 0;
    bool mStopping = false;
    mutable std::mutex mLock;
    std::vector<std::string> mRequests;
    std::string mReplyHeaders;
    std::string mStatusLine = "HTTP/1.1 200 OK";
    uint64_t mStreamBytes = 0;  // 0: answer with mReply
    bool mStreamDeclaresLength = false;
    std::atomic<uint64_t> mBytesStreamed{0};
    std::atomic<int> mStreamsEnded{0};
    std::thread mThread;
};
