#include "TaggedHttpServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>
#include <vector>

#include "FilterRole.h"
#include "RequestLog.h"

namespace {

const unsigned char kTagStart[8] = {0x80, 0x19, 0x26, 0x04, 0x21, 0x01, 0x04, 0xFE};
const size_t kTagSize = 16;
const size_t kMaxHead = 64 * 1024;
const size_t kMaxBody = 16 * 1024 * 1024;

uint32_t littleEndian32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

std::string lowerCase(std::string value) {
    std::transform(value.begin(), value.end(), value.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return value;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

std::string htmlEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Bytes of one connection read ahead: a request's tag, head and body.
class Reader {
public:
    explicit Reader(int fd) : mFd(fd) {}

    // False when the peer closed or failed before `size` bytes.
    bool take(size_t size, std::string& out) {
        while (mBuffer.size() < size) {
            if (!fill()) {
                return false;
            }
        }
        out = mBuffer.substr(0, size);
        mBuffer.erase(0, size);
        return true;
    }

    // The head up to its empty line; false at close or when too long.
    bool head(std::string& out) {
        size_t end;
        while ((end = mBuffer.find("\r\n\r\n")) == std::string::npos) {
            if (mBuffer.size() > kMaxHead || !fill()) {
                return false;
            }
        }
        out = mBuffer.substr(0, end + 2);
        mBuffer.erase(0, end + 4);
        return true;
    }

    bool empty() const { return mBuffer.empty(); }

private:
    bool fill() {
        char chunk[8192];
        ssize_t got;
        do {
            got = ::recv(mFd, chunk, sizeof chunk, 0);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) {
            return false;
        }
        mBuffer.append(chunk, static_cast<size_t>(got));
        return true;
    }

    int mFd;
    std::string mBuffer;
};

struct ParsedRequest {
    std::string method;
    std::string target;  // origin form: path and query
    std::string version;
    std::string host;  // lower case, without the port
    int port = 80;
    std::string hostHeader;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

bool parseHostPort(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    host = lowerCase(text.substr(0, colon));
    port = 80;
    if (colon != std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        char* end = nullptr;
        const long value = std::strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || value < 1 || value > 65535) {
            return false;
        }
        port = static_cast<int>(value);
    }
    return !host.empty() && host.find_first_of(" /\\[]@") == std::string::npos;
}

// Empty result: parsed; otherwise why the head is refused.
std::string parseHead(const std::string& head, ParsedRequest& request) {
    const size_t lineEnd = head.find("\r\n");
    const std::string line = head.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    if (first == std::string::npos || second == std::string::npos) {
        return "no request line";
    }
    request.method = line.substr(0, first);
    request.target = line.substr(first + 1, second - first - 1);
    request.version = line.substr(second + 1);
    if (request.version != "HTTP/1.1" && request.version != "HTTP/1.0") {
        return "not HTTP/1.x";
    }
    for (size_t at = lineEnd + 2; at < head.size();) {
        const size_t end = head.find("\r\n", at);
        const std::string field = head.substr(at, end - at);
        at = end + 2;
        const size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0) {
            return "bad header line";
        }
        request.headers.emplace_back(field.substr(0, colon), trim(field.substr(colon + 1)));
        if (lowerCase(field.substr(0, colon)) == "host") {
            request.hostHeader = trim(field.substr(colon + 1));
        }
    }
    std::string authority = request.hostHeader;
    const std::string absolute = "http://";
    if (lowerCase(request.target.substr(0, absolute.size())) == absolute) {
        const size_t slash = request.target.find('/', absolute.size());
        authority = request.target.substr(absolute.size(), slash - absolute.size());
        request.target = slash == std::string::npos ? "/" : request.target.substr(slash);
    }
    if (request.target.empty() || request.target[0] != '/') {
        return "bad request target";
    }
    if (!parseHostPort(authority, request.host, request.port)) {
        return "no host";
    }
    return "";
}

std::string header(const ParsedRequest& request, const std::string& name) {
    for (const auto& field : request.headers) {
        if (lowerCase(field.first) == name) {
            return field.second;
        }
    }
    return "";
}

bool sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string response(int status, const std::string& reason,
                     const std::vector<std::pair<std::string, std::string>>& headers,
                     const std::string& body, bool keepAlive, bool withBody,
                     const std::string& length = "") {
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
    for (const auto& field : headers) {
        text += field.first + ": " + field.second + "\r\n";
    }
    text += "Content-Length: " + (length.empty() ? std::to_string(body.size()) : length) + "\r\n";
    text += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    text += "\r\n";
    if (withBody) {
        text += body;
    }
    return text;
}

std::string textPage(const std::string& title, const std::string& message) {
    return "<!DOCTYPE html>\n<html><head><title>" + htmlEscaped(title) +
           "</title></head>\n<body><h1>" + htmlEscaped(title) + "</h1>\n<p>" +
           htmlEscaped(message) + "</p></body></html>\n";
}

// The first IPv4 address of `host`; false when it has none.
bool resolve(const std::string& host, uint32_t& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        return false;
    }
    address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return true;
}

bool hopByHop(const std::string& name) {
    static const char* const kNames[] = {
        "connection", "keep-alive", "proxy-connection", "transfer-encoding",
        "te",         "trailer",    "upgrade",          "content-length"};
    const std::string lower = lowerCase(name);
    return std::any_of(std::begin(kNames), std::end(kNames),
                       [&](const char* hop) { return lower == hop; });
}

}  // namespace

