#pragma once

#include "base/String.h"

// Open modes of a store.
enum {
    ZORVANE_FILE_READ = 0,
    ZORVANE_FILE_WRITE = 1,
    ZORVANE_FILE_READ_WRITE = 2,
    ZORVANE_FILE_APPEND = 3,
    ZORVANE_FILE_TRUNCATE = 4,
};

// One persistent blob of bytes: open it in a mode, do one whole transfer,
// close it. The store has no lock: its one owner must not run two
// open-transfer-close sequences at once.
//
// The key and IV are borrowed (never copied or freed): the encrypting variants
// use AES-256-CBC with the first 32 bytes of the key buffer and the first 16
// bytes of the IV buffer.
class Store {
public:
    Store() = default;
    explicit Store(const String& path) : mPath(path) {}
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Allocates `buffer` with new[] (the caller delete[]s it), one byte longer
    // than the result, zero-terminated. A length of 0 means the whole file.
    virtual int read(char*& buffer, unsigned int length) = 0;
    // Writes `length` bytes at the current position and returns `length`.
    virtual int write(const char* buffer, unsigned int length) = 0;
    virtual void open(int mode) = 0;
    // True when the store was open and every byte written since open() has
    // reached it; false tells the owner that the transfer was lost.
    virtual bool close() = 0;

    // read, then decrypt in place; the plaintext length, or 0 on cipher failure.
    virtual int readDecrypted(char*& buffer, unsigned int length);
    // Encrypts a copy of the buffer and writes the ciphertext (the caller's
    // bytes are left alone); what write returns, or 0 on cipher failure.
    virtual int writeEncrypted(const char* buffer, unsigned int length);

    virtual void setKey(const char* key) { mKey = key; }
    virtual const char* getKey() const { return mKey; }
    virtual void setIv(const char* iv) { mIv = iv; }
    virtual const char* getIv() const { return mIv; }

    virtual ~Store() = default;

    static constexpr int kCipherBlock = 16;

protected:
    // In place; `data` must have room for size + kCipherBlock bytes.
    // Returns the ciphertext length, 0 on failure.
    virtual int aesEncrypt(unsigned char* data, int size, const unsigned char* key,
                           const unsigned char* iv);
    // In place; returns the plaintext length, 0 on failure (bad padding,
    // truncated input, wrong key or IV).
    virtual int aesDecrypt(unsigned char* data, int size, const unsigned char* key,
                           const unsigned char* iv);

    const char* mKey = nullptr;
    const char* mIv = nullptr;
    String mPath;
};
