#pragma once

#include <cstdint>
#include <memory>

#include "base/String.h"

// The rights a client of the service's pipes asks for: GENERIC_WRITE would
// include FILE_APPEND_DATA, the bit that is also FILE_CREATE_PIPE_INSTANCE.
constexpr unsigned long kPipeClientAccess = 0x80000000ul /* GENERIC_READ */ |
                                            0x0002ul /* FILE_WRITE_DATA */;

// The security of the service's pipes: a descriptor whose DACL grants the
// well-known group Everyone all file access but the right to create pipe
// instances (0x1F01FF less FILE_CREATE_PIPE_INSTANCE), so that any local
// user's desktop program may connect but nobody can serve the name beside
// the service, and the service's own user all file access. Frees what it
// allocated.
class WinPipeSecurity {
public:
    // Builds the descriptor; null (each failing step logged) on failure.
    static std::unique_ptr<WinPipeSecurity> create();
    ~WinPipeSecurity();
    WinPipeSecurity(const WinPipeSecurity&) = delete;
    WinPipeSecurity& operator=(const WinPipeSecurity&) = delete;

    void* descriptor() const { return mDescriptor; }  // PSECURITY_DESCRIPTOR

private:
    WinPipeSecurity() = default;

    void* mEveryoneSid = nullptr;  // PSID, FreeSid
    void* mOwnSid = nullptr;       // PSID, LocalFree
    void* mAcl = nullptr;          // PACL, LocalFree
    void* mDescriptor = nullptr;   // LocalFree
};

// One instance of a duplex byte-mode pipe for overlapped I/O, of at most
// `maxInstances`, with 512-byte buffers, the given default time-out and the
// security above (not inheritable). `firstInstance` fails the call when the
// name exists already: nobody else may have made it while the service was
// away. Returns the handle, or INVALID_HANDLE_VALUE with the system error in
// `error`.
void* createServerPipe(const String& name, uint32_t timeoutMs, const WinPipeSecurity& security,
                       uint32_t maxInstances, bool firstInstance, int& error);
