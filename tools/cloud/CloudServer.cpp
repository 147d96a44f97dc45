#include "CloudServer.h"

#include <httplib.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <stdexcept>

#include "RequestLog.h"

struct CloudServer::Served {
    Listener listener;
    const char* name;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    std::atomic<bool> ended{false};  // listen_after_bind returned
};

namespace {

// Unlike the library's default, no SO_REUSEPORT: a second cloud on the same
// port must fail to start instead of sharing the port unnoticed.
void reuseAddressOnly(int socket) {
    int yes = 1;
    ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

}  // namespace

CloudServer::CloudServer(const Options& options, RequestLog& log) : mOptions(options) {
    mEndpoints.bindAddress = options.bindAddress;
    auto add = [&](Listener listener, const char* name, std::unique_ptr<httplib::Server> server) {
        server->set_socket_options(reuseAddressOnly);
        server->set_logger(
            [&log, name](const httplib::Request& request, const httplib::Response& response) {
                log.write(name, request, response);
            });
        server->set_exception_handler(
            [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
                std::string reason = "internal error";
                try {
                    std::rethrow_exception(error);
                } catch (const std::exception& exception) {
                    reason = exception.what();
                } catch (...) {
                }
                response.status = 500;
                response.set_content("STATUS, FAILED\nREASON, " + reason + "\n", "text/plain");
            });
        auto served = std::make_unique<Served>();
        served->listener = listener;
        served->name = name;
        served->server = std::move(server);
        mServed.push_back(std::move(served));
    };
    add(Listener::Http, "http", std::make_unique<httplib::Server>());
    if (options.https) {
        auto server = std::make_unique<httplib::SSLServer>(options.certificate.c_str(),
                                                           options.privateKey.c_str());
        if (!server->is_valid()) {
            throw std::runtime_error("cannot load certificate " + options.certificate +
                                     " with key " + options.privateKey +
                                     " (remove both to make new ones)");
        }
        add(Listener::Https, "https", std::move(server));
    }
}

CloudServer::~CloudServer() {
    stop();
}

const Endpoints& CloudServer::bind() {
    for (auto& served : mServed) {
        bool https = served->listener == Listener::Https;
        int wanted = https ? mOptions.httpsPort : mOptions.httpPort;
        int port = wanted;
        if (wanted == 0) {
            port = served->server->bind_to_any_port(mOptions.bindAddress);
        } else if (!served->server->bind_to_port(mOptions.bindAddress, wanted)) {
            port = -1;
        }
        if (port <= 0) {
            throw std::runtime_error(std::string("cannot listen for ") + served->name + " on " +
                                     mOptions.bindAddress + " port " + std::to_string(wanted));
        }
        (https ? mEndpoints.httpsPort : mEndpoints.httpPort) = port;
    }
    return mEndpoints;
}

void CloudServer::addRole(std::unique_ptr<CloudRole> role) {
    for (auto& served : mServed) {
        role->addRoutes(*served->server, served->listener);
    }
    mRoles.push_back(std::move(role));
}

void CloudServer::start() {
    for (auto& served : mServed) {
        Served* one = served.get();
        one->thread = std::thread([one] {
            one->server->listen_after_bind();
            one->ended = true;
        });
    }
    // stop() is a no-op for a server not yet running: without this wait a
    // quick stop would leave a thread listening forever.
    for (auto& served : mServed) {
        while (!served->server->is_running() && !served->ended) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
}

void CloudServer::stop() {
    for (auto& served : mServed) {
        served->server->stop();
    }
    for (auto& served : mServed) {
        if (served->thread.joinable()) {
            served->thread.join();
        }
    }
}
