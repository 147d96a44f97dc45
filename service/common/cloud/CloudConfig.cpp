#include "cloud/CloudConfig.h"

#include <cctype>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>

#include "base/Logger.h"
#include "port/FileSystem.h"

// The build gives both (service/CMakeLists.txt), https by default.
#if !defined(ZORVANE_CONNECTION_URL) || !defined(ZORVANE_CONNECTION_URL_FALLBACK)
#error "ZORVANE_CONNECTION_URL and ZORVANE_CONNECTION_URL_FALLBACK must be defined"
#endif

namespace {

std::mutex gLock;  // guards gCurrent
CloudConfig gCurrent{ZORVANE_CONNECTION_URL, ZORVANE_CONNECTION_URL_FALLBACK, {}};

// The scheme is case-insensitive to libcurl, and a URL without one is sent
// as plain HTTP.
bool isHttps(const String& url) {
    const char scheme[] = "https://";
    for (size_t i = 0; i + 1 < sizeof(scheme); ++i) {
        if (i >= url.size() || std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) {
            return false;
        }
    }
    return true;
}

bool parseMs(const String& text, long& value) {
    char* end = nullptr;
    long parsed = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed <= 0) {
        return false;
    }
    value = parsed;
    return true;
}

void apply(CloudConfig& config, const String& key, const String& value, const char* source) {
    bool ok = true;
    if (key == "connection_url") {
        config.connectionUrl = value;
    } else if (key == "connection_url_fallback") {
        config.connectionFallbackUrl = value;
    } else if (key == "ca_file") {
        config.transfer.caFile = value;
    } else if (key == "connect_timeout_ms") {
        ok = parseMs(value, config.transfer.connectTimeoutMs);
    } else if (key == "timeout_ms") {
        ok = parseMs(value, config.transfer.totalTimeoutMs);
    } else {
        ok = false;
    }
    if (!ok) {
        Logger::instance()->out(LOGLEVEL_ERROR, "CloudConfig %s: ignored %s=%s\n", source,
                                key.c_str(), value.c_str());
    }
}

}  // namespace

CloudConfig CloudConfig::load(const String& programDataDir) {
    CloudConfig config{ZORVANE_CONNECTION_URL, ZORVANE_CONNECTION_URL_FALLBACK, {}};
    if (!programDataDir.empty()) {
        // Only a file no other local user could have made or changed points
        // the service at a server.
        const String path(programDataDir + "zorvane_cloud.conf");
        String text;
        String why;
        if (!FileSystem::readTrustedFile(path, text, why) && !why.empty()) {
            Logger::instance()->out(LOGLEVEL_ERROR, "CloudConfig %s ignored: %s\n", path.c_str(),
                                    why.c_str());
        }
        std::istringstream file(text);
        for (std::string raw; std::getline(file, raw);) {
            String line(raw);
            line.removeWhiteSpace();
            if (line.empty() || line[0] == '#' || !line.contains("=")) {
                continue;
            }
            String key = line.before("=");
            String value = line.after("=");
            key.removeWhiteSpace();
            value.removeWhiteSpace();
            apply(config, key, value, "zorvane_cloud.conf");
        }
    }
    const struct {
        const char* variable;
        const char* key;
    } environment[] = {{"ZORVANE_CONNECTION_URL", "connection_url"},
                       {"ZORVANE_CONNECTION_URL_FALLBACK", "connection_url_fallback"},
                       {"ZORVANE_CA_FILE", "ca_file"},
                       {"ZORVANE_CONNECT_TIMEOUT_MS", "connect_timeout_ms"},
                       {"ZORVANE_TIMEOUT_MS", "timeout_ms"}};
    for (const auto& entry : environment) {
        if (const char* value = std::getenv(entry.variable)) {
            apply(config, entry.key, value, entry.variable);
        }
    }
    return config;
}

void CloudConfig::install(const CloudConfig& config) {
    // Allowed when configured on purpose, but such a reply can be forged on
    // the way: say so once.
    for (const String& url : {config.connectionUrl, config.connectionFallbackUrl}) {
        if (!url.empty() && !isHttps(url)) {
            Logger::instance()->out(LOGLEVEL_WARN,
                                    "CloudConfig: connection URL %s is not https, its replies "
                                    "are not verified\n",
                                    url.c_str());
        }
    }
    {
        std::lock_guard<std::mutex> lock(gLock);
        gCurrent = config;
    }
    HttpTransfer::setDefaultOptions(config.transfer);
}

CloudConfig CloudConfig::current() {
    std::lock_guard<std::mutex> lock(gLock);
    return gCurrent;
}
