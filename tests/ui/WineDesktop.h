#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"

// Helpers for Windows tests that drive windows under Wine on a virtual
// display: paths of this machine, Unix tools run on the display, and one run
// of a desktop program watched from outside.

// The Windows path of a file of this machine (Wine maps drive Z: to /).
std::wstring wideWindowsPath(const std::string& unixPath);
// The low 8 bits of each unit, for texts the tests compare as bytes.
std::string narrow(const std::wstring& wide);
// Polls `done` every 20 ms; false when it is still false after `timeoutMs`.
bool waitFor(const std::function<bool()>& done, int timeoutMs = 20000);
// Control ids of the two dialogs the tests drive.
constexpr int kUserName = 1000;
constexpr int kPassword = 1001;
constexpr int kStatus = 1002;
constexpr int kRowControl = 4000;  // every control of an account row

// A window's text, as another process reads it.
std::wstring text(HWND window);
void setText(HWND dialog, int id, const std::wstring& value);
// Posted, so that a dialog the click opens does not block the caller.
void click(HWND dialog, int id);
// The row controls of one window class ("ComboBox", "Static"), in the order made.
std::vector<HWND> rowControls(HWND dialog, const wchar_t* className);

// Whether this process can make windows: Wine makes them only on a display
// (cmake/wine-gui-run.sh gives one through xvfb-run).
bool canShowWindows();
// Whether this machine has the file (a Unix tool such as /usr/bin/xdotool).
bool haveUnixTool(const char* path);

// A fresh folder of this machine's /tmp reached through Wine's Z: drive, for
// the Unix programs (xdotool, ImageMagick, native servers) a test runs.
class UnixFolder {
public:
    UnixFolder();
    // Kept when the test failed: what it holds shows why.
    ~UnixFolder();
    UnixFolder(const UnixFolder&) = delete;
    UnixFolder& operator=(const UnixFolder&) = delete;

    const std::string& unixPath() const { return mUnix; }
    std::string read(const std::string& name) const;
    void write(const std::string& name, const std::string& content) const;
    // Runs `script` with /bin/sh (through Wine's start.exe /unix), in this
    // folder; waits for it (up to 60 s) and answers what it wrote to the
    // file "result".
    std::string runScript(const std::string& script) const;

private:
    std::string mUnix;
};

// One run of a desktop program (ZorvaneUi.exe or a program built like it)
// in a folder of its own, where its UI.log goes. Ended when the object goes.
class DesktopRun {
public:
    DesktopRun(const std::string& unixProgram, const std::wstring& arguments);
    ~DesktopRun();
    DesktopRun(const DesktopRun&) = delete;
    DesktopRun& operator=(const DesktopRun&) = delete;

    bool started() const { return mStarted; }
    // A visible top-level dialog of this process with `caption`; null after
    // `timeoutMs`.
    HWND dialog(const wchar_t* caption, int timeoutMs = 20000) const;
    // The full exit code; STILL_ACTIVE when it has not ended within 20 s.
    DWORD exitCode() const;
    std::string log() const { return readFile(mDir.file("UI.log")); }

private:
    TempDir mDir;
    PROCESS_INFORMATION mProcess{};
    bool mStarted = false;
};
