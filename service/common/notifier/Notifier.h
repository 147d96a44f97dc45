#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Registered.h"
#include "commands/Command.h"
#include "base/String.h"
#include "port/UserNotifierChannel.h"

// The service's side of the users' desktop sessions: brief connections to
// each user's notifier (named after the user's SID) for notices and status
// checks, and the command channel on which notifier programs ask the service
// for updates and its version. The delivery rules live here; the platform
// subclass gives the connections and registers itself.
class Notifier : public Registered<Notifier> {
public:

    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Delivers one message to the notifiers of the users mapped to
    // `childId` (0: every user; with an empty map, every local account).
    // 0 failed, 1 delivered, 2 the last user had no notifier listening.
    virtual int sendNotification(uint32_t length, const char* buffer, uint32_t childId);
    // Asks each mapped user's notifier; the current child becomes the child
    // of the last user whose notifier accepted. The last answer, or 0.
    virtual int status();
    virtual int sendCommand(Command* command);
    virtual std::unique_ptr<Command> waitForCommand() = 0;
    // Writes the answer frame (if the id has one) and releases the response.
    virtual int sendCommandResponse(std::unique_ptr<CommandResponse>& response) = 0;
    virtual uint32_t getCurrentChildId() const { return mCurrChildId; }
    // The user map changed: a platform that keeps a place per user (Linux:
    // a socket folder each) makes the new users' places now rather than at
    // the next status check. Windows pipes are made by the notifiers.
    virtual void usersChanged() {}

    virtual ~Notifier() = default;

    // The command-channel answer payload for a response; empty when the id
    // gets no answer.
    static std::vector<char> commandAnswer(const CommandResponse& response);

protected:
    explicit Notifier(std::unique_ptr<UserNotifierChannel> channel)
        : mChannel(std::move(channel)) {}

    std::atomic<uint32_t> mCurrChildId{0};

private:
    // Connect, frame, 4-byte answer, close. Caller holds mDeliveryLock.
    int writeNotifier(const String& sid, const char* data, uint32_t length);


    std::unique_ptr<UserNotifierChannel> mChannel;  // used under mDeliveryLock

    // One per-user connection at a time: serialises sendNotification and status.
    std::mutex mDeliveryLock;
};
