#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/String.h"

// A Unix stream socket that serves one client at a time; later clients wait
// in the listen backlog until the current one has gone. The socket file is
// open to every local user (mode 0666), as the Windows pipes grant Everyone.
class LinuxSocketServer {
public:
    explicit LinuxSocketServer(String path);
    ~LinuxSocketServer();
    LinuxSocketServer(const LinuxSocketServer&) = delete;
    LinuxSocketServer& operator=(const LinuxSocketServer&) = delete;

    // Creates the socket's folder if missing, removes a stale socket file and
    // listens. Fails (errno in lastError) when another server still listens
    // on the path.
    bool listen();
    bool listening() const { return mListenFd >= 0; }
    bool hasClient() const { return mClientFd >= 0; }

    // Waits for the next client; true once one is connected.
    bool accept();
    // One read: the count read, 0 when the client has gone or the read
    // failed (the client is then dropped).
    size_t receive(char* buffer, size_t length);
    // Sends all bytes; false (and the client dropped) on failure. Never
    // raises SIGPIPE.
    bool sendAll(const char* data, size_t length);
    void dropClient();

    int lastError() const { return mLastError; }
    const String& path() const { return mPath; }

private:
    void closeListener();

    String mPath;
    int mListenFd = -1;
    int mClientFd = -1;
    bool mOwnsFile = false;  // this object bound the socket file
    dev_t mFileDevice = 0;   // identity of that file, so only it is removed
    ino_t mFileInode = 0;
    int mLastError = 0;
};
