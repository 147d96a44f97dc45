#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Https.h"
#include "HttpsPackets.h"

namespace {

struct Found {
    E_ZorvaneHelloResult result;
    std::string name;
};

// Looks in a heap copy of exactly the given size, so that the address
// sanitizer sees any read past it.
Found find(const Bytes& record) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[record.size() + (record.empty() ? 1 : 0)]);
    std::copy(record.begin(), record.end(), exact.get());
    const uint8_t* name = nullptr;
    uint32_t length = 0;
    const E_ZorvaneHelloResult result =
        FindServerName(exact.get(), static_cast<uint32_t>(record.size()), &name, &length);
    return {result, result == ZORVANE_HELLO_NAME
                        ? std::string(reinterpret_cast<const char*>(name), length)
                        : std::string()};
}

TEST(TlsHello, CapturedHellosOfRealClients) {
    struct Case {
        const char* capture;
        size_t segments;
        E_ZorvaneHelloResult result;
        const char* name;
    };
    const Case cases[] = {
        {"chromium-1500", 2, ZORVANE_HELLO_NAME, "allowed.test"},
        {"chromium-576", 4, ZORVANE_HELLO_NAME, "allowed.test"},
        {"curl-1500", 1, ZORVANE_HELLO_NAME, "allowed.test"},
        {"curl-300", 3, ZORVANE_HELLO_NAME, "allowed.test"},
        {"gnutls-1500", 1, ZORVANE_HELLO_NAME, "allowed.test"},
        {"gnutls-300", 2, ZORVANE_HELLO_NAME, "allowed.test"},
        {"openssl-1500", 1, ZORVANE_HELLO_NAME, "allowed.test"},
        {"openssl-noname-1500", 1, ZORVANE_HELLO_NO_NAME, ""},
        {"python-1500", 1, ZORVANE_HELLO_NAME, "allowed.test"},
        {"wget-1500", 1, ZORVANE_HELLO_NAME, "allowed.test"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capture);
        const std::vector<Bytes> packets = capturePackets(c.capture);
        ASSERT_EQ(packets.size(), c.segments);
        const Found whole = find(captureRecord(c.capture));
        EXPECT_EQ(whole.result, c.result);
        EXPECT_EQ(whole.name, c.name);
        if (c.segments > 1) {
            // The first segment alone is a record cut short, never a name.
            EXPECT_EQ(find(tcpPayload(packets[0])).result, ZORVANE_HELLO_TRUNCATED);
        }
    }
}

