#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include "port/FileSystem.h"

namespace FileSystem {

bool copyFile(const String& from, const String& to) {
    // CopyFileA keeps the source's last-write time.
    return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool deleteFile(const String& path) {
    return DeleteFileA(path.c_str()) != 0;
}

bool replaceFile(const String& from, const String& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool makePrivateFile(const String& path) {
    // Full control for SYSTEM and Administrators, nothing inherited.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &descriptor, nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &attributes, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool ok = file != INVALID_HANDLE_VALUE;
    if (ok) {
        CloseHandle(file);
        // An existing file keeps its old DACL through CreateFileA: replace it.
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        // SetNamedSecurityInfoA also blocks inheritance; SetFileSecurityA is
        // the call Wine maps onto the file's permissions.
        ok = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
             SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                   nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS &&
             SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
    }
    LocalFree(descriptor);
    return ok;
}

int lastError() {
    return static_cast<int>(GetLastError());
}

}  // namespace FileSystem
