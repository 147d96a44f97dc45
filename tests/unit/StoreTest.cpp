#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "settings/FileStore.h"
#include "TestSupport.h"

namespace {

const char kKey[33] = "0123456789abcdef0123456789ABCDEF";
const char kIv[33] = "fedcba9876543210FEDCBA9876543210";
const char kOtherKey[33] = "X123456789abcdef0123456789ABCDEF";

// Reads the whole store the way every caller does: open, read, close.
std::string readAll(Store& store, int mode = ZORVANE_FILE_READ_WRITE) {
    store.open(mode);
    char* raw = nullptr;
    int length = store.read(raw, 0);
    std::unique_ptr<char[]> buffer(raw);
    store.close();
    return buffer ? std::string(buffer.get(), static_cast<size_t>(length)) : std::string();
}

void writeAll(Store& store, int mode, const std::string& data) {
    store.open(mode);
    EXPECT_EQ(store.write(data.data(), static_cast<unsigned>(data.size())),
              static_cast<int>(data.size()));
    store.close();
}

class FileStoreTest : public testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("zorvane.cred");
};

TEST_F(FileStoreTest, OpeningAMissingFileCreatesItEmpty) {
    FileStore store(path);
    store.open(ZORVANE_FILE_READ_WRITE);
    EXPECT_TRUE(fileExists(path));
    char* buffer = nullptr;
    EXPECT_EQ(store.read(buffer, 0), 0);
    EXPECT_EQ(buffer, nullptr);  // nothing allocated
    store.close();
}

TEST_F(FileStoreTest, WholeFileReadIsZeroTerminated) {
    writeFile(path, std::string("0123\0"
                                "56789",
                                10));
    FileStore store(path);
    store.open(ZORVANE_FILE_READ);
    char* raw = nullptr;
    ASSERT_EQ(store.read(raw, 0), 10);
    std::unique_ptr<char[]> buffer(raw);
    EXPECT_EQ(std::string(buffer.get(), 10), std::string("0123\0"
                                                         "56789",
                                                         10));
    EXPECT_EQ(buffer[10], '\0');
    store.close();
}

TEST_F(FileStoreTest, ReadOfAGivenLengthPastTheEndIsZeroFilled) {
    writeFile(path, "abc");
    FileStore store(path);
    store.open(ZORVANE_FILE_READ);
    char* raw = nullptr;
    ASSERT_EQ(store.read(raw, 6), 6);  // the requested length, as callers expect
    std::unique_ptr<char[]> buffer(raw);
    EXPECT_EQ(std::string(buffer.get(), 7), std::string("abc\0\0\0\0", 7));
    store.close();
}

struct ModeCase {
    int mode;
    const char* written;
    const char* result;
};

class FileStoreMode : public testing::TestWithParam<ModeCase> {};

