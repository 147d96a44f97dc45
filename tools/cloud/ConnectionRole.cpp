#include "ConnectionRole.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>

std::string displayAddress(const std::string& address, bool forUrl) {
    const std::string mapped = "::ffff:";
    if (address.rfind(mapped, 0) == 0 && address.find('.') != std::string::npos) {
        return address.substr(mapped.size());
    }
    if (forUrl && address.find(':') != std::string::npos) {
        return "[" + address + "]";
    }
    return address;
}

std::string expandUrl(const std::string& text, const std::string& host,
                      const Endpoints& endpoints) {
    const std::pair<std::string, std::string> fields[] = {
        {"{host}", host},
        {"{http_port}", std::to_string(endpoints.httpPort)},
        {"{https_port}", std::to_string(endpoints.httpsPort ? endpoints.httpsPort : 443)},
    };
    std::string result = text;
    for (const auto& field : fields) {
        for (size_t at = result.find(field.first); at != std::string::npos;
             at = result.find(field.first, at + field.second.size())) {
            result.replace(at, field.first.size(), field.second);
        }
    }
    return result;
}

std::string hostNameOf(const std::string& hostHeader) {
    std::string host;
    if (!hostHeader.empty() && hostHeader[0] == '[') {
        const size_t close = hostHeader.find(']');
        host = close == std::string::npos ? std::string() : hostHeader.substr(1, close - 1);
    } else {
        host = hostHeader.substr(0, hostHeader.find(':'));
    }
    const bool plain = std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
    });
    return plain ? host : std::string();
}

std::string ConnectionRole::reply(const std::string& serverAddress,
                                  const std::string& callerAddress) const {
    std::string host =
        displayAddress(serverAddress.empty() ? mEndpoints.bindAddress : serverAddress, true);
    // The client reads these keys in this order and stops at an empty value,
    // so an unset fallback is left out rather than sent empty.
    std::string body = "ZORVANE_VERSION, " + mData.version + "\n";
    body += "FILTER, " + expandUrl(mData.filterUrl, host, mEndpoints) + "\n";
    body += "AUTH, " + expandUrl(mData.authUrl, host, mEndpoints) + "\n";
    if (!mData.fallbackFilterUrl.empty()) {
        body += "FILTER1, " + expandUrl(mData.fallbackFilterUrl, host, mEndpoints) + "\n";
    }
    body += "PUBLICIP, " + displayAddress(callerAddress, false) + "\n";
    return body;
}

void ConnectionRole::addRoutes(httplib::Server& server, Listener) {
    server.Get("/cgi-bin/connection", [this](const httplib::Request& request,
                                             httplib::Response& response) {
        // The name the client used, so that its TLS library can match the
        // certificate by name (some match no address); else the address.
        std::string host = hostNameOf(request.get_header_value("Host"));
        if (host.empty()) {
            host = request.local_addr;
        }
        response.set_content(reply(host, request.remote_addr), "text/plain");
    });
}
