// The filtering service program on Linux: console installer (-i, -u) of a
// systemd unit, and the foreground daemon that a service manager runs.
// Signals are the service controls: SIGTERM or SIGINT stop, SIGTSTP pauses
// the check loop, SIGCONT continues it.
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "LinuxDevice.h"
#include "LinuxDriver.h"
#include "LinuxNotifier.h"
#include "LinuxSystemd.h"
#include "LinuxThreadHandler.h"
#include "LinuxUI.h"
#include "base/Logger.h"
#include "Service.h"
#include "ServiceStartup.h"

namespace {

// Guards service and paused: the signal loop and the service thread meet here.
std::mutex controlLock;
Service* service = nullptr;  // set once the service thread created it
bool paused = false;

void ShowUsage() {
    std::printf("\nUSAGE:\n");
    std::printf("server -i\tInstall service\n");
    std::printf("server -u\tUninstall service\n");
}

void createPlatformSingletons() {
    LinuxThreadHandler::instance();
    LinuxDriver::instance();
    LinuxUI::instance();
    LinuxDevice::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "before WinNotifier::instance()\n");
    LinuxNotifier::instance();
    Logger::instance()->out(LOGLEVEL_INFO, "after WinNotifier::instance()\n");
}

// A pause that came before the Service existed takes effect now.
void serviceReady(Service* created) {
    std::lock_guard<std::mutex> lock(controlLock);
    service = created;
    if (paused) {
        service->pauseChecks();
    }
}

void setPaused(bool pause) {
    std::lock_guard<std::mutex> lock(controlLock);
    if (paused == pause) {
        return;
    }
    paused = pause;
    if (!service) {
        return;
    }
    if (pause) {
        service->pauseChecks();
    } else {
        service->resumeChecks();
    }
    Logger::instance()->out(LOGLEVEL_INFO, pause ? "service paused\n" : "service continued\n");
}

void logStop(int signal) {
    // Before the service thread made the logger, a call here would make one
    // without a file.
    std::lock_guard<std::mutex> lock(controlLock);
    if (service) {
        Logger::instance()->out(LOGLEVEL_ERROR, "service stopping on signal %d\n", signal);
    }
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
        // The check loop ended on its own: nothing is left to serve.
        Logger::instance()->out(LOGLEVEL_ERROR, "service thread ended\n");
        std::fflush(stdout);
        std::_Exit(1);
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
                std::fflush(stdout);
                std::_Exit(0);
            case SIGTSTP:
                setPaused(true);
                break;
            case SIGCONT:
                setPaused(false);
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
