#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>

#include "base/String.h"

class Store;

// Update status values; the same numbers travel in the notifier answers.
enum E_UpdateStatus {
    ZORVANE_UPDATE_ERROR = 0,          // no transfer could be made, or nothing to download
    ZORVANE_UPDATE_CURL_ERROR = 1,     // a transfer failed
    ZORVANE_UPDATE_META_DATA_ERROR = 2,  // the metadata was empty
    ZORVANE_UPDATE_DOWNLOAD_ERROR = 3,   // a file arrived but its digest differs
    ZORVANE_UPDATE_LATEST_VERSION = 4,
    ZORVANE_UPDATE_OLD_VERSION = 5,    // the published version differs: an update is available
    ZORVANE_UPDATE_SUCCESS = 6,
};

// Finds out whether another build is published and downloads its files into
// the download folder (a folder only the service can write); the notifier
// program starts the installer. Checks and downloads never overlap: the
// periodic check and the notifier's requests take mRunLock.
class UpdateManager {
public:
    // The first call creates the manager; later calls ignore their arguments.
    static UpdateManager* instance(Store* store = nullptr, const String& downloadDir = String());

    // `downloadDir` ends with the path separator.
    UpdateManager(Store* store, const String& downloadDir);
    UpdateManager(const UpdateManager&) = delete;
    UpdateManager& operator=(const UpdateManager&) = delete;
    virtual ~UpdateManager() = default;

    // Fetches and reads the metadata. Status 5: all three outputs set;
    // status 4: the version only.
    virtual int checkForUpdate(String& version, String& info, String& setupPath);
    // Downloads every listed file in order, stopping at the first failure;
    // the status of the last file tried (0 for an empty list).
    virtual int doUpdate();
    // Appends to the update store; the result of closing it.
    virtual int writeToFile(const char* bytes, int length);

    // Reads a metadata body. Every parse with at least one whole line starts
    // from nothing: values and download entries of an earlier parse are
    // dropped. A body without one changes nothing.
    void parseUpdateMetaData(const String& body);

    String getNewVersion() const { return mNewVersion; }
    String getNewVersionInfo() const { return mNewVersionInfo; }
    String getSetupExePath() const { return mSetupExePath; }
    const std::map<int, String>& getDownloadList() const { return mDownloadList; }
    // File name -> lowercase hex SHA-256, from the optional digest lines.
    const std::map<String, String>& getDigests() const { return mDigests; }

    // The metadata URL on the update server, which is the server of the
    // connection URL (same scheme, host and port); empty when that URL has
    // no host.
    static String metadataUrl(const String& connectionUrl, const String& platform);
    // The name a URL's file is saved under (the text after its last "/");
    // empty when that is no plain file name.
    static String fileNameOf(const String& url);

protected:
    virtual int getUpdateStatus();
    virtual int downloadUpdateFile(const String& url, const String& target);

private:
    // Called with mRunLock held.
    int checkLocked(String& version, String& info, String& setupPath);
    // The download state's answers on the notifier command channel.
    void sendDoUpdateAnswer(uint32_t status);
    void sendProgressAnswer(uint32_t kilobytes);

    std::mutex mRunLock;
    Store* mpUpdateFileStore;
    String mNewVersion;
    String mNewVersionInfo;
    std::map<int, String> mDownloadList;
    std::map<String, String> mDigests;
    String mDownloadDirPath;
    String mSetupExePath = "setup.exe";

    // The state of one download run.
    bool mFirstChunk = true;
    long mFinishedKilobytes = 0;
    int mChunkCount = 0;
    int mProgressCalls = 0;
};
