#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>

#include "port/Network.h"

namespace Network {

ResolveResult resolveIPv4(const String& host, uint32_t& address, int& systemError, int& result) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    result = getaddrinfo(host.c_str(), nullptr, &hints, &list);
    if (result != 0) {
        systemError = errno;
        return RESOLVE_FAILED;
    }
    ResolveResult outcome = RESOLVE_NO_IPV4;
    for (addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr) {
            address = ntohl(reinterpret_cast<sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
            outcome = RESOLVE_OK;
            break;
        }
    }
    freeaddrinfo(list);
    return outcome;
}

}  // namespace Network
