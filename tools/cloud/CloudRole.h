#pragma once

namespace httplib {
class Server;
}  // namespace httplib

// The cloud's listeners. A role that reads the child tag in front of plain
// HTTP requests will bring a listener of its own.
enum class Listener { Http, Https };

// One behaviour of the cloud (connection info, sign-in, and later host
// verdicts, cache updates, updates): adds its routes to each listener it
// belongs on. Handlers run on the server's worker threads, several at once.
class CloudRole {
public:
    virtual ~CloudRole() = default;
    // Called once per listener, before serving starts.
    virtual void addRoutes(httplib::Server& server, Listener listener) = 0;
};
