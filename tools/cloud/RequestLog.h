#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

// One line per request served, to a file or to standard output:
//   <listener> <caller> <method> <path?query> <status> [Header="value" ...]
// with the headers a sign-in sends (Device-Name, Public-IP, Device-Type).
// Secrets never reach the log: the password digest (the passwd parameter)
// and the given session keys are written as "********".
class RequestLog {
public:
    // Empty `path`: standard output. Throws std::runtime_error when the file
    // cannot be opened.
    explicit RequestLog(const std::string& path, std::vector<std::string> secrets = {});
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    void write(const char* listener, const httplib::Request& request,
               const httplib::Response& response);

    // A line of a listener that is not HTTP (the newline is added).
    void writeLine(const std::string& line);

    // `target` with the secrets masked.
    std::string masked(const std::string& target) const;

private:
    std::vector<std::string> mSecrets;  // set once, read by every request thread
    std::mutex mMutex;                  // keeps lines of concurrent requests whole
    FILE* mFile;
    bool mOwned;
};
