#pragma once

#include <fstream>

#include "port/FileSystem.h"
#include "settings/Store.h"

// A store kept in one file, through a binary file stream. Constructing it
// does not open the file.
class FileStore : public Store {
public:
    enum Access { SHARED, PRIVATE };

    // A PRIVATE store's file is readable by its owner (on Windows: SYSTEM and
    // Administrators) only; it holds secrets such as the password digest. A
    // SHARED one's every local user may read. Either way the file is the
    // service's own: a link or another user's file in its place is replaced.
    explicit FileStore(const String& path, Access access = SHARED);
    ~FileStore() override;

    int read(char*& buffer, unsigned int length) override;
    int write(const char* buffer, unsigned int length) override;
    // Creates a missing file (empty) rather than failing on it. An already
    // open store keeps the mode it was opened with.
    void open(int mode) override;
    // Writes of a ZORVANE_FILE_WRITE store reach the file only here, whole;
    // false (the former file kept) when any of them could not be made.
    bool close() override;

private:
    void openReplacement(std::ios_base::openmode flags);
    void logOpenFailed();
    FileSystem::Protection protection() const;

    std::fstream fStream;
    String mReplacement;  // side file of an open ZORVANE_FILE_WRITE store
    bool mWriteFailed = false;  // since open: a write, or the open itself, failed
    Access mAccess;
};
