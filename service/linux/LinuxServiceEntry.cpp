#include "LinuxServiceEntry.h"

#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "LinuxSystemd.h"
#include "base/Logger.h"

namespace {

// Set once by runLinuxServiceProgram before any other thread exists.
const LinuxServiceProgram* program = nullptr;
// Set once the service thread made the logger.
std::atomic<bool> serviceStarted{false};

void ShowUsage() {
    std::printf("\nUSAGE:\n");
    std::printf("server -i\tInstall service\n");
    std::printf("server -u\tUninstall service\n");
}

void logStop(int signal) {
    if (serviceStarted) {
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

    std::thread([] { program->serviceThread(); }).detach();

    for (;;) {
        int signal = 0;
        if (sigwait(&controls, &signal) != 0) {
            continue;
        }
        switch (signal) {
            case SIGTERM:
            case SIGINT:
                // As on Windows, a stop ends the process without saving:
                // what must last is written when it changes.
                logStop(signal);
                endServiceProcess(0);
            case SIGTSTP:
                program->setPaused(true);
                break;
            case SIGCONT:
                program->setPaused(false);
                break;
            default:  // SIGHUP: nothing to reload
                break;
        }
    }
}

}  // namespace

void markServiceStarted() {
    serviceStarted = true;
}

void endServiceProcess(int code) {
    if (program && program->beforeExit) {
        program->beforeExit();
    }
    std::fflush(stdout);
    std::_Exit(code);
}

int runLinuxServiceProgram(int argc, char** argv, const LinuxServiceProgram& serviceProgram) {
    program = &serviceProgram;
    if (argc == 2) {
        if (strcasecmp(argv[1], "-i") == 0) {
            return LinuxSystemd::installService(program->name, program->description);
        }
        if (strcasecmp(argv[1], "-u") == 0) {
            return LinuxSystemd::uninstallService(program->name);
        }
        ShowUsage();
        return 0;
    }
    if (argc > 2) {
        std::fprintf(stderr,
                     "%s takes at most one argument (-i or -u), after an optional --step-ms "
                     "<ms>; without arguments it runs as the service\n",
                     program->programName);
        return 2;
    }
    return runDaemon();
}
