#pragma once

// The request records the service sends to the filter, byte for byte: the
// service's record builders must produce exactly these bytes from the
// values, and the filter's dispatch must accept them and store the values.
// One table for both ends, so neither can drift from the other.

#include <cstdint>
#include <string>
#include <vector>

#include "RecordBytes.h"
#include "zorvane_ioctl.h"

// One value of a record in the builder's argument order (argument 2 on).
struct RecordValue {
    enum Kind { U32, U16, TEXT, PORTS } kind;
    uint32_t number = 0;
    std::string text;             // TEXT: without its NUL
    std::vector<uint16_t> ports;  // PORTS

    static RecordValue u32(uint32_t value) { return {U32, value, {}, {}}; }
    static RecordValue u16(uint16_t value) { return {U16, value, {}, {}}; }
    static RecordValue str(std::string value) { return {TEXT, 0, std::move(value), {}}; }
    static RecordValue portList(std::vector<uint16_t> value) {
        return {PORTS, 0, {}, std::move(value)};
    }
};

struct RequestRecord {
    const char* name;
    uint32_t code;
    std::vector<RecordValue> values;
    std::vector<uint8_t> bytes;
};

// The token every configuration record carries once the access lock is open.
constexpr uint32_t kRecordToken = ZORVANE_AUTH_CHALLENGE;

inline const std::vector<RequestRecord>& requestRecords() {
    using V = RecordValue;
    static const std::string sid44 = "S-1-5-21-1004336348-1177238915-682003330-512";
    static const std::vector<RequestRecord> table = {
        {"get version", ZORVANE_IOCTL_GET_VERSION, {}, RecordBytes().raw(8).bytes()},
        // SID, its length, child, total, curr; the record has curr before total.
        {"set user",
         ZORVANE_IOCTL_SET_USER,
         {V::str(sid44), V::u32(44), V::u32(3), V::u16(2), V::u16(1)},
         RecordBytes().u32(kRecordToken).u32(3).u16(1).u16(2).text(sid44).bytes()},
        {"enable filter", ZORVANE_IOCTL_ENABLE_FILTER, {V::u32(1)},
         RecordBytes().u32(kRecordToken).u32(1).bytes()},
        {"port options: unblock",
         ZORVANE_IOCTL_PORT_OPTIONS,
         {V::u32(0), V::u32(2), V::portList({80, 443})},
         RecordBytes().u32(kRecordToken).u32(0).u32(2).u16(80).u16(443).bytes()},
        {"server address",
         ZORVANE_IOCTL_SET_SERVER_ADDRESS,
         {V::u32(0x0A000001), V::u32(0xC0A80102), V::u16(8080), V::u16(80)},
         RecordBytes().u32(kRecordToken).u32(0x0A000001).u32(0xC0A80102).u16(8080).u16(80).bytes()},
        {"module status", ZORVANE_IOCTL_GET_MODULE_STATUS, {},
         RecordBytes().u32(kRecordToken).u32(0).bytes()},
        // Host, service status, child.
        {"https blocked",
         ZORVANE_IOCTL_HTTPS_BLOCKED,
         {V::str("ads.example"), V::u32(1), V::u32(7)},
         RecordBytes().u32(kRecordToken).u32(1).u32(7).text("ads.example").bytes()},
        {"device id", ZORVANE_IOCTL_SET_DEVICE_CMD, {V::u32(4711)},
         RecordBytes().u32(kRecordToken).u32(4711).bytes()},
        {"exception ip", ZORVANE_IOCTL_SET_EXCEPTION_IP_CMD, {V::u32(0x7F000001)},
         RecordBytes().u32(kRecordToken).u32(0x7F000001).bytes()},
        {"clear exception ip", ZORVANE_IOCTL_CLEAR_EXCEPTION_IP_CMD, {V::u32(0)},
         RecordBytes().u32(kRecordToken).u32(0).bytes()},
        {"current child", ZORVANE_IOCTL_SET_CURRENT_USER_CMD, {V::u32(5)},
         RecordBytes().u32(kRecordToken).u32(5).bytes()},
        {"redirect pid", ZORVANE_IOCTL_SET_REDIRECT_PID_CMD, {V::u32(4321)},
         RecordBytes().u32(kRecordToken).u32(4321).bytes()},
        {"windows version", ZORVANE_IOCTL_SET_WINDOWS_VERSION_CMD, {V::u32(22)},
         RecordBytes().u32(kRecordToken).u32(22).bytes()},
    };
    return table;
}
