// zorvane_cloud: the stand-in cloud. Serves the cloud's roles over HTTP and
// HTTPS from one data file; see README.md.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "AtomicFile.h"
#include "AuthRole.h"
#include "CacheUpdateRole.h"
#include "CloudData.h"
#include "CloudServer.h"
#include "ConnectionRole.h"
#include "DeviceRegistry.h"
#include "FilterRole.h"
#include "UpdateRole.h"
#include "RequestLog.h"
#include "SelfSignedCertificate.h"
#include "SessionState.h"
#include "TaggedHttpServer.h"

namespace {

const char kUsage[] =
    "usage: zorvane_cloud [options]\n"
    "  --data FILE        cloud data (JSON); default: the built-in data\n"
    "  --state DIR        device ids and certificate (default $TMPDIR or /var/tmp,\n"
    "                     folder zorvane-cloud-<uid>)\n"
    "  --bind ADDR        address to listen on (default 127.0.0.1)\n"
    "  --http-port N      plain HTTP port (default 8480; 0 or 'any': a free port)\n"
    "  --https-port N     HTTPS port (default 8443; 'any': a free port; 0: no HTTPS)\n"
    "  --filter-port N    plain-HTTP filter server for tagged requests (default off;\n"
    "                     80 is where the service sends them; 'any': a free port)\n"
    "  --port-file FILE   write the ports and certificate path once listening\n"
    "  --log FILE         request log (default standard output)\n"
    "  --print-default    print the built-in data and exit\n"
    "  --help             this text\n";

struct Options {
    std::string dataFile;
    std::string stateDir;
    std::string portFile;
    std::string logFile;
    int filterPort = -1;  // -1: no filter server; 0: any free port
    CloudServer::Options server;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int parsePort(const std::string& option, const std::string& value) {
    if (value == "any") {
        return 0;
    }
    char* end = nullptr;
    long port = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || port < 0 || port > 65535) {
        throw UsageError(option + ": not a port: " + value);
    }
    return static_cast<int>(port);
}

std::string defaultStateDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/var/tmp";
    return base + "/zorvane-cloud-" + std::to_string(::getuid());
}

// Returns false when the program should exit at once (help, printed data).
bool parseArguments(int argc, char** argv, Options& options) {
    options.stateDir = defaultStateDir();
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool inlineValue = false;
        size_t equals = option.find('=');
        if (option.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            inlineValue = true;
        }
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return false;
        }
        if (option == "--print-default") {
            std::fputs(CloudData::defaultText(), stdout);
            return false;
        }
        if (!inlineValue) {
            if (i + 1 >= argc) {
                throw UsageError(option + " needs a value");
            }
            value = argv[++i];
        }
        if (option == "--data") {
            options.dataFile = value;
        } else if (option == "--state") {
            options.stateDir = value;
        } else if (option == "--bind") {
            options.server.bindAddress = value;
        } else if (option == "--http-port") {
            options.server.httpPort = parsePort(option, value);
        } else if (option == "--https-port") {
            options.server.https = value != "0";
            options.server.httpsPort = parsePort(option, value);
        } else if (option == "--filter-port") {
            options.filterPort = value == "off" ? -1 : parsePort(option, value);
        } else if (option == "--port-file") {
            options.portFile = value;
        } else if (option == "--log") {
            options.logFile = value;
        } else {
            throw UsageError("unknown option " + option);
        }
    }
    return true;
}

void prepareStateDir(const std::string& path) {
    std::error_code error;
    if (std::filesystem::create_directories(path, error)) {
        ::chmod(path.c_str(), 0700);  // holds the private key
    } else if (error) {
        throw std::runtime_error("cannot create " + path + ": " + error.message());
    }
}

// Blocked in every thread; the main thread takes them with sigwait.
sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

int run(const Options& options) {
    sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    CloudData data = CloudData::parse(options.dataFile.empty() ? CloudData::defaultText()
                                                               : readWholeFile(options.dataFile));
    prepareStateDir(options.stateDir);
    DeviceRegistry devices(options.stateDir + "/devices.json");
    SessionState sessions(data);

    CloudServer::Options serverOptions = options.server;
    if (serverOptions.https) {
        CertificateFiles files = ensureSelfSignedCertificate(options.stateDir);
        serverOptions.certificate = files.certificate;
        serverOptions.privateKey = files.privateKey;
    }
    std::vector<std::string> sessionKeys;
    for (const CloudAccount& account : data.accounts) {
        for (const CloudChild& child : account.children) {
            sessionKeys.push_back(child.sessionKey);
        }
    }
    RequestLog log(options.logFile, sessionKeys);
    CloudServer server(serverOptions, log);
    const Endpoints& endpoints = server.bind();
    server.addRole(std::make_unique<ConnectionRole>(data, endpoints));
    server.addRole(std::make_unique<AuthRole>(data, devices, sessions));
    server.addRole(std::make_unique<FilterRole>(data, sessions));
    server.addRole(std::make_unique<CacheUpdateRole>(data, sessions));
    server.addRole(std::make_unique<UpdateRole>(data, endpoints));

    TaggedHttpServer filterServer(data, log);
    int filterPort = 0;
    if (options.filterPort >= 0) {
        filterPort = filterServer.bind(endpoints.bindAddress, options.filterPort);
    }

    server.start();
    if (options.filterPort >= 0) {
        filterServer.start();
    }

    std::printf("zorvane_cloud: data %s, state %s\n",
                options.dataFile.empty() ? "(built-in)" : options.dataFile.c_str(),
                options.stateDir.c_str());
    std::printf("zorvane_cloud: http://%s:%d/\n", endpoints.bindAddress.c_str(),
                endpoints.httpPort);
    if (serverOptions.https) {
        std::printf("zorvane_cloud: https://%s:%d/ certificate (trust as CA file): %s\n",
                    endpoints.bindAddress.c_str(), endpoints.httpsPort,
                    serverOptions.certificate.c_str());
    }
    if (options.filterPort >= 0) {
        std::printf("zorvane_cloud: filter server %s:%d (tagged plain HTTP)\n",
                    endpoints.bindAddress.c_str(), filterPort);
    }
    std::fflush(stdout);
    if (!options.portFile.empty()) {
        std::string ports = "http " + std::to_string(endpoints.httpPort) + "\nhttps " +
                            std::to_string(endpoints.httpsPort) + "\n";
        if (serverOptions.https) {
            ports += "certificate " + serverOptions.certificate + "\n";
        }
        if (options.filterPort >= 0) {
            ports += "filter " + std::to_string(filterPort) + "\n";
        }
        // Written whole, so a waiting test never reads half of it.
        writeFileAtomically(options.portFile, ports, 0644);
    }

    int signal = 0;
    sigwait(&signals, &signal);
    filterServer.stop();
    server.stop();
    std::printf("zorvane_cloud: stopped (%s)\n", strsignal(signal));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ::signal(SIGPIPE, SIG_IGN);  // a client hanging up must not end the server
    Options options;
    try {
        if (!parseArguments(argc, argv, options)) {
            return 0;
        }
    } catch (const UsageError& error) {
        std::fprintf(stderr, "zorvane_cloud: %s\n%s", error.what(), kUsage);
        return 2;
    }
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "zorvane_cloud: %s\n", error.what());
        return 1;
    }
}
