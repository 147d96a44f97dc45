#include "WineDesktop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

std::wstring wideWindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath) {
        path.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return path;
}

std::string narrow(const std::wstring& wide) {
    std::string bytes;
    for (wchar_t unit : wide) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
    }
    return bytes;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done();
}

bool haveUnixTool(const char* path) {
    return GetFileAttributesW(wideWindowsPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

UnixFolder::UnixFolder() {
    // A folder this object made: never one that existed (another object of
    // this test, or somebody else's name in /tmp).
    static int made = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        mUnix = "/tmp/zorvane-gui-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(GetTickCount()) + "-" + std::to_string(++made);
        if (CreateDirectoryW(wideWindowsPath(mUnix).c_str(), nullptr)) {
            return;
        }
    }
    ADD_FAILURE() << "no fresh folder in /tmp for " << mUnix;
}

UnixFolder::~UnixFolder() {
    if (!testing::Test::HasFailure()) {
        std::error_code ignored;
        std::filesystem::remove_all(wideWindowsPath(mUnix), ignored);
    }
}

std::string UnixFolder::read(const std::string& name) const {
    return readFile(narrow(wideWindowsPath(mUnix + "/" + name)));
}

void UnixFolder::write(const std::string& name, const std::string& content) const {
    writeFile(narrow(wideWindowsPath(mUnix + "/" + name)), content);
}

std::string UnixFolder::runScript(const std::string& script) const {
    write("script.sh", "cd '" + mUnix + "' || exit 1\n" + script + "\n");
    DeleteFileW(wideWindowsPath(mUnix + "/result").c_str());
    std::wstring line = L"start.exe /wait /unix /bin/sh ";
    for (char c : mUnix + "/script.sh") {
        line.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return "cannot start the script";
    }
    WaitForSingleObject(process.hProcess, 60000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::string result;
    waitFor([&] {
        result = read("result");
        return !result.empty();
    });
    return result;
}

DesktopRun::DesktopRun(const std::string& unixProgram, const std::wstring& arguments) {
    std::wstring line = L"\"" + wideWindowsPath(unixProgram) + L"\"" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    const std::wstring folder = mDir.path().wstring();
    mStarted = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                              folder.c_str(), &startup, &mProcess) != 0;
}

DesktopRun::~DesktopRun() {
    if (mStarted) {
        if (WaitForSingleObject(mProcess.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(mProcess.hProcess, 99);
            WaitForSingleObject(mProcess.hProcess, 10000);
        }
        CloseHandle(mProcess.hThread);
        CloseHandle(mProcess.hProcess);
    }
}

HWND DesktopRun::dialog(const wchar_t* caption, int timeoutMs) const {
    HWND found = nullptr;
    waitFor(
        [&] {
            found = FindWindowW(L"#32770", caption);
            DWORD owner = 0;
            if (found) {
                GetWindowThreadProcessId(found, &owner);
            }
            return found && owner == mProcess.dwProcessId && IsWindowVisible(found);
        },
        timeoutMs);
    DWORD owner = 0;
    if (found) {
        GetWindowThreadProcessId(found, &owner);
    }
    return found && owner == mProcess.dwProcessId && IsWindowVisible(found) ? found : nullptr;
}

DWORD DesktopRun::exitCode() const {
    WaitForSingleObject(mProcess.hProcess, 20000);
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(mProcess.hProcess, &code);
    return code;
}

std::wstring text(HWND window) {
    wchar_t buffer[512] = {};
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

void setText(HWND dialog, int id, const std::wstring& value) {
    SendMessageW(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value.c_str()));
}

void click(HWND dialog, int id) {
    PostMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

std::vector<HWND> rowControls(HWND dialog, const wchar_t* className) {
    std::vector<HWND> found;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[64] = {};
        GetClassNameW(child, name, 64);
        if (GetDlgCtrlID(child) == kRowControl && lstrcmpiW(name, className) == 0) {
            found.push_back(child);
        }
    }
    return found;
}

bool canShowWindows() {
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    if (!probe) {
        return false;
    }
    DestroyWindow(probe);
    return true;
}
