#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/String.h"

// One HTTP(S) exchange with the cloud over libcurl, owning its easy handle,
// header list and form. TLS 1.2 or newer with the peer verified (system
// store, or the configured CA file for a private cloud); connect and overall
// time-outs so a silent server cannot hold the caller.
class HttpTransfer {
public:
    struct Options {
        long connectTimeoutMs = 10000;
        long totalTimeoutMs = 60000;
        String caFile;  // empty: the system's trust store
        // A body kept in memory (no receiver) longer than this ends the
        // transfer: a cloud reply is a few lines, and a runaway or hostile
        // server must not make the service buffer without end.
        size_t maxBodyBytes = size_t(1) << 20;
    };
    // The options every new transfer starts with.
    static void setDefaultOptions(const Options& options);
    static Options defaultOptions();

    HttpTransfer();
    ~HttpTransfer();
    HttpTransfer(const HttpTransfer&) = delete;
    HttpTransfer& operator=(const HttpTransfer&) = delete;

    // False when libcurl gave no handle (logged).
    bool valid() const { return mCurl != nullptr; }

    void setTotalTimeoutMs(long ms) { mOptions.totalTimeoutMs = ms; }
    void setMaxBodyBytes(size_t bytes) { mOptions.maxBodyBytes = bytes; }
    // A "Name: value" request header.
    void addHeader(const String& line);
    // A multipart form field (the request becomes a POST).
    void addFormField(const String& name, const String& value);
    // A form part with its own content type; libcurl's form error, 0 when
    // the part was added.
    int addFormPart(const String& name, const String& value, const String& contentType);
    // Received bytes go here instead of body(); returning false aborts.
    void setReceiver(std::function<bool(const char* data, size_t length)> receiver);
    // Called while the transfer runs; returning false aborts it.
    void setProgress(std::function<bool(int64_t received, int64_t total)> progress);

    // Runs the exchange; false when it did not complete (logged with
    // libcurl's reason). An HTTP error status still completes.
    bool perform(const String& url);

    // The HTTP status of the completed exchange; false when unreadable.
    bool responseCode(long& code);
    const std::string& body() const { return mBody; }
    const std::string& headers() const { return mHeaders; }
    // libcurl's text for the last failure.
    String error() const { return mError; }
    // Whether the last exchange was ended because its body passed the bound.
    bool bodyTooLarge() const { return mBodyTooLarge; }

private:
    friend struct HttpTransferCallbacks;  // libcurl's callbacks

    void* mCurl = nullptr;             // CURL*
    void* mHeaderList = nullptr;       // curl_slist*
    void* mForm = nullptr;             // curl_httppost*
    void* mFormLast = nullptr;
    Options mOptions;
    std::function<bool(const char*, size_t)> mReceiver;
    std::function<bool(int64_t, int64_t)> mProgress;
    std::string mBody;
    std::string mHeaders;
    String mError;
    bool mBodyTooLarge = false;
};
