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

    EXPLICIT_ACCESSA access{};
    access.grfAccessPermissions = kAllFileAccess;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPSTR>(everyone);
    PACL acl = nullptr;
    DWORD result = SetEntriesInAclA(1, &access, nullptr, &acl);
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
