#include "TestSupport.h"

#include <sys/stat.h>
#ifdef _WIN32
#include <sys/utime.h>
#else
#include <utime.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate =
            fs::temp_directory_path() /
            ("zorvane-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            mPath = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(mPath, error);
}

std::string TempDir::file(const std::string& name) const {
    return (mPath / name).string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0;
}

time_t modificationTime(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        return 0;
    }
    return status.st_mtime;
}

void setModificationTime(const std::string& path, time_t when) {
#ifdef _WIN32
    struct _utimbuf times {};
    times.actime = when;
    times.modtime = when;
    if (_utime(path.c_str(), &times) != 0) {
#else
    struct utimbuf times {};
    times.actime = when;
    times.modtime = when;
    if (utime(path.c_str(), &times) != 0) {
#endif
        throw std::runtime_error("cannot set the modification time of " + path);
    }
}

std::string testLogPath() {
    const char* path = std::getenv("ZORVANE_TEST_LOG");
    return path ? path : "";
}

namespace {

// The log is a text file: CRLF line ends on Windows.
std::string readLog() {
    std::string text = readFile(testLogPath());
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            continue;
        }
        plain.push_back(text[i]);
    }
    return plain;
}

}  // namespace

bool testLogContains(const std::string& text) {
    return readLog().find(text) != std::string::npos;
}

LogWatch::LogWatch() : mStart(readLog().size()) {}

std::string LogWatch::text() const {
    std::string all = readLog();
    return all.size() > mStart ? all.substr(mStart) : std::string();
}

bool LogWatch::saw(const std::string& text) const {
    return this->text().find(text) != std::string::npos;
}

int LogWatch::count(const std::string& needle) const {
    std::string all = text();
    int found = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) {
        ++found;
    }
    return found;
}

void setenvForTest(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
#endif
}