bool parseRequestTag(const unsigned char* bytes, RequestTag& tag) {
    if (std::memcmp(bytes, kTagStart, sizeof kTagStart) != 0) {
        return false;
    }
    tag.childId = littleEndian32(bytes + 8);
    tag.deviceId = littleEndian32(bytes + 12);
    return true;
}

struct TaggedHttpServer::Connection {
    int fd = -1;
    std::string caller;
    std::thread thread;
    std::atomic<bool> done{false};
};

TaggedHttpServer::TaggedHttpServer(const CloudData& data, RequestLog& log)
    : mData(data), mLog(log) {}

TaggedHttpServer::~TaggedHttpServer() {
    stop();
}

int TaggedHttpServer::bind(const std::string& address, int port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
        throw std::runtime_error("filter server: not an IPv4 address: " + address);
    }
    mListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(mListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (mListener < 0 ||
        ::bind(mListener, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::listen(mListener, 64) != 0) {
        const std::string why = std::strerror(errno);
        if (mListener >= 0) {
            ::close(mListener);
            mListener = -1;
        }
        throw std::runtime_error("filter server: cannot listen on " + address + ":" +
                                 std::to_string(port) + ": " + why);
    }
    socklen_t length = sizeof local;
    ::getsockname(mListener, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

void TaggedHttpServer::start() {
    mAcceptThread = std::thread([this] { acceptLoop(); });
}

void TaggedHttpServer::stop() {
    if (mStopping.exchange(true)) {
        return;
    }
    if (mListener >= 0) {
        ::shutdown(mListener, SHUT_RDWR);  // wakes accept
    }
    if (mAcceptThread.joinable()) {
        mAcceptThread.join();
    }
    if (mListener >= 0) {
        ::close(mListener);
        mListener = -1;
    }
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        connections.swap(mConnections);
        for (auto& connection : connections) {
            ::shutdown(connection->fd, SHUT_RDWR);
        }
    }
    for (auto& connection : connections) {
        connection->thread.join();
        ::close(connection->fd);
    }
}

void TaggedHttpServer::acceptLoop() {
    while (!mStopping) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd =
            ::accept4(mListener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;  // the listener was shut down
        }
        // An idle keep-alive client does not hold its thread for ever.
        timeval idle{60, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
        char text[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        std::lock_guard<std::mutex> lock(mMutex);
        if (mStopping) {
            ::close(fd);
            return;
        }
        // Finished connections go here, so a long run does not pile them up.
        for (auto it = mConnections.begin(); it != mConnections.end();) {
            if ((*it)->done) {
                (*it)->thread.join();
                ::close((*it)->fd);
                it = mConnections.erase(it);
            } else {
                ++it;
            }
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->caller = text;
        Connection& served = *connection;
        mConnections.push_back(std::move(connection));
        served.thread = std::thread([this, &served] {
            serve(served);
            // The client sees the end now; the descriptor is closed when joined.
            ::shutdown(served.fd, SHUT_RDWR);
            served.done = true;
        });
    }
}

void TaggedHttpServer::serve(Connection& connection) {
    Reader reader(connection.fd);
    const std::string prefix = "filter " + connection.caller + " ";
    for (;;) {
        std::string tagBytes;
        if (!reader.take(kTagSize, tagBytes)) {
            if (!tagBytes.empty() || !reader.empty()) {
                mLog.writeLine(prefix + "- - 400 reason=\"connection ended inside a tag\"");
            }
            return;
        }
        RequestTag tag;
        if (!parseRequestTag(reinterpret_cast<const unsigned char*>(tagBytes.data()), tag)) {
            mLog.writeLine(prefix + "- - 400 reason=\"request without a valid tag\"");
            sendAll(connection.fd,
                    response(400, "Bad Request", {{"Content-Type", "text/html"}},
                             textPage("Bad request", "The request carries no filter tag."), false,
                             true));
            return;  // the next request's start cannot be found
        }
        const std::string tagText =
            " child=" + std::to_string(tag.childId) + " device=" + std::to_string(tag.deviceId);
        std::string head;
        if (!reader.head(head)) {
            mLog.writeLine(prefix + "- - 400 reason=\"no complete request after the tag\"" +
                           tagText);
            sendAll(connection.fd, response(400, "Bad Request", {}, "", false, true));
            return;
        }
        ParsedRequest request;
        const std::string refused = parseHead(head, request);
        const CloudChild* child = mData.findChildById(tag.childId);
        std::string why = refused;
        if (why.empty() && !child) {
            why = "unknown child";
        }
        const std::string length = header(request, "content-length");
        size_t bodySize = 0;
        if (why.empty() && !header(request, "transfer-encoding").empty()) {
            why = "chunked request body";
        }
        if (why.empty() && !length.empty()) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(length.c_str(), &end, 10);
            if (*end != '\0' || value > kMaxBody) {
                why = "bad Content-Length";
            }
            bodySize = static_cast<size_t>(value);
        }
        if (why.empty() && bodySize > 0 && !reader.take(bodySize, request.body)) {
            return;
        }
        if (!why.empty()) {
            mLog.writeLine(prefix + (request.method.empty() ? "-" : request.method) + " " +
                           (request.target.empty() ? "-" : request.target) + " 400 reason=\"" +
                           why + "\"" + tagText);
            sendAll(connection.fd, response(400, "Bad Request", {{"Content-Type", "text/html"}},
                                            textPage("Bad request", why), false, true));
            return;
        }
        const std::string connectionHeader = lowerCase(header(request, "connection"));
        const bool keepAlive = request.version == "HTTP/1.1"
                                   ? connectionHeader.find("close") == std::string::npos
                                   : connectionHeader.find("keep-alive") != std::string::npos;
        const bool withBody = request.method != "HEAD";
        const std::string where = request.host +
                                  (request.port == 80 ? "" : ":" + std::to_string(request.port)) +
                                  request.target;
        std::string answer;
        int status = 0;
        if (hostBlocked(mData, *child, request.host)) {
            status = 403;
            answer =
                response(403, "Forbidden", {{"Content-Type", "text/html; charset=utf-8"}},
                         textPage("Blocked", request.host + " is blocked for " + child->name +
                                                 " (child " + std::to_string(child->id) + ")."),
                         keepAlive, withBody);
        } else {
            uint32_t address = 0;
            if (!resolve(request.host, address) || !mData.pageFetchAllowed(address)) {
                status = 502;
                answer = response(
                    502, "Bad Gateway", {{"Content-Type", "text/html"}},
                    textPage("Not fetched",
                             request.host + " is not at an address this server may fetch from."),
                    keepAlive, withBody);
            } else {
                in_addr raw{htonl(address)};
                char text[INET_ADDRSTRLEN] = "";
                ::inet_ntop(AF_INET, &raw, text, sizeof text);
                httplib::Client upstream(text, request.port);
                upstream.set_connection_timeout(5, 0);
                upstream.set_read_timeout(15, 0);
                httplib::Request forwarded;
                forwarded.method = request.method;
                forwarded.path = request.target;
                forwarded.body = request.body;
                for (const auto& field : request.headers) {
                    if (!hopByHop(field.first)) {
                        forwarded.headers.emplace(field.first, field.second);
                    }
                }
                httplib::Result result = upstream.send(forwarded);
                if (!result) {
                    status = 502;
                    answer = response(502, "Bad Gateway", {{"Content-Type", "text/html"}},
                                      textPage("Not fetched", request.host + " did not answer."),
                                      keepAlive, withBody);
                } else {
                    status = result->status;
                    std::vector<std::pair<std::string, std::string>> headers;
                    for (const auto& field : result->headers) {
                        if (!hopByHop(field.first)) {
                            headers.emplace_back(field.first, field.second);
                        }
                    }
                    // A HEAD answer has no body but tells the length of the page.
                    const std::string headLength =
                        withBody ? "" : result->get_header_value("Content-Length");
                    answer =
                        response(result->status, result->reason.empty() ? "OK" : result->reason,
                                 headers, result->body, keepAlive, withBody, headLength);
                }
            }
        }
        mLog.writeLine(prefix + request.method + " " + where + " " + std::to_string(status) +
                       tagText);
        if (!sendAll(connection.fd, answer) || !keepAlive) {
            return;
        }
    }
}
