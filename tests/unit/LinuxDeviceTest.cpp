#include "LinuxDevice.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "cloud/Authentication.h"
#include "system/SystemInfo.h"
#include "TestSupport.h"

namespace {

// Whether the log holds `line` as a whole line (the log file has CRLF line
// ends on Windows).
bool logHasLine(const std::string& line) {
    return testLogContains(line + "\n") || testLogContains(line + "\r\n");
}

std::string commandOutput(const char* command) {
    std::string output;
    FILE* pipe = popen(command, "r");
    if (!pipe) {
        return output;
    }
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof(buffer), pipe)) {
        output.append(buffer, n);
    }
    pclose(pipe);
    return output;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

bool isWireless(const std::string& name) {
    std::string folder = "/sys/class/net/" + name;
    return fileExists(folder + "/wireless") || fileExists(folder + "/phy80211");
}

bool hasHardware(const std::string& name) {
    return fileExists("/sys/class/net/" + name + "/device");
}

// The MAC (no colons) of the first wired interface `ip -o link` lists, or of
// the first wireless one when there is no wired one; interfaces with hardware
// behind them before virtual ones.
std::string expectedSignature(const std::string& ipLink, bool hardware) {
    std::string firstWireless;
    std::istringstream lines(ipLink);
    for (std::string line; std::getline(lines, line);) {
        // "4: eth0: <...> ... link/ether 02:fc:00:00:00:01 brd ..."; veth
        // names carry "@peer".
        size_t nameStart = line.find(": ");
        size_t ether = line.find("link/ether ");
        if (nameStart == std::string::npos || ether == std::string::npos) {
            continue;
        }
        nameStart += 2;
        std::string name = line.substr(nameStart, line.find_first_of("@:", nameStart) - nameStart);
        if (hasHardware(name) != hardware) {
            continue;
        }
        std::string mac;
        for (char c : line.substr(ether + 11, 17)) {
            if (c != ':') {
                mac += c;
            }
        }
        if (!isWireless(name)) {
            return mac;
        }
        if (firstWireless.empty()) {
            firstWireless = mac;
        }
    }
    return firstWireless;
}

TEST(LinuxDevice, SignatureIsTheFirstAdapterIpLinkShows) {
    std::string ipLink = commandOutput("ip -o link 2>/dev/null");
    if (ipLink.empty()) {
        GTEST_SKIP() << "`ip -o link` is not available here";
    }
    std::string expected = expectedSignature(ipLink, true);
    if (expected.empty()) {
        expected = expectedSignature(ipLink, false);
    }
    if (expected.empty()) {
        GTEST_SKIP() << "this machine has no Ethernet or wireless interface";
    }
    LinuxDevice* device = LinuxDevice::instance();
    EXPECT_EQ(Device::instance(), device);
    EXPECT_EQ(LinuxDevice::instance(), device);
    EXPECT_EQ(device->getDeviceSignature(), expected);
    EXPECT_TRUE(logHasLine("WinDevice::WinDevice devSign " + expected));
}

TEST(LinuxDevice, NameIsTheHostNameCutTo15) {
    std::string host = trimmed(commandOutput("hostname 2>/dev/null"));
    if (host.empty()) {
        GTEST_SKIP() << "`hostname` is not available here";
    }
    EXPECT_EQ(LinuxDevice::instance()->getSystemName(), host.substr(0, 15));
    EXPECT_EQ(Authentication::getSystemName(), host.substr(0, 15));
}

struct KindCase {
    const char* type;    // nullptr: no type file
    const char* marker;  // wireless marker folder, or nullptr
    AdapterKind kind;
};

class LinuxInterfaceKind : public testing::TestWithParam<KindCase> {};

TEST_P(LinuxInterfaceKind, ReadsTypeAndWirelessMarker) {
    TempDir sysfs;
    std::filesystem::create_directory(sysfs.path() / "if0");
    if (GetParam().type) {
        writeFile(sysfs.file("if0/type"), GetParam().type);
    }
    if (GetParam().marker) {
        std::filesystem::create_directory(sysfs.path() / "if0" / GetParam().marker);
    }
    EXPECT_EQ(LinuxDevice::interfaceKind(sysfs.path().string(), "if0"), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(Cases, LinuxInterfaceKind,
                         testing::Values(KindCase{"1\n", nullptr, AdapterKind::Ethernet},
                                         KindCase{"1\n", "wireless", AdapterKind::Wireless},
                                         KindCase{"1\n", "phy80211", AdapterKind::Wireless},
                                         KindCase{"772\n", nullptr, AdapterKind::Other},    // lo
                                         KindCase{"65534\n", nullptr, AdapterKind::Other},  // tun
                                         // A wireless marker does not make a non-Ethernet
                                         // link wireless.
                                         KindCase{"801\n", "wireless", AdapterKind::Other},
                                         KindCase{nullptr, nullptr, AdapterKind::Other}));

TEST(LinuxSystemInfo, DescribesTheRunningKernel) {
    std::string expected =
        trimmed(commandOutput("echo \"$(uname -s)_$(uname -r)_$(uname -m)\" 2>/dev/null"));
    EXPECT_EQ(Authentication::GetWindowsVersion(), expected);
    EXPECT_EQ(settingsWindowsVersion(), WindowsUnknown);
    std::string machine = trimmed(commandOutput("uname -m"));
    if (machine == "x86_64") {
        EXPECT_EQ(Authentication::GetWindowsPlatform(), "amd64");
    }
}

}  // namespace
