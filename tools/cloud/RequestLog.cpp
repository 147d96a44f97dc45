#include "RequestLog.h"

#include <httplib.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

const char kMask[] = "********";

}  // namespace

RequestLog::RequestLog(const std::string& path, std::vector<std::string> secrets)
    : mSecrets(std::move(secrets)), mFile(stdout), mOwned(false) {
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

std::string RequestLog::masked(const std::string& target) const {
    std::string text = target;
    // The digest: every passwd parameter's value, up to the next parameter.
    for (size_t at = text.find("passwd="); at != std::string::npos;
         at = text.find("passwd=", at + 1)) {
        if (at != 0 && text[at - 1] != '?' && text[at - 1] != '&') {
            continue;
        }
        const size_t value = at + 7;
        const size_t end = text.find('&', value);
        text.replace(value, (end == std::string::npos ? text.size() : end) - value, kMask);
    }
    for (const std::string& secret : mSecrets) {
        if (secret.empty()) {
            continue;
        }
        for (size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + sizeof kMask - 1)) {
            text.replace(at, secret.size(), kMask);
        }
    }
    return text;
}

void RequestLog::write(const char* listener, const httplib::Request& request,
                       const httplib::Response& response) {
    std::string line = std::string(listener) + " " + request.remote_addr + " " + request.method +
                       " " + masked(request.target) + " " + std::to_string(response.status);
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

void RequestLog::writeLine(const std::string& line) {
    const std::string whole = line + "\n";
    std::lock_guard<std::mutex> lock(mMutex);
    std::fputs(whole.c_str(), mFile);
    std::fflush(mFile);
}
