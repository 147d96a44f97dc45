#pragma once

#include <windows.h>

#include <functional>

#include "base/String.h"
#include "port/UserNotifierChannel.h"

// Per-user notifier pipes "\\.\pipe\<SID>". Anybody can create a pipe of any
// name, so before anything is sent the pipe's server must be shown to run as
// the user the SID names; and the service connects at identification level
// only, so that server can never act as the service. Overlapped I/O gives
// every write and read a time-out: a notifier that never answers cannot hold
// the service's delivery lock.
class WinUserNotifierChannel : public UserNotifierChannel {
public:
    // The SID whose user must serve the pipe named after `sid`: `sid` itself,
    // unless a test serves made-up SIDs as its own user.
    using ServerSidFor = std::function<String(const String& sid)>;

    explicit WinUserNotifierChannel(ServerSidFor serverSidFor = nullptr);
    ~WinUserNotifierChannel() override;

    String name(const String& sid) const override { return String("\\\\.\\pipe\\" + sid); }
    bool connect(const String& sid, int& error) override;
    bool write(const char* data, uint32_t length, int& error) override;
    bool read(char* data, uint32_t length, int& error) override;
    void close() override;

    // The SID text of the user a pipe's server process runs as; empty (and
    // `error`) when it cannot be found.
    static String serverSid(HANDLE pipe, int& error);

private:
    bool transfer(bool writing, char* data, DWORD length, DWORD& done, int& error);

    ServerSidFor mServerSidFor;
    HANDLE mPipe = INVALID_HANDLE_VALUE;
    HANDLE mEvent;
};
