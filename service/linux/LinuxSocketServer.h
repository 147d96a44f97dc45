#pragma once

#include <sys/types.h>

#include <cstddef>

#include "base/String.h"

// The listening end of a Unix stream socket; each accepted client is a
// socket of its own. The socket file is open to every local user (mode
// 0666), as the Windows pipes grant Everyone.
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

    // Waits for the next client: its socket (the caller's to close), or -1
    // with errno in lastError.
    int accept();
    // Ends a wait in accept from another thread; later waits fail at once.
    void cancelAccept();

    int lastError() const { return mLastError; }
    const String& path() const { return mPath; }

    // Removes the socket file of every server of this process that still
    // listens, leaving the servers as they are: for the process's end, which
    // runs no destructor.
    static void removeSocketFiles();

private:
    void closeListener();
    // Removes the socket file if it is still the one this object bound.
    void removeOwnFile();

    String mPath;
    int mListenFd = -1;
    int mWakeFd[2] = {-1, -1};  // cancelAccept writes here; accept polls it
    bool mOwnsFile = false;  // this object bound the socket file
    dev_t mFileDevice = 0;   // identity of that file, so only it is removed
    ino_t mFileInode = 0;
    int mLastError = 0;
};
