// zorvane_test_site ADDRESS PORT LOG: a web site for the network tests. It
// answers every request with 200 and "site page <target>", keeps
// connections alive, and appends one line per request to LOG: the caller's
// address and the request's first line as the bytes arrived (anything not
// printable as \xNN, so a tag in front of a request shows).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

const char* gLog = nullptr;

void logLine(const std::string& line) {
    const int fd = open(gLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, line.data(), line.size());
        close(fd);
    }
}

std::string escaped(const std::string& bytes) {
    std::string out;
    for (const unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

void serve(int fd, std::string caller) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        const size_t end = pending.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (pending.size() > 65536) {
                break;
            }
            const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) {
                break;
            }
            pending.append(buffer, static_cast<size_t>(n));
            continue;
        }
        const std::string head = pending.substr(0, end);
        pending.erase(0, end + 4);
        const std::string firstLine = head.substr(0, head.find("\r\n"));
        logLine(caller + " " + escaped(firstLine) + "\n");
        const size_t targetStart = firstLine.find(' ');
        const size_t targetEnd = firstLine.find(' ', targetStart + 1);
        const std::string target =
            targetStart == std::string::npos
                ? "?"
                : firstLine.substr(targetStart + 1, targetEnd - targetStart - 1);
        const std::string body = "site page " + target + "\n";
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n\r\n" + body;
        if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(reply.size())) {
            break;
        }
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: zorvane_test_site ADDRESS PORT LOG\n");
        return 2;
    }
    gLog = argv[3];
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 16) != 0) {
        perror("zorvane_test_site");
        return 1;
    }
    logLine("listening\n");
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof(text));
        std::thread(serve, fd, std::string(text)).detach();
    }
}
