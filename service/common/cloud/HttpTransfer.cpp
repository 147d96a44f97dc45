#include "cloud/HttpTransfer.h"

#include <curl/curl.h>

#include <mutex>

#include "port/FileSystem.h"
#include "base/Logger.h"

namespace {

std::mutex gOptionsLock;  // guards gOptions
HttpTransfer::Options gOptions;

CURL* handle(void* curl) { return static_cast<CURL*>(curl); }

}  // namespace

void HttpTransfer::setDefaultOptions(const Options& options) {
    std::lock_guard<std::mutex> lock(gOptionsLock);
    gOptions = options;
}

HttpTransfer::Options HttpTransfer::defaultOptions() {
    std::lock_guard<std::mutex> lock(gOptionsLock);
    return gOptions;
}

HttpTransfer::HttpTransfer() : mOptions(defaultOptions()) {
    // libcurl's global set-up is not thread-safe: once, before any handle.
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_ALL); });
    mCurl = curl_easy_init();
    if (!mCurl) {
        Logger::instance()->out(LOGLEVEL_ERROR, "curl_easy_init failed %d\n",
                                FileSystem::lastError());
    }
}

HttpTransfer::~HttpTransfer() {
    if (mCurl) {
        curl_easy_cleanup(handle(mCurl));
    }
    if (mHeaderList) {
        curl_slist_free_all(static_cast<curl_slist*>(mHeaderList));
    }
    if (mForm) {
        curl_formfree(static_cast<curl_httppost*>(mForm));
    }
}

void HttpTransfer::addHeader(const String& line) {
    mHeaderList = curl_slist_append(static_cast<curl_slist*>(mHeaderList), line.c_str());
}

void HttpTransfer::addFormField(const String& name, const String& value) {
    auto* first = static_cast<curl_httppost*>(mForm);
    auto* last = static_cast<curl_httppost*>(mFormLast);
    curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_COPYCONTENTS,
                 value.c_str(), CURLFORM_CONTENTSLENGTH, static_cast<long>(value.size()),
                 CURLFORM_END);
    mForm = first;
    mFormLast = last;
}

int HttpTransfer::addFormPart(const String& name, const String& value,
                              const String& contentType) {
    auto* first = static_cast<curl_httppost*>(mForm);
    auto* last = static_cast<curl_httppost*>(mFormLast);
    CURLFORMcode result =
        curl_formadd(&first, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_COPYCONTENTS,
                     value.c_str(), CURLFORM_CONTENTSLENGTH, static_cast<long>(value.size()),
                     CURLFORM_CONTENTTYPE, contentType.c_str(), CURLFORM_END);
    mForm = first;
    mFormLast = last;
    return static_cast<int>(result);
}

void HttpTransfer::setReceiver(std::function<bool(const char*, size_t)> receiver) {
    mReceiver = std::move(receiver);
}

void HttpTransfer::setProgress(std::function<bool(int64_t, int64_t)> progress) {
    mProgress = std::move(progress);
}

struct HttpTransferCallbacks {
    static size_t onBody(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<HttpTransfer*>(self);
        const size_t length = size * count;
        if (transfer->mReceiver) {
            return transfer->mReceiver(data, length) ? length : 0;
        }
        if (length > transfer->mOptions.maxBodyBytes - transfer->mBody.size()) {
            transfer->mBodyTooLarge = true;
            return 0;  // ends the transfer with a write error
        }
        transfer->mBody.append(data, length);
        return length;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        static_cast<HttpTransfer*>(self)->mHeaders.append(data, size * count);
        return size * count;
    }

    static int onProgress(void* self, curl_off_t totalDown, curl_off_t down, curl_off_t,
                          curl_off_t) {
        auto* transfer = static_cast<HttpTransfer*>(self);
        return transfer->mProgress && !transfer->mProgress(down, totalDown) ? 1 : 0;
    }
};

bool HttpTransfer::perform(const String& url) {
    Logger* log = Logger::instance();
    if (!mCurl) {
        return false;
    }
    CURL* curl = handle(mCurl);
    mBody.clear();
    mHeaders.clear();
    mBodyTooLarge = false;
    CURLcode set = CURLE_OK;
    auto option = [&](CURLcode result) {
        if (set == CURLE_OK) {
            set = result;
        }
    };
    option(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
    option(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    option(curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
    option(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L));
    option(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L));
    if (!mOptions.caFile.empty()) {
        option(curl_easy_setopt(curl, CURLOPT_CAINFO, mOptions.caFile.c_str()));
    }
    option(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, mOptions.connectTimeoutMs));
    option(curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, mOptions.totalTimeoutMs));
    option(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HttpTransferCallbacks::onBody));
    option(curl_easy_setopt(curl, CURLOPT_WRITEDATA, this));
    option(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &HttpTransferCallbacks::onHeader));
    option(curl_easy_setopt(curl, CURLOPT_HEADERDATA, this));
    if (!mReceiver) {
        // A declared length over the bound is refused before any body arrives.
        option(curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE,
                                static_cast<curl_off_t>(mOptions.maxBodyBytes)));
    }
    if (mHeaderList) {
        option(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(mHeaderList)));
    }
    if (mForm) {
        option(curl_easy_setopt(curl, CURLOPT_HTTPPOST, static_cast<curl_httppost*>(mForm)));
    }
    if (mProgress) {
        option(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &HttpTransferCallbacks::onProgress));
        option(curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this));
        option(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
    }
    if (set != CURLE_OK) {
        mError = curl_easy_strerror(set);
        log->out(LOGLEVEL_ERROR, "curl_easy_setopt failed %s\n", mError.c_str());
        return false;
    }
    log->out(LOGLEVEL_INFO, "curl_easy_setopt success\n");

    CURLcode result = curl_easy_perform(curl);
    if (result == CURLE_FILESIZE_EXCEEDED) {
        mBodyTooLarge = true;
    }
    if (result != CURLE_OK) {
        mError = curl_easy_strerror(result);
        log->out(LOGLEVEL_ERROR, "curl_easy_perform failed %s\n", mError.c_str());
        if (mBodyTooLarge) {
            mBody.clear();
            log->out(LOGLEVEL_ERROR, "HttpTransfer reply refused: body over %lu bytes\n",
                     static_cast<unsigned long>(mOptions.maxBodyBytes));
        }
        return false;
    }
    log->out(LOGLEVEL_INFO, "curl_easy_perform success\n");
    return true;
}

bool HttpTransfer::responseCode(long& code) {
    if (!mCurl) {
        return false;
    }
    CURLcode result = curl_easy_getinfo(handle(mCurl), CURLINFO_RESPONSE_CODE, &code);
    if (result != CURLE_OK) {
        mError = curl_easy_strerror(result);
        Logger::instance()->out(LOGLEVEL_ERROR, "curl_easy_getinfo failed %s\n", mError.c_str());
        return false;
    }
    Logger::instance()->out(LOGLEVEL_INFO, "curl_easy_getinfo success %d\n", static_cast<int>(code));
    return true;
}
