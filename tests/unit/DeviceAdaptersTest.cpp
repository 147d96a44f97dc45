#include "system/DeviceAdapters.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

// Whether the log holds `line` as a whole line (the log file has CRLF line
// ends on Windows).
bool logHasLine(const std::string& line) {
    return testLogContains(line + "\n") || testLogContains(line + "\r\n");
}

AdapterRecord ethernet(std::vector<unsigned char> address, const char* name = "lan") {
    return AdapterRecord{AdapterKind::Ethernet, std::move(address), name};
}

AdapterRecord wireless(std::vector<unsigned char> address, const char* name = "wifi") {
    return AdapterRecord{AdapterKind::Wireless, std::move(address), name};
}

AdapterRecord other(std::vector<unsigned char> address) {
    return AdapterRecord{AdapterKind::Other, std::move(address), "other"};
}

const std::vector<unsigned char> kMacA = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
const std::vector<unsigned char> kMacB = {0xAA, 0xBB, 0xCC, 0x0D, 0xEE, 0xFF};
const std::vector<unsigned char> kMacC = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

struct ChoiceCase {
    const char* label;
    std::vector<AdapterRecord> adapters;
    std::map<String, String> devList;
    const char* signature;
};

class AdapterChoice : public testing::TestWithParam<ChoiceCase> {};

TEST_P(AdapterChoice, NamesAdaptersAndPicksTheSignature) {
    const ChoiceCase& c = GetParam();
    std::map<String, String> devList = buildAdapterMap(c.adapters);
    EXPECT_EQ(devList, c.devList);
    EXPECT_EQ(chooseDeviceSignature(devList), c.signature);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdapterChoice,
    testing::Values(
        ChoiceCase{"WiredWinsOverEarlierWireless",
                   {wireless(kMacA), ethernet(kMacB)},
                   {{"wlan0", "001a2b3c4d5e"}, {"eth0", "aabbcc0deeff"}},
                   "aabbcc0deeff"},
        // A tunnel reported as Ethernet has no address and takes no number.
        ChoiceCase{"ZeroLengthWiredIsSkipped",
                   {ethernet({}), ethernet(kMacB)},
                   {{"eth0", "aabbcc0deeff"}},
                   "aabbcc0deeff"},
        ChoiceCase{"TwoWiredInSystemOrder",
                   {ethernet(kMacB), wireless(kMacC), ethernet(kMacA)},
                   {{"eth0", "aabbcc0deeff"}, {"eth1", "001a2b3c4d5e"}, {"wlan0", "020000000001"}},
                   "aabbcc0deeff"},
        ChoiceCase{"OnlyWireless",
                   {wireless(kMacC), wireless(kMacA)},
                   {{"wlan0", "020000000001"}, {"wlan1", "001a2b3c4d5e"}},
                   "020000000001"},
        ChoiceCase{"NoAdapters", {}, {}, ""},
        ChoiceCase{"OtherKindsIgnored", {other(kMacA), other(kMacB)}, {}, ""},
        // Only the first six bytes of a longer (8-byte) address are the MAC.
        ChoiceCase{"LongAddressUsesFirstSixBytes",
                   {ethernet({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08})},
                   {{"eth0", "010203040506"}},
                   "010203040506"},
        // Too short to be a MAC: skipped, and the next adapter is eth0.
        ChoiceCase{"ShortAddressIsSkipped",
                   {ethernet({0x01, 0x02, 0x03, 0x04}), ethernet(kMacC)},
                   {{"eth0", "020000000001"}},
                   "020000000001"}),
    [](const testing::TestParamInfo<ChoiceCase>& testInfo) {
        return std::string(testInfo.param.label);
    });

TEST(AdapterChoice, LogsEachAdapterAndTheChoice) {
    std::map<String, String> devList = buildAdapterMap(
        {other({}), ethernet(kMacA, "{lan-guid}"), wireless({0x5a, 0x5b, 0x5c, 0x5d, 0x5e, 0x5f})});
    chooseDeviceSignature(devList);
    EXPECT_TRUE(logHasLine("pCurrAddresses->PhysicalAddressLength 0"));
    EXPECT_TRUE(logHasLine("adapter name {lan-guid}"));
    EXPECT_TRUE(logHasLine("one we need"));
    EXPECT_TRUE(logHasLine("lan eth0 001a2b3c4d5e"));
    EXPECT_TRUE(logHasLine("wifi wlan0 5a5b5c5d5e5f"));
    EXPECT_TRUE(logHasLine("WinDevice::WinDevice devSign 001a2b3c4d5e"));
}

}  // namespace
