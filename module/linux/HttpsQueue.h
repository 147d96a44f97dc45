#pragma once

// The Linux packet path's HTTPS half: the netfilter queue that the rules fill
// with mapped users' TCP 443 packets (outbound by owner, inbound by the
// connection mark set on the way out). Each packet becomes a packet object
// for the filter's transport (outbound) or IP (inbound) classify; the
// verdict is given at once, or later when the filter holds the packet and
// releases, rewrites or drops it through the packet hooks.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

struct nfq_handle;
struct nfq_q_handle;
struct nfq_data;
struct nfgenmsg;
struct ZorvanePacket;

class HttpsQueue {
public:
    // `mark` is set on the packets the host makes itself (the resets), so
    // that the rules let them pass.
    HttpsQueue(uint16_t queueNumber, uint32_t mark);
    ~HttpsQueue();
    HttpsQueue(const HttpsQueue&) = delete;
    HttpsQueue& operator=(const HttpsQueue&) = delete;

    // Binds the queue and starts its thread. False with the reason in *error.
    bool start(std::string* error);
    // Ends the thread; packets the filter still holds are dropped when it
    // frees them (at unload), and the kernel drops what is still queued when
    // the queue goes.
    void stop();

private:
    static int onPacket(nfq_q_handle* queue, nfgenmsg* message, nfq_data* data, void* self);
    static bool injectHook(ZorvanePacket* packet, bool receive);
    static void releaseHook(ZorvanePacket* packet);

    int handle(nfq_data* data);
    void loop();
    // Gives the verdict of a packet still waiting for one; the replacement
    // bytes when `bytes` is set. False when the packet had none waiting.
    bool verdictFor(ZorvanePacket* packet, uint32_t verdict, const uint8_t* bytes, uint32_t length);
    void verdict(uint32_t id, uint32_t verdict, const uint8_t* bytes, uint32_t length);
    // A reset to the server of the connection whose ServerHello `ip` is.
    void resetServer(const uint8_t* ip, uint32_t length);

    uint16_t mQueueNumber;
    uint32_t mMark;
    nfq_handle* mHandle = nullptr;
    nfq_q_handle* mQueue = nullptr;
    int mWakeFds[2] = {-1, -1};
    int mRawFd = -1;
    std::thread mThread;
    std::mutex mVerdictMutex;  // the queue socket takes one verdict at a time
    std::mutex mPendingMutex;
    std::unordered_map<ZorvanePacket*, uint32_t> mPending;  // packet -> queue id
};
