// The real filter host with two test-only switches, for the service's driver
// tests: --refuse-response answers every SEND_RESPONSE with 255, and
// --queue CMD:VALUE:DATA queues a read record once the device is up (DATA is
// a text, or #N for a 4-byte number such as a process id).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Dispatch.h"
#include "FilterHost.h"
#include "ReadQueue.h"
#include "zorvane_ioctl.h"

namespace {

bool gRefuseResponse = false;

struct QueuedRecord {
    uint32_t cmd;
    uint32_t value;
    std::string text;
};
std::vector<QueuedRecord> gRecords;

E_ZorvaneIoStatus refusingControl(uint32_t code, void* buffer, uint32_t inputLength,
                                  uint32_t outputLength, uint32_t* returned) {
    const E_ZorvaneIoStatus status =
        ZorvaneDeviceControl(code, buffer, inputLength, outputLength, returned);
    if (code == ZORVANE_IOCTL_SEND_RESPONSE && status == ZORVANE_IO_SUCCESS && *returned == 1) {
        static_cast<uint8_t*>(buffer)[0] = ZORVANE_RESPONSE_REFUSED;
    }
    return status;
}

int extraOption(int argc, char** argv, int index) {
    const std::string option = argv[index];
    if (option == "--refuse-response") {
        gRefuseResponse = true;
        return 1;
    }
    if (option == "--queue" && index + 1 < argc) {
        QueuedRecord record{};
        char text[256] = {};
        if (sscanf(argv[index + 1], "%u:%u:%255[^\n]", &record.cmd, &record.value, text) < 2) {
            return 0;
        }
        record.text = text;
        if (text[0] == '#') {
            const uint32_t number = static_cast<uint32_t>(strtoul(text + 1, nullptr, 10));
            record.text.assign(reinterpret_cast<const char*>(&number), sizeof(number));
        }
        gRecords.push_back(record);
        return 2;
    }
    return 0;
}

void queueRecords() {
    for (const QueuedRecord& record : gRecords) {
        ZorvaneQueueReadRecord(ZorvaneMakeReadRecord(record.cmd, record.value, record.text.data(),
                                                     static_cast<uint32_t>(record.text.size())));
    }
}

}  // namespace

int main(int argc, char** argv) {
    FilterHostOptions options;
    options.packetPath = false;  // the control device is what these tests need
    const int exitCode = ParseFilterHostOptions(
        argc, argv, &options, extraOption,
        "  --refuse-response  answer every SEND_RESPONSE with 255\n"
        "  --queue C:V:DATA   queue read record C with value V and DATA (#N: a u32)\n");
    if (exitCode >= 0) {
        return exitCode;
    }
    return RunFilterHost(options, gRefuseResponse ? refusingControl : nullptr, queueRecords);
}
