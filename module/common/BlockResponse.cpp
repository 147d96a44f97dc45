#include <cstring>

#include "Https.h"
#include "ZorvaneLog.h"
#include "os_interface.h"

namespace {

constexpr uint8_t kTcpFin = 0x01;

uint32_t load16(const uint8_t* at) {
    return static_cast<uint32_t>(at[0] << 8 | at[1]);
}

uint32_t load32(const uint8_t* at) {
    return load16(at) << 16 | load16(at + 2);
}

void store16(uint8_t* at, uint32_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

// The ones'-complement sum of big-endian words added to `sum`; an odd last
// byte counts as a word with a zero low byte.
uint32_t addWords(uint32_t sum, const uint8_t* data, uint32_t length) {
    for (uint32_t i = 0; i + 1 < length; i += 2) {
        sum += load16(data + i);
    }
    if (length % 2 != 0) {
        sum += static_cast<uint32_t>(data[length - 1]) << 8;
    }
    return sum;
}

uint16_t foldAndComplement(uint32_t sum) {
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

}  // namespace

uint16_t IpHeaderChecksum(const uint8_t* header, uint32_t length) {
    return foldAndComplement(addWords(0, header, length));
}

uint16_t tcp_sum_calc(uint32_t length, uint32_t source, uint32_t destination, const uint8_t* data) {
    ZorvLog(ZORVANE_DBG_TRACE, "tcp_sum_calc %d 0x%8x 0x%8x\n", static_cast<int>(length),
            static_cast<unsigned>(source), static_cast<unsigned>(destination));
    uint32_t sum = addWords(0, data, length);
    sum += length;
    sum += (source >> 16) + (source & 0xFFFF);
    sum += (destination >> 16) + (destination & 0xFFFF);
    sum += 6;  // TCP
    return foldAndComplement(sum);
}

bool BlockedResponse(ZorvanePacket* packet) {
    uint32_t available = 0;
    uint8_t* ip = OsPacketCurrentData(packet, &available);
    if (ip == nullptr || available < 20) {
        ZorvLog(ZORVANE_DBG_ERROR, "failed to get tcp data\n");
        return false;
    }
    const uint32_t h = (ip[0] & 0x0Fu) * 4;
    const uint32_t datagram = load16(ip + 2) < available ? load16(ip + 2) : available;
    if (h < 20 || h + 20 > datagram) {
        ZorvLog(ZORVANE_DBG_ERROR, "failed to get tcp data\n");
        return false;
    }
    uint8_t* tcp = ip + h;
    const uint32_t t = (tcp[12] >> 4) * 4u;
    const uint32_t segment = datagram - h;  // L: TCP header and payload
    ZorvLog(ZORVANE_DBG_TRACE, "BlockedResponse %d %d %d\n", static_cast<int>(h),
            static_cast<int>(t), static_cast<int>(segment));
    ZorvLog(ZORVANE_DBG_TRACE, "ip fragment offset %d %d\n", static_cast<int>(ip[6] >> 5),
            static_cast<int>(load16(ip + 6) & 0x1FFF));
    if (t < 20 || t > segment) {
        ZorvLog(ZORVANE_DBG_ERROR, "failed to get tcp data\n");
        return false;
    }
    // Checked before anything changes, so a refused segment stays as it came.
    if (t + ZORVANE_BLOCK_REPLY_LENGTH >= segment) {
        ZorvLog(ZORVANE_DBG_TRACE, "not sending blocked msg\n");
        return false;
    }
    tcp[13] |= kTcpFin;
    store16(tcp + 16, 0);
    store16(ip + 10, 0);
    ZorvLog(ZORVANE_DBG_TRACE, "got tcp data\n");
    memset(tcp + t, 0, segment - t);
    ZorvLog(ZORVANE_DBG_TRACE, "zeroed Memory\n");
    memcpy(tcp + t, ZORVANE_BLOCK_REPLY, ZORVANE_BLOCK_TEXT_LENGTH);
    ZorvLog(ZORVANE_DBG_TRACE, "copying new data %d %s\n",
            static_cast<int>(ZORVANE_BLOCK_REPLY_LENGTH), ZORVANE_BLOCK_REPLY);
    ZorvLog(ZORVANE_DBG_TRACE, "seq %ul %ul ack %ul %ul\n", static_cast<unsigned>(load32(tcp + 4)),
            static_cast<unsigned>(load32(tcp + 4) + ZORVANE_BLOCK_REPLY_LENGTH),
            static_cast<unsigned>(load32(tcp + 8)), static_cast<unsigned>(load32(tcp + 8)));

    const uint32_t total = h + t + ZORVANE_BLOCK_REPLY_LENGTH;
    store16(ip + 2, total);
    ZorvLog(ZORVANE_DBG_TRACE, "totalPackLen %d\n", static_cast<int>(total));
    store16(ip + 10, IpHeaderChecksum(ip, h));
    ZorvLog(ZORVANE_DBG_TRACE, "ipChecksum %d\n", static_cast<int>(load16(ip + 10)));
    tcp[13] |= kTcpFin;
    const uint32_t tcpLength = t + ZORVANE_BLOCK_REPLY_LENGTH;
    ZorvLog(ZORVANE_DBG_TRACE, "Data size %d\n", static_cast<int>(tcpLength));
    store16(tcp + 16, tcp_sum_calc(tcpLength, load32(ip + 12), load32(ip + 16), tcp));
    ZorvLog(ZORVANE_DBG_TRACE, "checkSum = 0x%4x\n", static_cast<unsigned>(load16(tcp + 16)));
    return OsPacketSetCurrentLength(packet, total);
}
