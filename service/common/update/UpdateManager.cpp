#include "update/UpdateManager.h"

#include <openssl/evp.h>

#include <cctype>
#include <memory>

#include "base/Logger.h"
#include "cloud/CloudConfig.h"
#include "cloud/HttpTransfer.h"
#include "commands/Command.h"
#include "notifier/Notifier.h"
#include "port/FileSystem.h"
#include "settings/Settings.h"
#include "settings/Store.h"

namespace {

// A download may take long, but a server that stalls must not hold the
// notifier channel for ever.
constexpr long kDownloadTimeoutMs = 30L * 60 * 1000;
constexpr uint32_t kProgressTotal = 8000;
constexpr const char* kDigestKey = "Sha256:";

struct DigestContext {
    DigestContext() : ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    }
    void add(const char* data, size_t length) {
        ok = ok && EVP_DigestUpdate(ctx.get(), data, length) == 1;
    }
    // Lowercase hex; empty when the digest could not be made.
    String hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &size) != 1) {
            return String();
        }
        static const char kHex[] = "0123456789abcdef";
        String text;
        for (unsigned int i = 0; i < size; ++i) {
            text.push_back(kHex[digest[i] >> 4]);
            text.push_back(kHex[digest[i] & 15]);
        }
        return text;
    }
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx;
    bool ok = false;
};

String trimmed(const String& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) {
        ++first;
    }
    while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) {
        --last;
    }
    return String(text.substr(first, last - first));
}

String lowered(String text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool isPlainFileName(const String& name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of("/\\:") == String::npos &&
           name.find('\0') == String::npos;
}

}  // namespace

UpdateManager* UpdateManager::instance(Store* store, const String& downloadDir) {
    static UpdateManager* singleton = new UpdateManager(store, downloadDir);
    return singleton;
}

UpdateManager::UpdateManager(Store* store, const String& downloadDir)
    : mpUpdateFileStore(store), mDownloadDirPath(downloadDir) {}

String UpdateManager::metadataUrl(const String& connectionUrl, const String& platform) {
    const size_t scheme = connectionUrl.find("://");
    if (scheme == String::npos || scheme == 0) {
        return String();
    }
    const size_t pathStart = connectionUrl.find_first_of("/?#", scheme + 3);
    const String server = connectionUrl.substr(0, pathStart);
    if (server.size() == scheme + 3) {
        return String();
    }
    return server + "/windows7/" + platform + "/" + "UpdateInfo.meta";
}

String UpdateManager::fileNameOf(const String& url) {
    const size_t slash = url.rfind('/');
    const String name = slash == String::npos ? url : String(url.substr(slash + 1));
    return isPlainFileName(name) ? name : String();
}

void UpdateManager::parseUpdateMetaData(const String& body) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "parseUpdateMetaData %s\n", body.c_str());
    // Without one whole line there is nothing to read, and nothing to drop.
    if (body.find("\r\n") == String::npos) {
        return;
    }
    mNewVersion.clear();
    mNewVersionInfo.clear();
    mDownloadList.clear();
    mDigests.clear();
    mSetupExePath = "setup.exe";

    size_t start = 0;
    for (size_t end = body.find("\r\n"); end != String::npos;
         start = end + 2, end = body.find("\r\n", start)) {
        const String line = body.substr(start, end - start);
        if (line.empty()) {
            continue;
        }
        auto valueOf = [&line](const char* key, String& value) {
            const size_t at = line.find(key);
            if (at == String::npos) {
                return false;
            }
            value = line.substr(at + std::char_traits<char>::length(key));
            return true;
        };
        String value;
        if (valueOf("Version:", value)) {
            mNewVersion = value;
            log->out(LOGLEVEL_INFO, "Version %s\n", value.c_str());
        } else if (valueOf("VersionInfo:", value)) {
            mNewVersionInfo = value;
            log->out(LOGLEVEL_INFO, "VersionInfo %s\n", value.c_str());
        } else if (valueOf("DownloadUrl:", value)) {
            log->out(LOGLEVEL_INFO, "DownloadUrl %s\n", value.c_str());
            int key = 1;
            size_t pieceStart = 0;
            for (size_t comma = value.find(','); ; comma = value.find(',', pieceStart)) {
                mDownloadList[key++] = value.substr(pieceStart, comma - pieceStart);
                if (comma == String::npos) {
                    break;
                }
                pieceStart = comma + 1;
            }
        } else if (valueOf("SetupFile:", value)) {
            log->out(LOGLEVEL_INFO, "SetupFile %s\n", value.c_str());
            // The installer path is handed to the notifier: never outside the folder.
            if (isPlainFileName(value)) {
                mSetupExePath = value;
            } else {
                log->out(LOGLEVEL_ERROR, "SetupFile refused, not a file name: %s\n", value.c_str());
            }
        } else if (valueOf(kDigestKey, value)) {
            // "<file name> <hex SHA-256>"
            const String text = trimmed(value);
            const size_t blank = text.find_last_of(" \t");
            if (blank == String::npos) {
                log->out(LOGLEVEL_ERROR, "Sha256 line without a file name: %s\n", value.c_str());
                continue;
            }
            const String name = trimmed(text.substr(0, blank));
            mDigests[name] = lowered(text.substr(blank + 1));
            log->out(LOGLEVEL_INFO, "Sha256 %s %s\n", name.c_str(), mDigests[name].c_str());
        }
    }
}

