#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

// One line per request served, to a file or to standard output:
//   <listener> <caller> <method> <path?query> <status> [Header="value" ...]
// with the headers a sign-in sends (Device-Name, Public-IP, Device-Type).
class RequestLog {
public:
    // Empty `path`: standard output. Throws std::runtime_error when the file
    // cannot be opened.
    explicit RequestLog(const std::string& path);
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    void write(const char* listener, const httplib::Request& request,
               const httplib::Response& response);

private:
    std::mutex mMutex;  // keeps lines of concurrent requests whole
    FILE* mFile;
    bool mOwned;
};