TEST_P(FileStoreMode, WriteLeavesTheExpectedFile) {
    TempDir dir;
    std::string path = dir.file("store");
    writeFile(path, "0123456789");
    FileStore store(path);
    writeAll(store, GetParam().mode, GetParam().written);
    EXPECT_EQ(readFile(path), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Cases, FileStoreMode,
                         testing::Values(ModeCase{ZORVANE_FILE_WRITE, "ab", "ab"},
                                         ModeCase{ZORVANE_FILE_READ_WRITE, "ab", "ab23456789"},
                                         ModeCase{ZORVANE_FILE_APPEND, "ab", "0123456789ab"},
                                         ModeCase{ZORVANE_FILE_TRUNCATE, "ab", "ab"},
                                         // Unknown modes act as read-write.
                                         ModeCase{17, "ab", "ab23456789"},
                                         // A read-only stream writes nothing.
                                         ModeCase{ZORVANE_FILE_READ, "ab", "0123456789"}));

TEST_F(FileStoreTest, AnOpenStoreKeepsItsFirstMode) {
    writeFile(path, "0123456789");
    FileStore store(path);
    store.open(ZORVANE_FILE_READ);
    store.open(ZORVANE_FILE_WRITE);  // ignored: the file is not truncated
    store.write("ab", 2);            // and cannot be written through a read stream
    store.close();
    EXPECT_EQ(readFile(path), "0123456789");
    EXPECT_EQ(readAll(store), "0123456789");  // closed and reopened: usable again
}

TEST_F(FileStoreTest, AWholeNewContentReplacesTheFileOnlyOnClose) {
    writeFile(path, "old settings\n");
    FileStore store(path);
    store.open(ZORVANE_FILE_WRITE);
    store.write("new", 3);
    EXPECT_EQ(readFile(path), "old settings\n");  // a crash here loses nothing
    EXPECT_TRUE(store.close());
    EXPECT_EQ(readFile(path), "new");
    EXPECT_FALSE(fileExists(path + ".new"));

    // A write that cannot be made is told to the owner at close, once.
    const std::string folder = dir.file("gone");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    FileStore nowhere(folder + "/file");
    writeFile(folder + "/file", "kept\n");
    LogWatch log;
    for (int mode : {ZORVANE_FILE_WRITE, ZORVANE_FILE_APPEND}) {
        std::filesystem::rename(folder, folder + ".away");
        writeFile(folder, "a file in the folder's place");
        nowhere.open(mode);
        nowhere.write("x", 1);
        EXPECT_FALSE(nowhere.close()) << mode;
        EXPECT_FALSE(nowhere.close()) << mode;  // nothing open any more
        std::filesystem::remove(folder);
        std::filesystem::rename(folder + ".away", folder);
    }
    EXPECT_TRUE(log.saw("FileStore::open is_open failed "));
    EXPECT_EQ(readFile(folder + "/file"), "kept\n");
    nowhere.open(ZORVANE_FILE_WRITE);
    nowhere.write("x", 1);
    EXPECT_TRUE(nowhere.close());
    EXPECT_EQ(readFile(folder + "/file"), "x");
}

TEST_F(FileStoreTest, FailuresAreLoggedAndReadsGiveNothing) {
    FileStore unopened(path);
    char* buffer = nullptr;
    EXPECT_EQ(unopened.read(buffer, 0), 0);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_TRUE(testLogContains("read fStream.is_open failed"));

    FileStore nowhere(dir.file("no/such/folder/file"));
    nowhere.open(ZORVANE_FILE_READ_WRITE);
    EXPECT_TRUE(testLogContains("FileStore::open is_open failed "));
    EXPECT_EQ(nowhere.read(buffer, 0), 0);
    nowhere.close();
    nowhere.close();  // closing twice is harmless
}

class StoreCipher : public testing::TestWithParam<int> {};

TEST_P(StoreCipher, RoundTripPadsToWholeBlocks) {
    TempDir dir;
    const int size = GetParam();
    std::string plain;
    for (int i = 0; i < size; ++i) {
        plain.push_back(static_cast<char>(i * 37 + 11));
    }
    FileStore store(dir.file("secret"));
    store.setKey(kKey);
    store.setIv(kIv);

    std::string original = plain;
    store.open(ZORVANE_FILE_WRITE);
    int written = store.writeEncrypted(plain.data(), static_cast<unsigned>(plain.size()));
    store.close();
    const int expected = (size / 16 + 1) * 16;
    EXPECT_EQ(written, expected);
    EXPECT_EQ(readFile(dir.file("secret")).size(), static_cast<size_t>(expected));
    EXPECT_EQ(plain, original);  // the caller's bytes are not overwritten
    EXPECT_NE(readFile(dir.file("secret")).substr(0, static_cast<size_t>(size)), plain);

    store.open(ZORVANE_FILE_READ);
    char* raw = nullptr;
    int read = store.readDecrypted(raw, 0);
    std::unique_ptr<char[]> buffer(raw);
    store.close();
    ASSERT_EQ(read, size);
    EXPECT_EQ(std::string(buffer.get(), static_cast<size_t>(read)), original);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StoreCipher, testing::Values(1, 15, 16, 17, 100));

TEST_F(FileStoreTest, DecryptionFailsOnWrongKeyAndTruncatedText) {
    FileStore store(path);
    store.setKey(kKey);
    store.setIv(kIv);
    const std::string plain = "parent digest 0123456789abcdef";
    store.open(ZORVANE_FILE_WRITE);
    ASSERT_EQ(store.writeEncrypted(plain.data(), static_cast<unsigned>(plain.size())), 32);
    store.close();
    const std::string cipher = readFile(path);

    FileStore wrongKey(path);
    wrongKey.setKey(kOtherKey);
    wrongKey.setIv(kIv);
    wrongKey.open(ZORVANE_FILE_READ);
    char* raw = nullptr;
    EXPECT_EQ(wrongKey.readDecrypted(raw, 0), 0);
    delete[] raw;
    wrongKey.close();
    EXPECT_TRUE(testLogContains("EVP_DecryptFinal Failed! (sz=32, len=16,"));

    writeFile(path, cipher.substr(0, 24));
    store.open(ZORVANE_FILE_READ);
    raw = nullptr;
    EXPECT_EQ(store.readDecrypted(raw, 0), 0);
    delete[] raw;
    store.close();
    EXPECT_TRUE(testLogContains("EVP_DecryptFinal Failed! (sz=24,"));
}

TEST_F(FileStoreTest, CipherWithoutKeyFails) {
    FileStore store(path);
    EXPECT_EQ(store.getKey(), nullptr);
    store.open(ZORVANE_FILE_WRITE);
    EXPECT_EQ(store.writeEncrypted("abc", 3), 0);
    store.close();
    EXPECT_EQ(readFile(path), "");  // nothing half-written
    store.setKey(kKey);
    store.setIv(kIv);
    EXPECT_EQ(store.getKey(), kKey);
    EXPECT_EQ(store.getIv(), kIv);
}

}  // namespace
