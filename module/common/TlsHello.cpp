#include <cstring>

#include "BlockPool.h"
#include "Https.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

constexpr uint8_t kContentHandshake = 22;
constexpr uint8_t kContentApplication = 23;
constexpr uint8_t kHandshakeClientHello = 1;
constexpr uint8_t kHandshakeServerHello = 2;
constexpr uint16_t kExtensionServerName = 0;
constexpr uint8_t kNameTypeHost = 0;

// A bounds-checked reader over [at, end): every take fails instead of
// passing the end, and a failed reader stays failed.
class Reader {
public:
    Reader(const uint8_t* at, uint32_t length) : mAt(at), mLeft(length) {}

    bool ok() const { return mOk; }
    uint32_t left() const { return mLeft; }
    const uint8_t* at() const { return mAt; }

    uint32_t u8() { return take(1) ? mAt[-1] : 0; }
    uint32_t u16() { return take(2) ? static_cast<uint32_t>(mAt[-2] << 8 | mAt[-1]) : 0; }
    uint32_t u24() {
        return take(3) ? static_cast<uint32_t>(mAt[-3] << 16 | mAt[-2] << 8 | mAt[-1]) : 0;
    }
    bool skip(uint32_t count) { return take(count); }
    // A sub-reader over the next `count` bytes, which this one passes.
    Reader sub(uint32_t count) {
        const uint8_t* start = mAt;
        if (!take(count)) {
            return Reader(nullptr, 0, false);
        }
        return Reader(start, count);
    }

private:
    Reader(const uint8_t* at, uint32_t length, bool ok) : mAt(at), mLeft(length), mOk(ok) {}

    bool take(uint32_t count) {
        if (!mOk || count > mLeft) {
            mOk = false;
            return false;
        }
        mAt += count;
        mLeft -= count;
        return true;
    }

    const uint8_t* mAt;
    uint32_t mLeft;
    bool mOk = true;
};

bool printableName(const uint8_t* name, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) {
        if (name[i] < 0x21 || name[i] > 0x7E) {
            return false;
        }
    }
    return true;
}

// The server-name extension's body: exactly one host name, not empty.
E_ZorvaneHelloResult readServerNameList(Reader body, const uint8_t** name, uint32_t* nameLength) {
    Reader list = body.sub(body.u16());
    if (!body.ok() || body.left() != 0) {
        return ZORVANE_HELLO_MALFORMED;
    }
    const uint32_t type = list.u8();
    Reader host = list.sub(list.u16());
    if (!list.ok() || list.left() != 0 || type != kNameTypeHost) {
        return ZORVANE_HELLO_MALFORMED;
    }
    if (host.left() == 0 || host.left() > ZORVANE_MAX_HOST_LENGTH ||
        !printableName(host.at(), host.left())) {
        return ZORVANE_HELLO_MALFORMED;
    }
    *name = host.at();
    *nameLength = host.left();
    return ZORVANE_HELLO_NAME;
}

}  // namespace

uint32_t HttpsRecordType(const uint8_t* payload, uint32_t length) {
    if (length < 1) {
        return ZORVANE_SSL_OTHER;
    }
    if (payload[0] == kContentHandshake && length > 5) {
        if (payload[5] == kHandshakeClientHello) {
            return ZORVANE_SSL_CLIENT_HELLO;
        }
        if (payload[5] == kHandshakeServerHello) {
            return ZORVANE_SSL_SERVER_HELLO;
        }
        return ZORVANE_SSL_OTHER;
    }
    return payload[0] == kContentApplication ? ZORVANE_SSL_APPLICATION : ZORVANE_SSL_OTHER;
}

uint32_t HttpsPacketType(ZorvanePacket* packet) {
    uint8_t head[8] = {};
    const uint32_t read = OsPacketReadTcpPayload(packet, 0, head, sizeof(head));
    ZorvLog(ZORVANE_DBG_TRACE, "HttpsPacketType\n");
    ZorvLog(ZORVANE_DBG_TRACE, "ssl packet  - 0x%4x 0x%4x 0x%4x 0x%4x", head[0], head[1], head[2],
            head[3]);
    ZorvLog(ZORVANE_DBG_TRACE, " %d %d %d %d\n", head[4], head[5], head[6], head[7]);
    ZorvLog(ZORVANE_DBG_TRACE, "sslHdr->contentType %d\n", head[0]);
    return HttpsRecordType(head, read);
}

E_ZorvaneHelloResult FindServerName(const uint8_t* record, uint32_t length, const uint8_t** name,
                                    uint32_t* nameLength) {
    Reader whole(record, length);
    const uint32_t contentType = whole.u8();
    whole.skip(2);  // record version
    const uint32_t recordLength = whole.u16();
    if (!whole.ok()) {
        return ZORVANE_HELLO_TRUNCATED;
    }
    if (contentType != kContentHandshake ||
        recordLength > ZORVANE_TLS_MAX_RECORD - ZORVANE_TLS_RECORD_HEADER) {
        return ZORVANE_HELLO_MALFORMED;
    }
    if (recordLength > whole.left()) {
        return ZORVANE_HELLO_TRUNCATED;
    }
    Reader fragment = whole.sub(recordLength);
    const uint32_t handshakeType = fragment.u8();
    const uint32_t helloLength = fragment.u24();
    if (!fragment.ok() || handshakeType != kHandshakeClientHello) {
        return ZORVANE_HELLO_MALFORMED;
    }
    // A hello longer than its record goes on in the next record: what this
    // one holds is all that is judged.
    Reader hello = fragment.sub(helloLength < fragment.left() ? helloLength : fragment.left());
    hello.skip(2 + 32);       // version, random
    hello.skip(hello.u8());   // session id
    hello.skip(hello.u16());  // cipher suites
    hello.skip(hello.u8());   // compression methods
    if (!hello.ok()) {
        return ZORVANE_HELLO_MALFORMED;
    }
    if (hello.left() == 0) {
        return ZORVANE_HELLO_NO_NAME;  // no extensions at all
    }
    Reader extensions = hello.sub(hello.u16());
    if (!hello.ok()) {
        return ZORVANE_HELLO_MALFORMED;
    }
    while (extensions.left() > 0) {
        const uint32_t type = extensions.u16();
        Reader body = extensions.sub(extensions.u16());
        if (!extensions.ok()) {
            return ZORVANE_HELLO_MALFORMED;
        }
        if (type == kExtensionServerName) {
            return readServerNameList(body, name, nameLength);
        }
    }
    return ZORVANE_HELLO_NO_NAME;
}

char* GetHostName(const uint8_t* record, uint32_t length, uint32_t* hostLength) {
    ZorvLog(ZORVANE_DBG_TRACE, "GetHostName\n");
    const uint8_t* name = nullptr;
    uint32_t nameLength = 0;
    const E_ZorvaneHelloResult result = FindServerName(record, length, &name, &nameLength);
    ZorvLog(ZORVANE_DBG_TRACE, "comparison %d %d\n", static_cast<int>(result),
            static_cast<int>(length));
    if (result != ZORVANE_HELLO_NAME) {
        if (result == ZORVANE_HELLO_TRUNCATED) {
            ZorvLog(ZORVANE_DBG_TRACE, "unable to get ssl handshake header\n");
        }
        return nullptr;
    }
    auto* host = static_cast<char*>(AllocateMemory(nameLength + 1));
    if (host == nullptr) {
        ZorvLog(ZORVANE_DBG_ERROR, "GetHostName: could not allocated memory for host\n");
        return nullptr;
    }
    memcpy(host, name, nameLength);
    host[nameLength] = '\0';
    *hostLength = nameLength;
    return host;
}
