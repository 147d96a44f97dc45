// zorvane_raw_client: what a local user can do to a service socket by hand.
// Connects to SOCKET and runs the steps in order, printing one line for each
// answer:
//   frame:ID[:TEXT]   a request frame: the id, then TEXT and a zero byte
//   bytes:HEX         raw bytes
//   word              reads a 4-byte answer: "answer N", or "no answer" when
//                     the service closed or sent nothing within 10 s
//   sleep:MS          waits
//   repeat:N:STEP     a frame: or bytes: step N times, sent at once
// Exit status: 0 when every step ran, 3 when the socket cannot be reached.
//
// zorvane_raw_client --listen SOCKET MS: serves SOCKET (as a notifier would)
// for MS milliseconds: prints "listening", then for each connection
// "accepted" and "frame N bytes" for its frame, and answers 1. Exit status 3
// when the socket cannot be made ("cannot bind: ...").
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "zorvane_bytes.h"

namespace {

bool sendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<size_t>(sent);
    }
    return true;
}

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    StoreLe32(&bytes[0], value);
    return bytes;
}

// "ID" or "ID:TEXT", as a frame step names it.
std::string frame(const std::string& idAndText) {
    size_t colon = idAndText.find(':');
    uint32_t id =
        static_cast<uint32_t>(std::strtoul(idAndText.substr(0, colon).c_str(), nullptr, 10));
    std::string body = le32(id);
    if (colon != std::string::npos) {
        body += idAndText.substr(colon + 1);
        body.push_back('\0');
    }
    return le32(static_cast<uint32_t>(body.size())) + body;
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return bytes;
}

void readWord(int fd) {
    unsigned char bytes[4];
    size_t done = 0;
    while (done < sizeof bytes) {
        ssize_t got = ::recv(fd, bytes + done, sizeof bytes - done, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            std::printf("no answer\n");
            std::fflush(stdout);
            return;
        }
        done += static_cast<size_t>(got);
    }
    const uint32_t value = LoadLe32(bytes);
    std::printf("answer %u\n", value);
    std::fflush(stdout);
}

bool receiveAll(int fd, char* data, size_t length) {
    while (length > 0) {
        ssize_t got = ::recv(fd, data, length, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

int listenOn(const char* path, int milliseconds) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server, 4) != 0) {
        std::printf("cannot bind: %s\n", std::strerror(errno));
        return 3;
    }
    std::printf("listening\n");
    std::fflush(stdout);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        pollfd ready{server, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            break;
        }
        int client = ::accept(server, nullptr, nullptr);
        if (client < 0) {
            continue;
        }
        std::printf("accepted\n");
        timeval timeout{5, 0};
        setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        unsigned char count[4];
        if (receiveAll(client, reinterpret_cast<char*>(count), sizeof count)) {
            uint32_t length = count[0] | (count[1] << 8) | (count[2] << 16) |
                              (static_cast<uint32_t>(count[3]) << 24);
            std::string body(length < 65536 ? length : 0, '\0');
            if (receiveAll(client, body.data(), body.size())) {
                std::printf("frame %u bytes\n", length);
                sendAll(client, le32(1));
            }
        }
        std::fflush(stdout);
        ::close(client);
    }
    ::close(server);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--listen") == 0) {
        return listenOn(argv[2], std::atoi(argv[3]));
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: zorvane_raw_client SOCKET STEP...\n");
        return 2;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::printf("cannot connect: %s\n", std::strerror(errno));
        return 3;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    for (int i = 2; i < argc; ++i) {
        std::string step = argv[i];
        if (step.rfind("repeat:", 0) == 0) {
            const size_t colon = step.find(':', 7);
            const long times = std::atol(step.substr(7, colon - 7).c_str());
            const std::string inner = colon == std::string::npos ? "" : step.substr(colon + 1);
            std::string one;
            if (inner.rfind("frame:", 0) == 0) {
                one = frame(inner.substr(6));
            } else if (inner.rfind("bytes:", 0) == 0) {
                one = fromHex(inner.substr(6));
            } else {
                std::fprintf(stderr, "cannot repeat %s\n", inner.c_str());
                return 2;
            }
            std::string all;
            all.reserve(one.size() * static_cast<size_t>(times > 0 ? times : 0));
            for (long n = 0; n < times; ++n) {
                all += one;
            }
            if (!sendAll(fd, all)) {
                std::printf("send failed\n");
            }
        } else if (step.rfind("frame:", 0) == 0) {
            if (!sendAll(fd, frame(step.substr(6)))) {
                std::printf("send failed\n");
            }
        } else if (step.rfind("bytes:", 0) == 0) {
            if (!sendAll(fd, fromHex(step.substr(6)))) {
                std::printf("send failed\n");
            }
        } else if (step == "word") {
            readWord(fd);
        } else if (step.rfind("sleep:", 0) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(step.c_str() + 6)));
        } else {
            std::fprintf(stderr, "unknown step %s\n", step.c_str());
            return 2;
        }
        std::fflush(stdout);
    }
    ::close(fd);
    return 0;
}
