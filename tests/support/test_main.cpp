#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "base/Logger.h"
#include "TestSupport.h"

namespace {

void setEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Death-test children inherit the variable and log into the same file.
    bool ownLog = testLogPath().empty();
    if (ownLog) {
        std::random_device random;
        auto path = std::filesystem::temp_directory_path() /
                    ("zorvane-test-" + std::to_string(random()) + ".log");
        setEnvironment("ZORVANE_TEST_LOG", path.string());
    }
    Logger::instance(testLogPath(), "");
    registerPlatformSingletons();
    int result = RUN_ALL_TESTS();
    if (ownLog) {
        std::error_code error;
        std::filesystem::remove(testLogPath(), error);
    }
#ifdef _WIN32
    // Wine at times never finishes the process shutdown of a program that
    // killed one of its threads (TerminateThread); the results are out by now.
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
#endif
    return result;
}
