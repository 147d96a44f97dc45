#include "WinPipeSecurity.h"

#include <windows.h>

#include <aclapi.h>

#include "base/Logger.h"

namespace {

constexpr DWORD kAllFileAccess = 0x1F01FF;
constexpr DWORD kPipeBufferSize = 512;

}  // namespace

std::unique_ptr<WinPipeSecurity> WinPipeSecurity::create() {
    Logger* log = Logger::instance();
    std::unique_ptr<WinPipeSecurity> security(new WinPipeSecurity());

    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                  &everyone)) {
        log->out(LOGLEVEL_ERROR, "AllocateAndInitializeSid Error %u\n",
                 static_cast<unsigned>(GetLastError()));
        return nullptr;
    }
    security->mEveryoneSid = everyone;
    // The service's own user (SYSTEM when run by the service manager) makes
    // the further instances of its pipes.
    HANDLE token = nullptr;
    char user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)];
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenUser, user, sizeof user, &size)) {
        log->out(LOGLEVEL_ERROR, "GetTokenInformation Error %u\n",
                 static_cast<unsigned>(GetLastError()));
        if (token) {
            CloseHandle(token);
        }
        return nullptr;
    }
    CloseHandle(token);
    PSID own = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
    const DWORD ownSize = GetLengthSid(own);
    security->mOwnSid = LocalAlloc(LPTR, ownSize);
    if (!security->mOwnSid || !CopySid(ownSize, security->mOwnSid, own)) {
        log->out(LOGLEVEL_ERROR, "LocalAlloc Error %u\n", static_cast<unsigned>(GetLastError()));
        return nullptr;
    }

    // Everyone may use the pipe but not add instances of its name: whoever
    // could would receive some of the desktop program's connections, the
    // parent's password among them.
    EXPLICIT_ACCESSA access[2] = {};
    access[0].grfAccessPermissions = kAllFileAccess & ~FILE_CREATE_PIPE_INSTANCE;
    access[0].Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access[0].Trustee.ptstrName = static_cast<LPSTR>(everyone);
    access[1].grfAccessPermissions = kAllFileAccess;
    access[1].Trustee.TrusteeType = TRUSTEE_IS_USER;
    access[1].Trustee.ptstrName = static_cast<LPSTR>(security->mOwnSid);
    for (EXPLICIT_ACCESSA& entry : access) {
        entry.grfAccessMode = SET_ACCESS;
        entry.grfInheritance = NO_INHERITANCE;
        entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    }
    PACL acl = nullptr;
    DWORD result = SetEntriesInAclA(2, access, nullptr, &acl);
    if (result != ERROR_SUCCESS) {
        log->out(LOGLEVEL_ERROR, "SetEntriesInAcl Error %u\n", static_cast<unsigned>(result));
        return nullptr;
    }
    security->mAcl = acl;

    PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (!descriptor) {
        log->out(LOGLEVEL_ERROR, "LocalAlloc Error %u\n", static_cast<unsigned>(GetLastError()));
        return nullptr;
    }
    security->mDescriptor = descriptor;
    if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        log->out(LOGLEVEL_ERROR, "InitializeSecurityDescriptor Error %u\n",
                 static_cast<unsigned>(GetLastError()));
        return nullptr;
    }
    if (!SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE)) {
        log->out(LOGLEVEL_ERROR, "SetSecurityDescriptorDacl Error %u\n",
                 static_cast<unsigned>(GetLastError()));
        return nullptr;
    }
    return security;
}

WinPipeSecurity::~WinPipeSecurity() {
    if (mDescriptor) {
        LocalFree(mDescriptor);
    }
    if (mAcl) {
        LocalFree(mAcl);
    }
    if (mEveryoneSid) {
        FreeSid(mEveryoneSid);
    }
    if (mOwnSid) {
        LocalFree(mOwnSid);
    }
}

void* createServerPipe(const String& name, uint32_t timeoutMs, const WinPipeSecurity& security,
                       uint32_t maxInstances, bool firstInstance, int& error) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = security.descriptor();
    attributes.bInheritHandle = FALSE;
    // Not every system honours the first-instance flag: a name that answers
    // a wait already has a server, and it is not ours.
    if (firstInstance &&
        (WaitNamedPipeA(name.c_str(), 1) || GetLastError() != ERROR_FILE_NOT_FOUND)) {
        error = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED |
                           (firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    HANDLE pipe = CreateNamedPipeA(name.c_str(), openMode,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                       PIPE_REJECT_REMOTE_CLIENTS,
                                   maxInstances, kPipeBufferSize, kPipeBufferSize, timeoutMs,
                                   &attributes);
    error = pipe == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    return pipe;
}
