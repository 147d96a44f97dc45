#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <ctime>

#include "system/SystemInfo.h"

namespace {

// The same bound as the Windows computer name (15 characters).
constexpr size_t kMaxComputerName = 15;

}  // namespace

namespace SystemInfo {

String computerName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0) {
        return String();
    }
    // Windows never reports more than 15 characters; cutting a longer host
    // name keeps the cloud's view of the name within that bound.
    return String(name).substr(0, kMaxComputerName);
}

String platform() {
    struct utsname system {};
    if (uname(&system) != 0) {
        return "x86";
    }
    String machine = system.machine;
    if (machine == "x86_64") {
        return "amd64";
    }
    if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") {
        return "x86";
    }
    // Neither name fits other processors (arm64, ...); their own name is the
    // honest answer.
    return machine;
}

String versionDescription() {
    struct utsname system {};
    if (uname(&system) != 0) {
        return finishVersionDescription(String());
    }
    return finishVersionDescription(String(system.sysname) + " " + system.release + " " +
                                    system.machine);
}

WindowsVersion windowsVersion() {
    return WindowsUnknown;
}

String timeZoneName() {
    tzset();
    return String(tzname[0]);
}

}  // namespace SystemInfo
