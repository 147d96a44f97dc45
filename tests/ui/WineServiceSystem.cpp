#include "WineServiceSystem.h"

// clang-format off
#include <windows.h>
#include <sddl.h>
// clang-format on

#include <sstream>

#include "WinScm.h"

namespace {

constexpr char kFilterService[] = "Zorvane_Filter_service";
constexpr char kWatchdogService[] = "ZorvMan";

std::string programDataFolder() {
    char windows[MAX_PATH] = {};
    GetWindowsDirectoryA(windows, MAX_PATH);
    return std::string(windows).substr(0, 2) + "\\ProgramData\\Zorvane\\";
}

// Writes `content` as a file only SYSTEM and the administrators may change,
// as the service demands of its configuration.
std::string writeProtectedFile(const std::string& path, const std::string& content) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
        return "no security descriptor: " + std::to_string(GetLastError());
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    DeleteFileA(path.c_str());
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    std::string error;
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE) {
        error = "cannot create " + path + ": " + std::to_string(GetLastError());
    } else {
        if (!WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written,
                       nullptr) ||
            written != content.size()) {
            error = "cannot write " + path + ": " + std::to_string(GetLastError());
        }
        CloseHandle(file);
        // Wine keeps a file's access list through this call.
        if (error.empty() &&
            !SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor)) {
            error = "cannot protect " + path + ": " + std::to_string(GetLastError());
        }
    }
    LocalFree(descriptor);
    return error;
}

}  // namespace

WineServiceSystem::WineServiceSystem(std::string serviceProgram, std::string cloudProgram)
    : mServiceProgram(std::move(serviceProgram)), mCloudProgram(std::move(cloudProgram)) {}

WineServiceSystem::~WineServiceSystem() {
    stop();
}

bool WineServiceSystem::cloudProgramExists() const {
    return haveUnixTool(mCloudProgram.c_str());
}

std::string WineServiceSystem::start() {
    // Whatever an earlier run left: Wine starts an installed automatic
    // service with every program in the prefix.
    stop();
    const std::string cloudFailure = startCloud();
    if (!cloudFailure.empty()) {
        return cloudFailure;
    }
    const std::string marker = "waiting for UI command\n";
    const size_t before = readServiceLog().size();
    ProgramResult install = runProgram("\"" + windowsPath(mServiceProgram) + "\" -i");
    if (install.exitCode != 0) {
        return "the service did not install (" + std::to_string(install.exitCode) +
               "): " + install.output;
    }
    for (int i = 0; i < 300; ++i) {
        const std::string log = readServiceLog();
        if (log.size() >= before && log.find(marker, before) != std::string::npos) {
            return std::string();
        }
        Sleep(100);
    }
    return "the service does not serve the desktop program: " + serviceLog();
}

std::string WineServiceSystem::startCloud() {
    const std::string script = "timeout 600 '" + mCloudProgram + "' --state '" +
                               mFolder.unixPath() +
                               "/state' --http-port any --https-port any --port-file ports"
                               " --log requests.log > output.log 2>&1 &\n"
                               "echo $! > cloud.pid\n"
                               "echo started > result";
    if (mFolder.runScript(script) != "started\n") {
        return "the cloud program could not be started";
    }
    mCloudStarted = true;
    std::string certificate;
    waitFor([&] {
        std::istringstream ports(mFolder.read("ports"));
        std::string key;
        std::string value;
        while (ports >> key >> value) {
            if (key == "https") {
                mHttpsPort = std::stoi(value);
            } else if (key == "certificate") {
                certificate = value;
            }
        }
        return mHttpsPort != 0 && !certificate.empty();
    });
    if (mHttpsPort == 0 || certificate.empty()) {
        return "the cloud is not listening: " + cloudOutput();
    }

    const std::string folder = programDataFolder();
    CreateDirectoryA(folder.c_str(), nullptr);  // fails harmlessly when it exists
    // By name: Wine's TLS does not match the address against the
    // certificate's IP entry, only the name against its DNS entry.
    const std::string url =
        "https://localhost:" + std::to_string(mHttpsPort) + "/cgi-bin/connection";
    const std::string error = writeProtectedFile(
        folder + "zorvane_cloud.conf",
        "connection_url=" + url + "\nconnection_url_fallback=" + url +
            "\nca_file=" + windowsPath(certificate) + "\nconnect_timeout_ms=3000\n");
    return error;
}

void WineServiceSystem::stop() {
    removeService(kFilterService);
    removeService(kWatchdogService);
    if (mCloudStarted) {
        mFolder.runScript("kill $(cat cloud.pid); echo stopped > result");
        mCloudStarted = false;
    }
    const std::string folder = programDataFolder();
    for (const char* name : {"zorvane_cloud.conf", "zorvane.cred", "https_cache"}) {
        DeleteFileA((folder + name).c_str());
    }
}

std::string WineServiceSystem::cloudOutput() const {
    return mFolder.read("output.log");
}

std::string WineServiceSystem::serviceLog() const {
    return readServiceLog();
}
