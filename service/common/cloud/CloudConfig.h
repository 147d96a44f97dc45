#pragma once

#include "cloud/HttpTransfer.h"
#include "base/String.h"

// Where the cloud is and how to talk to it. Compiled-in defaults (CMake
// options ZORVANE_CONNECTION_URL and ZORVANE_CONNECTION_URL_FALLBACK), then
// the file "zorvane_cloud.conf" in the program-data folder, then the
// environment (ZORVANE_CONNECTION_URL, ZORVANE_CONNECTION_URL_FALLBACK,
// ZORVANE_CA_FILE, ZORVANE_CONNECT_TIMEOUT_MS, ZORVANE_TIMEOUT_MS); later
// sources win. File lines are "key=value": connection_url,
// connection_url_fallback, ca_file, connect_timeout_ms, timeout_ms.
struct CloudConfig {
    String connectionUrl;
    String connectionFallbackUrl;
    HttpTransfer::Options transfer;

    // Reads the sources above; unknown keys and bad numbers are logged and
    // skipped.
    static CloudConfig load(const String& programDataDir);
    // Makes `config` the one in force (also for new HTTP transfers).
    static void install(const CloudConfig& config);
    static CloudConfig current();
};
