// The filtering service program on Linux: console installer (-i, -u) of a
// systemd unit, and the foreground daemon that a service manager runs.
// Signals are the service controls: SIGTERM or SIGINT stop, SIGTSTP pauses
// the check loop, SIGCONT continues it.
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "LinuxDevice.h"
#include "LinuxHttpsHandler.h"
#include "LinuxDriver.h"
#include "LinuxNotifier.h"
#include "LinuxSocketServer.h"
#include "LinuxSystemd.h"
#include "LinuxThreadHandler.h"
#include "LinuxUI.h"
#include "base/Logger.h"
#include "ServiceControls.h"
#include "ServiceStartup.h"

namespace {

// Set once the service thread made the logger and the Service.
std::atomic<bool> serviceStarted{false};

void ShowUsage() {
    std::printf("\nUSAGE:\n");
    std::printf("server -i\tInstall service\n");
    std::printf("server -u\tUninstall service\n");
}

void createPlatformSingletons() {
    LinuxThreadHandler::instance();
    LinuxDriver::instance();
    LinuxUI::instance();
    LinuxHttpsHandler::instance();
    LinuxDevice::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "before WinNotifier::instance()\n");
    LinuxNotifier::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "after WinNotifier::instance()\n");
}

void serviceReady(Service* created) {
    ServiceControls::serviceReady(created);
    serviceStarted = true;
}

void logStop(int signal) {
    // Before the service thread made the logger, a call here would make one
    // without a file.
    if (serviceStarted) {
        Logger::instance()->out(LOGLEVEL_ERROR, "service stopping on signal %d\n", signal);
    }
}

// Ends the process at once: static destructors would run under threads that
// still use what they destroy. The sockets the service serves go with it, so
// no client takes a stale one for a service.
[[noreturn]] void endProcess(int code) {
    LinuxSocketServer::removeSocketFiles();
    std::fflush(stdout);
    std::_Exit(code);
}

int runDaemon() {
    sigset_t controls;
    sigemptyset(&controls);
    for (int signal : {SIGTERM, SIGINT, SIGTSTP, SIGCONT, SIGHUP}) {
        sigaddset(&controls, signal);
    }
    // Before any thread exists, so every thread inherits the mask and only
    // sigwait below sees these signals.
    pthread_sigmask(SIG_BLOCK, &controls, nullptr);

    std::thread([] {
        ServiceStartup::runServiceThread(createPlatformSingletons, serviceReady);
        // The check loop ended on its own: nothing is left to serve. A
        // failure, so the service manager starts the service again.
        Logger::instance()->out(LOGLEVEL_ERROR, "service thread ended\n");
        endProcess(1);
    }).detach();

    for (;;) {
        int signal = 0;
        if (sigwait(&controls, &signal) != 0) {
            continue;
        }
        switch (signal) {
            case SIGTERM:
            case SIGINT:
                // As on Windows, a stop ends the process without saving:
                // settings are written whenever they change.
                logStop(signal);
                endProcess(0);
            case SIGTSTP:
                ServiceControls::setPaused(true);
                break;
            case SIGCONT:
                ServiceControls::setPaused(false);
                break;
            default:  // SIGHUP: nothing to reload
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2) {
        if (strcasecmp(argv[1], "-i") == 0) {
            return LinuxSystemd::installService(ServiceName, ServiceDescription);
        }
        if (strcasecmp(argv[1], "-u") == 0) {
            return LinuxSystemd::uninstallService(ServiceName);
        }
        ShowUsage();
        return 0;
    }
    if (argc > 2) {
        std::fprintf(stderr,
                     "zorvane_service takes at most one argument (-i or -u); without arguments "
                     "it runs as the service\n");
        return 2;
    }
    return runDaemon();
}
