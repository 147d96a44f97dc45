#pragma once

// Packets and TLS records for the HTTPS tests: captured ones from the corpus
// and small made ones.

#include <cstdint>
#include <string>
#include <vector>

#include "HelloCorpus.h"

using Bytes = std::vector<uint8_t>;

inline Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline const HelloCapture& capture(const std::string& name) {
    for (unsigned i = 0; i < kHelloCorpusSize; ++i) {
        if (name == kHelloCorpus[i].name) {
            return kHelloCorpus[i];
        }
    }
    static const HelloCapture none{"", {}};
    return none;
}

inline std::vector<Bytes> capturePackets(const std::string& name) {
    std::vector<Bytes> out;
    for (const std::string& hex : capture(name).packets) {
        out.push_back(fromHex(hex));
    }
    return out;
}

inline Bytes tcpPayload(const Bytes& ip) {
    const size_t h = (ip[0] & 0x0F) * 4u;
    const size_t t = (ip[h + 12] >> 4) * 4u;
    const size_t total = static_cast<size_t>(ip[2] << 8 | ip[3]);
    return Bytes(ip.begin() + static_cast<long>(h + t), ip.begin() + static_cast<long>(total));
}

// The TLS record the capture's packets carry, joined in order.
inline Bytes captureRecord(const std::string& name) {
    Bytes record;
    for (const Bytes& packet : capturePackets(name)) {
        const Bytes payload = tcpPayload(packet);
        record.insert(record.end(), payload.begin(), payload.end());
    }
    return record;
}

inline void put16(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void put32(Bytes& out, uint32_t value) {
    put16(out, value >> 16);
    put16(out, value & 0xFFFF);
}

// An IPv4 TCP segment (20-byte headers) with the given payload.
struct Segment {
    uint32_t source = 0x0A000002;       // 10.0.0.2
    uint32_t destination = 0x5DB8D822;  // 93.184.216.34
    uint16_t sourcePort = 50000;
    uint16_t destinationPort = 443;
    uint32_t sequence = 1000;
    uint8_t flags = 0x18;  // PSH, ACK
    Bytes payload;

    Bytes bytes() const {
        Bytes out;
        out.push_back(0x45);
        out.push_back(0);
        put16(out, static_cast<uint32_t>(40 + payload.size()));
        put32(out, 0);
        out.push_back(64);
        out.push_back(6);
        put16(out, 0);
        put32(out, source);
        put32(out, destination);
        put16(out, sourcePort);
        put16(out, destinationPort);
        put32(out, sequence);
        put32(out, 1);  // ack
        out.push_back(0x50);
        out.push_back(flags);
        put16(out, 65535);
        put32(out, 0);
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    }
};

inline Bytes extension(uint16_t type, const Bytes& body) {
    Bytes out;
    put16(out, type);
    put16(out, static_cast<uint32_t>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A server-name extension body with the given (type, name) entries.
inline Bytes serverNames(const std::vector<std::string>& names) {
    Bytes list;
    for (const std::string& name : names) {
        list.push_back(0);
        put16(list, static_cast<uint32_t>(name.size()));
        list.insert(list.end(), name.begin(), name.end());
    }
    Bytes body;
    put16(body, static_cast<uint32_t>(list.size()));
    body.insert(body.end(), list.begin(), list.end());
    return body;
}

// A TLS record holding one ClientHello with the given extensions block
// (already joined); `withExtensions` false leaves the block out.
inline Bytes clientHello(const Bytes& extensions, bool withExtensions = true) {
    Bytes hello;
    put16(hello, 0x0303);
    hello.insert(hello.end(), 32, 0xAB);  // random
    hello.push_back(0);                   // session id
    put16(hello, 2);
    put16(hello, 0x1301);  // one cipher suite
    hello.push_back(1);
    hello.push_back(0);  // null compression
    if (withExtensions) {
        put16(hello, static_cast<uint32_t>(extensions.size()));
        hello.insert(hello.end(), extensions.begin(), extensions.end());
    }
    Bytes record{22, 3, 1};
    put16(record, static_cast<uint32_t>(hello.size() + 4));
    record.push_back(1);
    record.push_back(0);
    put16(record, static_cast<uint32_t>(hello.size()));
    record.insert(record.end(), hello.begin(), hello.end());
    return record;
}

inline Bytes helloFor(const std::string& host) {
    return clientHello(extension(0, serverNames({host})));
}