int UpdateManager::getUpdateStatus() {
    Logger* log = Logger::instance();
    Settings* settings = Settings::instance();
    const String url = metadataUrl(CloudConfig::current().connectionUrl, settings->getPlatform());
    log->out(LOGLEVEL_INFO, "getUpdateStatus url %s\n", url.c_str());
    if (url.empty()) {
        return ZORVANE_UPDATE_ERROR;
    }
    HttpTransfer transfer;
    if (!transfer.valid()) {
        return ZORVANE_UPDATE_ERROR;
    }
    long code = 0;
    if (!transfer.perform(url)) {
        log->out(LOGLEVEL_ERROR, "Error: %s\n", transfer.error().c_str());
        return ZORVANE_UPDATE_CURL_ERROR;
    }
    if (!transfer.responseCode(code) || code < 200 || code > 299) {
        log->out(LOGLEVEL_ERROR, "Error: HTTP status %ld\n", code);
        return ZORVANE_UPDATE_CURL_ERROR;
    }
    const String body = transfer.body();
    log->out(LOGLEVEL_INFO, "resFromFilter %s\n", body.c_str());
    if (body.empty()) {
        return ZORVANE_UPDATE_META_DATA_ERROR;
    }
    parseUpdateMetaData(body);
    return settings->getVersion() != mNewVersion ? ZORVANE_UPDATE_OLD_VERSION
                                                 : ZORVANE_UPDATE_LATEST_VERSION;
}

int UpdateManager::checkForUpdate(String& version, String& info, String& setupPath) {
    std::lock_guard<std::mutex> lock(mRunLock);
    return checkLocked(version, info, setupPath);
}

int UpdateManager::checkLocked(String& version, String& info, String& setupPath) {
    Logger* log = Logger::instance();
    const int status = getUpdateStatus();
    log->out(LOGLEVEL_INFO, "updateStatus %d\n", status);
    if (status == ZORVANE_UPDATE_OLD_VERSION) {
        version = mNewVersion;
        info = mNewVersionInfo;
        // No download folder: no installer to name (a bare name would be
        // looked up wherever the notifier runs).
        setupPath = mDownloadDirPath.empty() ? String() : String(mDownloadDirPath + mSetupExePath);
        log->out(LOGLEVEL_INFO, "setupExe %s\n", setupPath.c_str());
    } else if (status == ZORVANE_UPDATE_LATEST_VERSION) {
        version = mNewVersion;
    }
    return status;
}

int UpdateManager::doUpdate() {
    std::lock_guard<std::mutex> lock(mRunLock);
    Logger* log = Logger::instance();
    if (mDownloadList.empty()) {
        return ZORVANE_UPDATE_ERROR;
    }
    mFirstChunk = true;
    mFinishedKilobytes = 0;
    mProgressCalls = 0;
    int status = ZORVANE_UPDATE_ERROR;
    for (const auto& entry : mDownloadList) {
        const String& url = entry.second;
        const String name = fileNameOf(url);
        const String target = name.empty() ? String() : String(mDownloadDirPath + name);
        log->out(LOGLEVEL_INFO, "UpdateManager::doUpdate url %s filePath %s\n", url.c_str(),
                 target.c_str());
        status = downloadUpdateFile(url, target);
        if (status == ZORVANE_UPDATE_SUCCESS) {
            log->out(LOGLEVEL_ERROR, "download complete %s %s\n", url.c_str(), target.c_str());
        } else {
            log->out(LOGLEVEL_ERROR, "download failed %s %s\n", url.c_str(), target.c_str());
            break;
        }
    }
    return status;
}

