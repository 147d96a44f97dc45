#pragma once

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CloudRole.h"

class RequestLog;

// Where the cloud listens, once bound (ports are the real ones also when any
// free port was asked for).
struct Endpoints {
    std::string bindAddress;
    int httpPort = 0;
    int httpsPort = 0;  // 0: no HTTPS
};

// The cloud's HTTP and HTTPS listeners, serving the same roles, each request
// logged once.
class CloudServer {
public:
    struct Options {
        std::string bindAddress = "127.0.0.1";
        int httpPort = 8480;  // 0: any free port
        bool https = true;
        int httpsPort = 8443;  // 0: any free port
        std::string certificate;
        std::string privateKey;
    };

    // Throws std::runtime_error when the certificate or key cannot be loaded.
    CloudServer(const Options& options, RequestLog& log);
    ~CloudServer();
    CloudServer(const CloudServer&) = delete;
    CloudServer& operator=(const CloudServer&) = delete;

    // Binds every listener; throws std::runtime_error when one cannot be bound.
    const Endpoints& bind();
    // Before start().
    void addRole(std::unique_ptr<CloudRole> role);
    // Serves on background threads; returns once every listener accepts.
    void start();
    // Ends serving and joins the threads; idempotent.
    void stop();

private:
    struct Served;
    Options mOptions;
    Endpoints mEndpoints;
    std::vector<std::unique_ptr<CloudRole>> mRoles;  // outlive mServed's threads
    std::vector<std::unique_ptr<Served>> mServed;
};
