#include "FilterHost.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Dispatch.h"
#include "Filter.h"
#include "LinuxOs.h"
#include "PacketPath.h"
#include "ZorvaneLog.h"
#include "zorvane_control_socket.h"

namespace {

void usage(const char* extraUsage) {
    fprintf(stderr,
            "usage: zorvane_filter [--socket PATH] [--log FILE] [--log-level 0|1|2]\n"
            "                      [--packet-path on|off]\n"
            "  --socket     control socket (default: $ZORVANE_RUN_DIR or /run/zorvane/, then "
            "\"" ZORVANE_CONTROL_SOCKET_NAME
            "\")\n"
            "  --log        diagnostics file (default: standard error)\n"
            "  --log-level  0 trace, 1 info (default), 2 errors only\n"
            "  --packet-path  on (default): mapped users' traffic is filtered through\n"
            "               packet-filter rules; off: the control device only\n%s",
            extraUsage);
}

std::string defaultSocketPath() {
    const char* runDir = getenv("ZORVANE_RUN_DIR");
    std::string folder = (runDir != nullptr && *runDir != 0) ? runDir : "/run/zorvane/";
    if (folder.back() != '/') {
        folder += '/';
    }
    // The run folder is shared with the service's world-usable sockets.
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "zorvane_filter: cannot create %s: %s\n", folder.c_str(), strerror(errno));
    }
    return folder + ZORVANE_CONTROL_SOCKET_NAME;
}

// Control codes reach the filter through here, so that the packet path
// follows every change of the map and the configuration.
ZorvaneDeviceControlFn gInnerControl = nullptr;
PacketPath* gPacketPath = nullptr;

E_ZorvaneIoStatus controlWithPacketPath(uint32_t code, void* buffer, uint32_t inputLength,
                                        uint32_t outputLength, uint32_t* returned) {
    const E_ZorvaneIoStatus status =
        gInnerControl(code, buffer, inputLength, outputLength, returned);
    gPacketPath->refresh();
    return status;
}

}  // namespace

int ParseFilterHostOptions(int argc, char** argv, FilterHostOptions* options,
                           FilterHostExtraOption extra, const char* extraUsage) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if ((option == "--socket" || option == "--log" || option == "--log-level" ||
             option == "--packet-path") &&
            i + 1 < argc) {
            const char* value = argv[++i];
            if (option == "--packet-path") {
                const std::string onOff = value;
                if (onOff != "on" && onOff != "off") {
                    usage(extraUsage);
                    return 2;
                }
                options->packetPath = onOff == "on";
            } else if (option == "--socket") {
                options->socketPath = value;
            } else if (option == "--log") {
                options->logPath = value;
            } else {
                char* end = nullptr;
                const long level = strtol(value, &end, 10);
                if (*value == 0 || *end != 0 || level < ZORVANE_DBG_TRACE ||
                    level > ZORVANE_DBG_ERROR) {
                    usage(extraUsage);
                    return 2;
                }
                options->level = static_cast<int>(level);
            }
            continue;
        }
        const int taken = extra != nullptr ? extra(argc, argv, i) : 0;
        if (taken > 0) {
            i += taken - 1;
            continue;
        }
        usage(extraUsage);
        return option == "--help" ? 0 : 2;
    }
    return -1;
}

int RunFilterHost(const FilterHostOptions& options, ZorvaneDeviceControlFn control,
                  void (*started)()) {
    const std::string socketPath =
        options.socketPath.empty() ? defaultSocketPath() : options.socketPath;
    if (!options.logPath.empty() && !LinuxOs::openLog(options.logPath.c_str())) {
        fprintf(stderr, "zorvane_filter: cannot open %s: %s\n", options.logPath.c_str(),
                strerror(errno));
        return 1;
    }
    ZorvaneSetDebugLevel(options.level);

    // Signals are taken by sigwait below; every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ZorvLog(ZORVANE_DBG_INFO, "Driver Entry\n");
    if (!LinuxOs::startWorkItems() || ZorvaneFilterStart() == 0) {
        ZorvLog(ZORVANE_DBG_ERROR, "filter start failed\n");
        LinuxOs::stopWorkItems();
        return 1;
    }
    PacketPath packetPath;
    if (options.packetPath) {
        std::string why;
        if (!packetPath.start(&why)) {
            ZorvLog(ZORVANE_DBG_ERROR, "packet path failed: %s\n", why.c_str());
            fprintf(stderr, "zorvane_filter: packet path: %s\n", why.c_str());
            ZorvaneFilterUnload();
            LinuxOs::stopWorkItems();
            return 1;
        }
        gInnerControl = control != nullptr ? control : ZorvaneDeviceControl;
        gPacketPath = &packetPath;
        control = controlWithPacketPath;
    }
    ControlServer server(socketPath, control);
    std::string error;
    if (!server.start(&error)) {
        ZorvLog(ZORVANE_DBG_ERROR, "device creation failed\n");
        fprintf(stderr, "zorvane_filter: %s\n", error.c_str());
        server.stop();
        packetPath.stop();
        ZorvaneFilterUnload();
        LinuxOs::stopWorkItems();
        return 1;
    }
    ZorvLog(ZORVANE_DBG_INFO, "control device on %s\n", socketPath.c_str());
    if (started != nullptr) {
        started();
    }

    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);

    ZorvLog(ZORVANE_DBG_INFO, "driver unload\n");
    server.stop();
    packetPath.stop();
    ZorvaneFilterUnload();
    LinuxOs::stopWorkItems();
    ZorvLog(ZORVANE_DBG_INFO, "Driver unloaded successfully\n");
    LinuxOs::closeLog();
    return 0;
}
