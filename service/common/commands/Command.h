#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "commands/ArgumentBlock.h"

// Command ids: the first 32-bit little-endian word of every received buffer.
// 1-7 come from the driver's read channel, 256-266 from the desktop program,
// 768-773 from the notifier command pipe (any channel may deliver any id).
enum E_ZorvaneReadCommand : uint32_t {
    DRIVER_READ_INTERFACE_UP_CMD = 1,
    DRIVER_READ_HTTPS_HOST_STATUS_CMD = 2,
    DRIVER_READ_NOTIFY_HTTPS_SITE_BLOCKED_CMD = 3,
    DRIVER_READ_NOTIFY_ERROR_CMD = 4,
    DRIVER_READ_CHECK_EXIT_CMD = 5,
    ZORVANE_READ_ALL_SERVER_DOWN_CMD = 6,
    ZORVANE_READ_NOTIFY_REDIRECT_PID = 7,

    UI_READ_N_USERS_CMD = 256,
    UI_READ_ENABLE_CMD = 257,
    UI_READ_DISABLE_CMD = 258,
    UI_READ_STATUS_CMD = 259,
    UI_READ_AUTH_CMD = 260,
    UI_READ_GET_USER_INFO_CMD = 261,
    UI_READ_SET_USER_CMD = 262,
    UI_READ_GET_USER_LIST_CMD = 263,
    UI_READ_GET_SYS_ZORV_USER_MAP_CMD = 264,
    UI_READ_SET_SYS_ZORV_USER_MAP_CMD = 265,
    UI_READ_AUTH_STATUS_CMD = 266,

    NOTIFIER_READ_CHECK_UPDATE_CMD = 768,
    NOTIFIER_READ_DO_UPDATE_CMD = 769,
    NOTIFIER_READ_DOWNLOAD_INPROGRESS = 770,
    NOTIFIER_READ_FILTER_STATUS = 771,
    NOTIFIER_READ_DETECT_HOTSPOT_CMD = 772,
    NOTIFIER_READ_GET_VERSION = 773,
};

// The answer to UI_READ_STATUS_CMD when the filter did not answer, told
// apart from 0 (not filtering) and 1 (filtering).
constexpr uint32_t UI_STATUS_FILTER_NO_ANSWER = 0xFFFFFFFFu;

enum E_ResponseStatus { COMMAND_FAILED = 0, COMMAND_SUCCESS = 1 };

// A command's reply: a status and numbered result blocks. For desktop-program
// commands: 1 = the id answered, 2 = a 4-byte number (count, status, code or
// text length), 3 = the text answer.
class CommandResponse {
public:
    int getStatus() const { return mResponseStatus; }
    void setStatus(int status) { mResponseStatus = status; }
    int getArgumentCount() const { return static_cast<int>(mArgList.size()); }
    // The block at `index`, or null.
    const ArgumentBlock* getArgumentForIndex(int index) const;
    void setArgument(int index, ArgumentBlock block);

private:
    int mResponseStatus = COMMAND_FAILED;
    std::map<int, ArgumentBlock> mArgList;
};

// Base of every command. A command built from a received buffer keeps the
// buffer's id as argument 1 and copies whatever else it needs, so the buffer
// can go as soon as the command exists.
class Command {
public:
    static constexpr int kBufferSize = 512;
    static constexpr int kArgCommandId = 1;

    Command() = default;
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    virtual void setArgument(int index, ArgumentBlock block);
    // The block at `index`, or null.
    virtual const ArgumentBlock* getArgumentForIndex(int index) const;
    // The bytes this command sends when it is itself sent over a channel;
    // 0 and null for commands that are never sent.
    virtual int getCommandBuffer(const char** buffer);
    // Null when the command has nothing to answer.
    virtual std::unique_ptr<CommandResponse> execute() = 0;
    virtual ~Command() = default;

    // The id from argument 1 (0 when absent).
    uint32_t getCommandId() const;
    // The bytes of argument `index` as a text; empty when absent.
    String getArgumentText(int index) const;

protected:
    // Stores the buffer's id (its first 4 bytes; the factory checked the length).
    explicit Command(const char* buffer);
    // A response with argument 1 = this command's id, status failed.
    std::unique_ptr<CommandResponse> newResponse() const;

    std::map<int, ArgumentBlock> mArgList;
    char mpBuff[kBufferSize] = {};
};
