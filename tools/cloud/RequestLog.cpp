#include "RequestLog.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

RequestLog::RequestLog(const std::string& path) : mFile(stdout), mOwned(false) {
    if (path.empty()) {
        return;
    }
    mFile = std::fopen(path.c_str(), "a");
    if (!mFile) {
        throw std::runtime_error("cannot open log " + path + ": " + std::strerror(errno));
    }
    mOwned = true;
}

RequestLog::~RequestLog() {
    if (mOwned) {
        std::fclose(mFile);
    }
}

void RequestLog::write(const char* listener, const httplib::Request& request,
                       const httplib::Response& response) {
    std::string line = std::string(listener) + " " + request.remote_addr + " " + request.method +
                       " " + request.target + " " + std::to_string(response.status);
    for (const char* header : {"Device-Name", "Public-IP", "Device-Type"}) {
        if (request.has_header(header)) {
            line += std::string(" ") + header + "=\"" + request.get_header_value(header) + "\"";
        }
    }
    line += "\n";
    std::lock_guard<std::mutex> lock(mMutex);
    std::fputs(line.c_str(), mFile);
    std::fflush(mFile);  // readers (tests, people) follow the file live
}
