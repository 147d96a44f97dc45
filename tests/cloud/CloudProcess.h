#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// The stand-in cloud program (zorvane_cloud) run for a test on free loopback
// ports. Everything it keeps is under `workDir`: state/ (device ids and
// certificate), requests.log, output.log and the port file; starting again
// with the same folder is a restart with the same state. Stopped with
// SIGTERM when the object goes.
class CloudProcess {
public:
    // `dataFile` empty: the built-in default data. `extraArguments` go on
    // the command line after the standard ones. Throws std::runtime_error,
    // with the program's output, when it is not listening within 10 s.
    explicit CloudProcess(const std::string& workDir, const std::string& dataFile = "",
                          const std::vector<std::string>& extraArguments = {});
    ~CloudProcess();
    CloudProcess(const CloudProcess&) = delete;
    CloudProcess& operator=(const CloudProcess&) = delete;

    int httpPort() const { return mHttpPort; }
    int httpsPort() const { return mHttpsPort; }  // 0 when HTTPS is off
    // The plain-HTTP filter server for tagged requests (on a free port
    // unless the extra arguments say otherwise); 0 when off.
    int filterPort() const { return mFilterPort; }
    // The CA file an HTTPS client must trust.
    const std::string& certificate() const { return mCertificate; }
    // The service's connection URL for this cloud: HTTPS (trust
    // certificate()) unless HTTPS is off.
    std::string connectionUrl() const;
    // The same over plain HTTP, as a service configured for it explicitly.
    std::string plainConnectionUrl() const;
    // The service's environment for this cloud: both connection URLs and
    // the CA file.
    std::vector<std::string> serviceEnvironment() const;
    std::string requestLogPath() const { return mWorkDir + "/requests.log"; }
    // Standard output and error so far.
    std::string output() const;

    // SIGTERM, then a wait (SIGKILL after 5 s); the exit code, -1 after a
    // signal. Later calls return the same.
    int stop();

    // Runs the program with `arguments` to its end (for refusals at start);
    // returns its exit code and fills `output`.
    static int runToEnd(const std::vector<std::string>& arguments, std::string& output);

private:
    std::string mWorkDir;
    pid_t mPid = -1;
    int mExitCode = -1;
    int mHttpPort = 0;
    int mHttpsPort = 0;
    int mFilterPort = 0;
    std::string mCertificate;
};
