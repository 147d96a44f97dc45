#pragma once

#include <string>

#include "WineDesktop.h"

// The real filtering service installed under Wine's service control manager
// and pointed at the native stand-in cloud on loopback, for Windows tests
// that need the whole system (the desktop program, the installer).
//
// The cloud is a Linux program: it runs through Wine's start.exe /unix in a
// folder of /tmp, bounded by `timeout` so that a crashed test cannot leave
// it behind for long. The service reads the cloud's address and certificate
// from zorvane_cloud.conf in its program-data folder (a service started by
// the SCM does not inherit the test's environment); the file is written with
// a protected access list, which the service requires of it.
//
// Everything is undone when the object goes, also after a failed start: the
// service (and the watchdog it may have installed) is removed, the cloud is
// stopped, and the service's settings and configuration file are deleted.
class WineServiceSystem {
public:
    // The default account of the stand-in cloud, with its three children.
    static constexpr const char* kParent = "parent";
    static constexpr const char* kPassword = "parent123";

    // Unix paths of the Windows service program and the native cloud program.
    WineServiceSystem(std::string serviceProgram, std::string cloudProgram);
    ~WineServiceSystem();
    WineServiceSystem(const WineServiceSystem&) = delete;
    WineServiceSystem& operator=(const WineServiceSystem&) = delete;

    // False when the native cloud program has not been built (a test then
    // skips; the native preset builds it).
    bool cloudProgramExists() const;
    // Starts a fresh system (no stored sign-in); an empty text when the
    // service waits for the desktop program, otherwise what went wrong.
    std::string start();
    // Only the cloud and the service's configuration file pointing at it,
    // for a service that something else installs (the installer); an empty
    // text when the cloud listens.
    std::string startCloud();

    int httpsPort() const { return mHttpsPort; }
    // The cloud's output and the service's log, for failure messages.
    std::string cloudOutput() const;
    std::string serviceLog() const;

private:
    void stop();

    std::string mServiceProgram;
    std::string mCloudProgram;
    UnixFolder mFolder;
    bool mCloudStarted = false;
    int mHttpsPort = 0;
};
