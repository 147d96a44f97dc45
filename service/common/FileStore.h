#pragma once

#include <fstream>

#include "Store.h"

// A store kept in one file, through a binary file stream. Constructing it
// does not open the file.
class FileStore : public Store {
public:
    explicit FileStore(const String& path);
    ~FileStore() override;

    int read(char*& buffer, unsigned int length) override;
    int write(const char* buffer, unsigned int length) override;
    // Creates a missing file (empty) rather than failing on it. An already
    // open store keeps the mode it was opened with.
    void open(int mode) override;
    void close() override;

private:
    std::fstream fStream;
};
