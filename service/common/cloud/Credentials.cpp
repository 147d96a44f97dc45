#include "cloud/Credentials.h"

#include <cstring>

Credentials parseCredentials(const char* text, int length) {
    Credentials credentials;
    if (!text || length <= 0) {
        return credentials;
    }
    const void* end = memchr(text, '\0', static_cast<size_t>(length));
    const size_t size = end ? static_cast<size_t>(static_cast<const char*>(end) - text)
                            : static_cast<size_t>(length);
    const String body(text, static_cast<int>(size));
    const size_t comma = body.find(',');
    if (comma != String::npos) {
        credentials.user = body.substr(0, comma);
        credentials.password = body.substr(comma + 1);
    }
    return credentials;
}
