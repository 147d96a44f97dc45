#pragma once

#include <ctime>
#include <filesystem>
#include <string>

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return mPath; }
    // A path inside the folder, as text for the code under test.
    std::string file(const std::string& name) const;

private:
    std::filesystem::path mPath;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);
// Whether a server listens on the Unix socket at `path` (Linux): the file
// exists a moment before its server accepts.
bool socketAccepts(const std::string& path);
time_t modificationTime(const std::string& path);
void setModificationTime(const std::string& path, time_t when);

// The log file of the process-wide Logger in test programs (shared with death
// test children through the environment).
std::string testLogPath();
// Whether the process-wide log holds `text`.
bool testLogContains(const std::string& text);

// Watches the process-wide log from its construction on.
class LogWatch {
public:
    LogWatch();
    // Whether a line written since construction holds `text`.
    bool saw(const std::string& text) const;
    // How many times `text` was written since construction.
    int count(const std::string& text) const;
    std::string text() const;

private:
    size_t mStart;
};

// Sets (or, with null, removes) an environment variable of this process.
void setenvForTest(const char* name, const char* value);

// Whether this Windows program runs under Wine (false elsewhere).
bool runningUnderWine();

// Registers the platform's singletons (thread handler) as the service does.
void registerPlatformSingletons();
