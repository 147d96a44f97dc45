#include "settings/FileStore.h"

#include <cstdlib>
#include <exception>

#include "port/FileSystem.h"
#include "base/Logger.h"

namespace {

std::ios_base::openmode streamMode(int mode) {
    using std::ios;
    switch (mode) {
        case ZORVANE_FILE_READ:
            return ios::binary | ios::in;
        case ZORVANE_FILE_WRITE:
            return ios::binary | ios::out;
        case ZORVANE_FILE_APPEND:
            return ios::binary | ios::app | ios::out | ios::in;
        case ZORVANE_FILE_TRUNCATE:
            return ios::binary | ios::trunc | ios::in | ios::out;
        case ZORVANE_FILE_READ_WRITE:
        default:
            return ios::binary | ios::in | ios::out;
    }
}

}  // namespace

FileStore::FileStore(const String& path, Access access) : Store(path), mAccess(access) {}

FileStore::~FileStore() = default;

FileSystem::Protection FileStore::protection() const {
    return mAccess == PRIVATE ? FileSystem::Protection::PRIVATE : FileSystem::Protection::SHARED;
}

void FileStore::open(int mode) {
    if (fStream.is_open()) {
        return;  // the earlier mode stays in force
    }
    mWriteFailed = false;
    std::ios_base::openmode flags = streamMode(mode);
    if (mode == ZORVANE_FILE_WRITE) {
        openReplacement(flags);
        return;
    }
    // A store that only reads leaves an existing file as it is; every other
    // mode writes, so the file must be the service's own first (a link or a
    // file planted by someone else is replaced, never written through).
    bool prepared = false;
    if (mode != ZORVANE_FILE_READ || FileSystem::isLink(mPath)) {
        if (!FileSystem::prepareFile(mPath, protection())) {
            logOpenFailed();
            return;
        }
        prepared = true;
    }
    fStream.open(mPath, flags);
    fStream.clear();
    if (fStream.is_open() || prepared) {
        if (!fStream.is_open()) {
            logOpenFailed();
        }
        return;
    }
    // A missing file opened for reading: create it empty, then open it.
    if (!FileSystem::prepareFile(mPath, protection())) {
        logOpenFailed();
        return;
    }
    fStream.open(mPath, flags);
    fStream.clear();
    if (!fStream.is_open()) {
        logOpenFailed();
    }
}

void FileStore::logOpenFailed() {
    Logger::instance()->out(LOGLEVEL_ERROR, "FileStore::open is_open failed %d\n",
                            FileSystem::lastError());
    fStream.clear();
    mWriteFailed = true;  // whatever is written until close goes nowhere
}

void FileStore::openReplacement(std::ios_base::openmode flags) {
    // A whole new content goes to a side file that replaces the old one on
    // close, so a crash or a full disk never leaves half a file behind.
    String sideFile(mPath + ".new");
    if (!FileSystem::prepareFile(sideFile, protection())) {
        logOpenFailed();
        return;
    }
    fStream.open(sideFile, flags);
    fStream.clear();
    if (!fStream.is_open()) {
        logOpenFailed();
        return;
    }
    mReplacement = sideFile;
}

int FileStore::read(char*& buffer, unsigned int length) {
    if (!fStream.is_open()) {
        Logger::instance()->out(LOGLEVEL_ERROR, "read fStream.is_open failed\n");
        return 0;
    }
    try {
        // Read errors of the file raise instead of passing as a short read.
        fStream.clear();
        fStream.exceptions(std::ios::badbit);
        if (length == 0) {
            std::streampos here = fStream.tellg();
            fStream.seekg(0, std::ios::end);
            std::streampos end = fStream.tellg();
            fStream.seekg(here);
            length = end > 0 ? static_cast<unsigned int>(end) : 0;
            if (length == 0) {
                fStream.exceptions(std::ios::goodbit);
                fStream.clear();
                return 0;
            }
        }
        // Zeroed, so bytes past a short read are never stale heap contents.
        buffer = new char[length + 1]();
        fStream.clear();
        fStream.read(buffer, length);
        buffer[length] = '\0';
        fStream.exceptions(std::ios::goodbit);
        fStream.clear();
    } catch (const std::exception&) {
        Logger::instance()->out(LOGLEVEL_ERROR, "file read exception thrown\n");
        std::exit(0);
    }
    return static_cast<int>(length);
}

int FileStore::write(const char* buffer, unsigned int length) {
    fStream.clear();
    fStream.write(buffer, length);
    if (fStream.fail()) {
        mWriteFailed = true;
    }
    fStream.clear();
    return static_cast<int>(length);
}

bool FileStore::close() {
    fStream.clear();
    const bool wasOpen = fStream.is_open();
    try {
        if (fStream.is_open()) {
            fStream.close();
        }
    } catch (const std::exception&) {
        Logger::instance()->out(LOGLEVEL_ERROR, "exception at fclose\n");
        mWriteFailed = true;
    }
    if (fStream.fail()) {
        mWriteFailed = true;  // the final flush failed
    }
    fStream.clear();
    bool kept = wasOpen && !mWriteFailed;
    if (!mReplacement.empty()) {
        if (mWriteFailed) {
            Logger::instance()->out(LOGLEVEL_ERROR, "FileStore::close write failed, %s kept\n",
                                    mPath.c_str());
            FileSystem::deleteFile(mReplacement);
        } else if (!FileSystem::replaceFile(mReplacement, mPath)) {
            Logger::instance()->out(LOGLEVEL_ERROR, "FileStore::close replace failed %d\n",
                                    FileSystem::lastError());
            FileSystem::deleteFile(mReplacement);
            kept = false;
        }
        mReplacement.clear();
    }
    mWriteFailed = false;
    return kept;
}
