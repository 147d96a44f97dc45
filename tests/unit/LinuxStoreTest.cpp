// A store whose read fails on Linux, where a folder opens as a file stream
// (on Windows it cannot be opened at all).

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "settings/FileStore.h"

namespace {

TEST(FileStore, ReadErrorEndsTheProcessWithStatusZero) {
    TempDir dir;
    // A folder opened as the store: the open succeeds on Linux, the read fails.
    FileStore store(dir.path().string());
    store.open(ZORVANE_FILE_READ);
    char* probe = nullptr;
    EXPECT_EXIT(store.read(probe, 16), testing::ExitedWithCode(0), "");
    EXPECT_TRUE(testLogContains("file read exception thrown"));
}

}  // namespace
