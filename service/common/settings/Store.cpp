#include "settings/Store.h"

#include <openssl/evp.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "base/Logger.h"

namespace {

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

}  // namespace

int Store::readDecrypted(char*& buffer, unsigned int length) {
    int read = this->read(buffer, length);
    if (read <= 0) {
        return 0;
    }
    int plain = aesDecrypt(reinterpret_cast<unsigned char*>(buffer), read,
                           reinterpret_cast<const unsigned char*>(mKey),
                           reinterpret_cast<const unsigned char*>(mIv));
    if (plain >= 0 && plain <= read) {
        buffer[plain] = '\0';
    }
    return plain;
}

int Store::writeEncrypted(const char* buffer, unsigned int length) {
    std::vector<unsigned char> data(buffer, buffer + length);
    data.resize(length + kCipherBlock);
    int encrypted = aesEncrypt(data.data(), static_cast<int>(length),
                               reinterpret_cast<const unsigned char*>(mKey),
                               reinterpret_cast<const unsigned char*>(mIv));
    if (encrypted <= 0) {
        return 0;
    }
    return write(reinterpret_cast<const char*>(data.data()), static_cast<unsigned int>(encrypted));
}

int Store::aesEncrypt(unsigned char* data, int size, const unsigned char* key,
                      const unsigned char* iv) {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context || !key || !iv ||
        EVP_EncryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key, iv) != 1) {
        Logger::instance()->out(LOGLEVEL_ERROR, "EVP_EncryptUpdate Failed! (sz=%d, errno=%d)\n",
                                size, errno);
        return 0;
    }
    int len = 0;
    if (EVP_EncryptUpdate(context.get(), data, &len, data, size) != 1) {
        Logger::instance()->out(LOGLEVEL_ERROR, "EVP_EncryptUpdate Failed! (sz=%d, errno=%d)\n",
                                size, errno);
        return 0;
    }
    int finalLength = 0;
    if (EVP_EncryptFinal_ex(context.get(), data + len, &finalLength) != 1) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "EVP_EncryptFinal Failed! (sz=%d, len=%d, errno=%d)\n", size, len,
                                errno);
        return 0;
    }
    return len + finalLength;
}

int Store::aesDecrypt(unsigned char* data, int size, const unsigned char* key,
                      const unsigned char* iv) {
    CipherContext context(EVP_CIPHER_CTX_new());
    if (!context || !key || !iv ||
        EVP_DecryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key, iv) != 1) {
        Logger::instance()->out(LOGLEVEL_ERROR, "EVP_DecryptUpdate Failed! (sz=%d, errno=%d)\n",
                                size, errno);
        return 0;
    }
    int len = 0;
    if (EVP_DecryptUpdate(context.get(), data, &len, data, size) != 1) {
        Logger::instance()->out(LOGLEVEL_ERROR, "EVP_DecryptUpdate Failed! (sz=%d, errno=%d)\n",
                                size, errno);
        return 0;
    }
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(context.get(), data + len, &finalLength) != 1) {
        Logger::instance()->out(LOGLEVEL_ERROR,
                                "EVP_DecryptFinal Failed! (sz=%d, len=%d, errno=%d)\n", size, len,
                                errno);
        return 0;
    }
    return len + finalLength;
}
