#include <windows.h>

#include <sddl.h>

#include <mutex>
#include <string>
#include <vector>

#include "NotifierPlatform.h"
#include "WinOverlappedIo.h"
#include "WinPipeSecurity.h"

namespace NotifierPlatform {

const int kTimedOut = WAIT_TIMEOUT;

namespace {

constexpr const char* kCommandPipeName = "\\\\.\\pipe\\zorvane_notifier_cmd_pipe";

// Overlapped I/O, so a read can give up when the service never answers.
class PipeClient : public CommandPipeClient {
public:
    PipeClient(HANDLE pipe, HANDLE event) : mPipe(pipe), mEvent(event) {}
    ~PipeClient() override {
        CloseHandle(mPipe);
        CloseHandle(mEvent);
    }

    bool write(const char* data, uint32_t length, uint32_t timeoutMs, int& error) override {
        return transferAll(true, const_cast<char*>(data), length, timeoutMs, error);
    }

    bool read(char* data, uint32_t length, uint32_t timeoutMs, int& error) override {
        return transferAll(false, data, length, timeoutMs, error);
    }

private:
    bool transferAll(bool writing, char* data, uint32_t length, uint32_t timeoutMs, int& error) {
        const DWORD start = GetTickCount();
        while (length > 0) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= timeoutMs) {
                error = kTimedOut;
                return false;
            }
            DWORD done = 0;
            if (!transfer(writing, data, length, timeoutMs - spent, done, error)) {
                return false;
            }
            data += done;
            length -= done;
        }
        return true;
    }

    bool transfer(bool writing, char* data, DWORD length, DWORD timeoutMs, DWORD& done,
                  int& error) {
        return WinOverlappedIo::transfer(mPipe, mEvent, writing, data, length, timeoutMs, done,
                                         error);
    }

    HANDLE mPipe;
    HANDLE mEvent;
};

std::mutex stopLock;
std::function<void()> stopCallback;  // guarded by stopLock

BOOL WINAPI onConsoleControl(DWORD /*type*/) {
    std::lock_guard<std::mutex> lock(stopLock);
    if (!stopCallback) {
        return FALSE;  // the default: end the process
    }
    stopCallback();
    return TRUE;
}

}  // namespace

String ownSid(int& error) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        error = static_cast<int>(GetLastError());
        return String();
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size ? size : 1);
    String result;
    if (GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        char* text = nullptr;
        if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
            result = text;
            LocalFree(text);
        }
    }
    if (result.empty()) {
        error = static_cast<int>(GetLastError());
    }
    CloseHandle(token);
    return result;
}

String commandPipeName() {
    return String(kCommandPipeName);
}

std::unique_ptr<CommandPipeClient> openCommandPipe(uint32_t timeoutMs, int& error) {
    // The service serves one notifier at a time: wait while another is served.
    const DWORD start = GetTickCount();
    for (;;) {
        HANDLE pipe = CreateFileA(kCommandPipeName, kPipeClientAccess, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            if (!event) {
                error = static_cast<int>(GetLastError());
                CloseHandle(pipe);
                return nullptr;
            }
            return std::make_unique<PipeClient>(pipe, event);
        }
        error = static_cast<int>(GetLastError());
        if (error != ERROR_PIPE_BUSY) {
            return nullptr;
        }
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs || !WaitNamedPipeA(kCommandPipeName, timeoutMs - spent)) {
            const DWORD waitError = GetLastError();
            // Still busy when the time ran out.
            error = spent >= timeoutMs || waitError == ERROR_SEM_TIMEOUT ? kTimedOut
                                                                          : static_cast<int>(waitError);
            return nullptr;
        }
    }
}

bool showOnDesktop(const String& /*text*/) {
    // The console is this stand-in's desktop on Windows.
    return false;
}

void onStopRequest(std::function<void()> stop) {
    static std::once_flag installed;
    std::call_once(installed, [] { SetConsoleCtrlHandler(onConsoleControl, TRUE); });
    std::lock_guard<std::mutex> lock(stopLock);
    stopCallback = std::move(stop);
}

String errorText(int error) {
    char* text = nullptr;
    DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    String result;
    if (length && text) {
        result = String(text, static_cast<int>(length));
        LocalFree(text);
        while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                                   result.back() == ' ' || result.back() == '.')) {
            result.pop_back();
        }
    }
    return String(result + " (error " + std::to_string(error) + ")");
}

}  // namespace NotifierPlatform