int UpdateManager::downloadUpdateFile(const String& url, const String& target) {
    Logger* log = Logger::instance();
    log->out(LOGLEVEL_INFO, "downloadUpdate url %s file %s\n", url.c_str(), target.c_str());
    if (url.empty() || target.empty() || mDownloadDirPath.empty()) {
        return ZORVANE_UPDATE_ERROR;
    }
    // Every user may read (and so run) the installer; only the service writes
    // it, and whatever stood under the name before is replaced, not reused.
    FILE* file = FileSystem::openForWriting(target, FileSystem::Protection::SHARED,
                                            FileSystem::Start::EMPTY);
    if (!file) {
        log->out(LOGLEVEL_ERROR, "cannot create %s %d\n", target.c_str(), FileSystem::lastError());
        return ZORVANE_UPDATE_ERROR;
    }
    HttpTransfer transfer;
    if (!transfer.valid()) {
        std::fclose(file);
        FileSystem::deleteFile(target);
        return ZORVANE_UPDATE_CURL_ERROR;
    }
    transfer.setTotalTimeoutMs(kDownloadTimeoutMs);
    DigestContext digest;
    bool refusedStatus = false;
    transfer.setReceiver([&](const char* data, size_t length) {
        long code = 0;
        if (mFirstChunk || mChunkCount == 0) {
            // An error page is not the file.
            if (!transfer.responseCode(code) || code < 200 || code > 299) {
                refusedStatus = true;
                log->out(LOGLEVEL_ERROR, "Error: HTTP status %ld\n", code);
                return false;
            }
        }
        if (mFirstChunk) {
            sendDoUpdateAnswer(ZORVANE_UPDATE_SUCCESS);
            mFirstChunk = false;
            mChunkCount = 0;
        }
        const size_t written = std::fwrite(data, 1, length, file);
        digest.add(data, written);
        ++mChunkCount;
        log->out(LOGLEVEL_INFO, "curl_download_update %d %d\n", mChunkCount,
                 static_cast<int>(written));
        return written == length;
    });
    long kilobytes = 0;
    transfer.setProgress([&](int64_t received, int64_t total) {
        kilobytes = static_cast<long>(received / 1000) + mFinishedKilobytes;
        log->out(LOGLEVEL_INFO, "download_progress_func %ld %ld %ld %ld\n",
                 static_cast<long>(total), static_cast<long>(received), 0L, 0L);
        log->out(LOGLEVEL_INFO, "bytesDownloaded %d\n", static_cast<int>(kilobytes));
        // Progress follows the early 769 answer: calls made while connecting,
        // before any data of this run, are not counted.
        if (mFirstChunk) {
            return true;
        }
        if (mProgressCalls++ > 5) {
            sendProgressAnswer(static_cast<uint32_t>(kilobytes));
            mProgressCalls = 0;
        }
        return true;
    });
    mChunkCount = 0;
    const bool done = transfer.perform(url);
    long code = 0;
    const bool closed = std::fclose(file) == 0;
    if (!done || refusedStatus || !closed) {
        if (!done) {
            log->out(LOGLEVEL_ERROR, "Error: %s\n", transfer.error().c_str());
        }
        FileSystem::deleteFile(target);
        return ZORVANE_UPDATE_CURL_ERROR;
    }
    // An empty reply never reaches the receiver's check.
    if (!transfer.responseCode(code) || code < 200 || code > 299) {
        log->out(LOGLEVEL_ERROR, "Error: HTTP status %ld\n", code);
        FileSystem::deleteFile(target);
        return ZORVANE_UPDATE_CURL_ERROR;
    }
    const auto expected = mDigests.find(fileNameOf(url));
    if (expected != mDigests.end()) {
        const String actual = digest.hex();
        if (actual != expected->second) {
            log->out(LOGLEVEL_ERROR, "download digest mismatch %s expected %s got %s\n",
                     target.c_str(), expected->second.c_str(), actual.c_str());
            FileSystem::deleteFile(target);
            return ZORVANE_UPDATE_DOWNLOAD_ERROR;
        }
    }
    mFinishedKilobytes = kilobytes;
    return ZORVANE_UPDATE_SUCCESS;
}

void UpdateManager::sendDoUpdateAnswer(uint32_t status) {
    Notifier* notifier = Notifier::instance();
    if (!notifier) {
        return;
    }
    auto response = std::make_unique<CommandResponse>();
    response->setArgument(1, ArgumentBlock::fromUint32(NOTIFIER_READ_DO_UPDATE_CMD));
    response->setArgument(2, ArgumentBlock::fromUint32(status));
    response->setStatus(COMMAND_SUCCESS);
    notifier->sendCommandResponse(response);
}

void UpdateManager::sendProgressAnswer(uint32_t kilobytes) {
    Notifier* notifier = Notifier::instance();
    if (!notifier) {
        return;
    }
    auto response = std::make_unique<CommandResponse>();
    response->setArgument(1, ArgumentBlock::fromUint32(NOTIFIER_READ_DOWNLOAD_INPROGRESS));
    response->setArgument(2, ArgumentBlock::fromUint32(kilobytes));
    response->setArgument(3, ArgumentBlock::fromUint32(kProgressTotal));
    response->setStatus(COMMAND_SUCCESS);
    notifier->sendCommandResponse(response);
}

int UpdateManager::writeToFile(const char* bytes, int length) {
    if (!mpUpdateFileStore || !bytes || length < 0) {
        return 0;
    }
    mpUpdateFileStore->open(ZORVANE_FILE_APPEND);
    mpUpdateFileStore->write(bytes, static_cast<unsigned int>(length));
    return mpUpdateFileStore->close() ? 1 : 0;
}