TEST(TlsHello, HostileAndBrokenRecords) {
    Bytes longRecord = helloFor("a.test");
    longRecord[3] = 0x40;  // 16385 bytes and more claimed
    longRecord[4] = 0x01;
    longRecord.resize(5 + 0x4001, 0);

    Bytes pastExtensions = clientHello({0x00, 0x00, 0x00, 0x30, 0x00, 0x04});
    Bytes listPastExtension = clientHello(extension(0, {0x01, 0x00, 0x00, 0x00, 0x01, 'a'}));
    Bytes namePastList = clientHello(extension(0, {0x00, 0x04, 0x00, 0x00, 0x09, 'a'}));
    Bytes sessionPastHello = helloFor("a.test");
    sessionPastHello[5 + 4 + 2 + 32] = 0xFF;
    Bytes notHandshake = helloFor("a.test");
    notHandshake[0] = 23;
    Bytes serverHello = helloFor("a.test");
    serverHello[5] = 2;

    struct Case {
        const char* name;
        Bytes record;
        E_ZorvaneHelloResult result;
        const char* host;
    };
    const Case cases[] = {
        {"plain", helloFor("www.allowed.test"), ZORVANE_HELLO_NAME, "www.allowed.test"},
        {"name after other extensions", clientHello([] {
             Bytes e = extension(10, {0x00, 0x02, 0x00, 0x1d});
             const Bytes sni = extension(0, serverNames({"b.test"}));
             e.insert(e.end(), sni.begin(), sni.end());
             return e;
         }()),
         ZORVANE_HELLO_NAME, "b.test"},
        {"no extensions block", clientHello({}, false), ZORVANE_HELLO_NO_NAME, ""},
        {"no server name", clientHello(extension(10, {0x00, 0x02, 0x00, 0x1d})),
         ZORVANE_HELLO_NO_NAME, ""},
        {"header cut", Bytes{22, 3, 1}, ZORVANE_HELLO_TRUNCATED, ""},
        {"record length past data",
         [] {
             Bytes b = helloFor("a.test");
             b.pop_back();
             return b;
         }(),
         ZORVANE_HELLO_TRUNCATED, ""},
        {"record beyond 16 KiB", longRecord, ZORVANE_HELLO_MALFORMED, ""},
        {"not a handshake", notHandshake, ZORVANE_HELLO_MALFORMED, ""},
        {"a ServerHello", serverHello, ZORVANE_HELLO_MALFORMED, ""},
        {"session id past the hello", sessionPastHello, ZORVANE_HELLO_MALFORMED, ""},
        {"extension past the extensions", pastExtensions, ZORVANE_HELLO_MALFORMED, ""},
        {"name list past its extension", listPastExtension, ZORVANE_HELLO_MALFORMED, ""},
        {"name past its list", namePastList, ZORVANE_HELLO_MALFORMED, ""},
        {"two names", clientHello(extension(0, serverNames({"allowed.test", "blocked.test"}))),
         ZORVANE_HELLO_MALFORMED, ""},
        {"empty name", clientHello(extension(0, serverNames({""}))), ZORVANE_HELLO_MALFORMED, ""},
        {"name with a NUL", clientHello(extension(0, serverNames({std::string("a\0b.test", 8)}))),
         ZORVANE_HELLO_MALFORMED, ""},
        {"name of 256 bytes", helloFor(std::string(256, 'a')), ZORVANE_HELLO_MALFORMED, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Found found = find(c.record);
        EXPECT_EQ(found.result, c.result);
        EXPECT_EQ(found.name, c.host);
    }
}

// Every cut of a real hello, presented as a complete record of that length,
// is judged without a name and without reading past the cut.
TEST(TlsHello, EveryCutOfARealHelloIsRefused) {
    const Bytes whole = captureRecord("chromium-1500");
    ASSERT_GT(whole.size(), 1500u);
    for (size_t cut = 5; cut < whole.size(); ++cut) {
        Bytes record(whole.begin(), whole.begin() + static_cast<long>(cut));
        record[3] = static_cast<uint8_t>((cut - 5) >> 8);
        record[4] = static_cast<uint8_t>(cut - 5);
        ASSERT_NE(find(record).result, ZORVANE_HELLO_NAME) << cut;
    }
    EXPECT_EQ(find(whole).result, ZORVANE_HELLO_NAME);
}

TEST(TlsHello, RecordTypes) {
    struct Case {
        Bytes payload;
        uint32_t type;
    };
    const Case cases[] = {
        {helloFor("a.test"), ZORVANE_SSL_CLIENT_HELLO},
        {{22, 3, 3, 0, 50, 2}, ZORVANE_SSL_SERVER_HELLO},
        {{22, 3, 3, 0, 50, 11}, ZORVANE_SSL_OTHER},
        {{23, 3, 3, 0, 20}, ZORVANE_SSL_APPLICATION},
        {{22, 3, 3}, ZORVANE_SSL_OTHER},  // too short to name a handshake type
        {{21, 3, 3, 0, 2}, ZORVANE_SSL_OTHER},
        {{}, ZORVANE_SSL_OTHER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HttpsRecordType(c.payload.data(), static_cast<uint32_t>(c.payload.size())),
                  c.type);
    }
}

TEST(TlsHello, Checksums) {
    // A header whose checksum is known (b861).
    const Bytes header = fromHex("450000730000400040110000c0a80001c0a800c7");
    EXPECT_EQ(IpHeaderChecksum(header.data(), 20), 0xb861);

    // A TCP checksum placed in its segment makes the receiver's sum come out
    // as zero, for even and odd lengths.
    for (const size_t payloadLength : {0u, 1u, 82u, 83u}) {
        Segment segment;
        segment.payload.assign(payloadLength, 0x5A);
        Bytes ip = segment.bytes();
        uint8_t* tcp = ip.data() + 20;
        const auto length = static_cast<uint32_t>(ip.size() - 20);
        const uint16_t sum = tcp_sum_calc(length, segment.source, segment.destination, tcp);
        tcp[16] = static_cast<uint8_t>(sum >> 8);
        tcp[17] = static_cast<uint8_t>(sum);
        EXPECT_EQ(tcp_sum_calc(length, segment.source, segment.destination, tcp), 0)
            << payloadLength;
    }
}

}  // namespace
