#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "port/FileSystem.h"

namespace FileSystem {

namespace {

// Full control for SYSTEM and Administrators, nothing inherited; SHARED
// files and the folders add read for Users (the folders' read also passes
// down, as the Linux folders' 0755 does).
const char kPrivateFile[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
const char kSharedFile[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FRFX;;;BU)";
const char kFolder[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)";

constexpr DWORD kMaxTrustedFileSize = 64 * 1024;

class Descriptor {
public:
    explicit Descriptor(const char* sddl) {
        ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &mDescriptor,
                                                             nullptr);
    }
    ~Descriptor() { LocalFree(mDescriptor); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return mDescriptor; }
    PACL dacl() const {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL acl = nullptr;
        return mDescriptor && GetSecurityDescriptorDacl(mDescriptor, &present, &acl, &defaulted)
                   ? acl
                   : nullptr;
    }

private:
    PSECURITY_DESCRIPTOR mDescriptor = nullptr;
};

class Handle {
public:
    explicit Handle(HANDLE handle) : mHandle(handle) {}
    ~Handle() {
        if (valid()) {
            CloseHandle(mHandle);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool valid() const { return mHandle != INVALID_HANDLE_VALUE && mHandle != nullptr; }
    HANDLE get() const { return mHandle; }
    HANDLE release() {
        HANDLE handle = mHandle;
        mHandle = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE mHandle;
};

// The process's own user: under Wine every program runs as one user, which
// then owns everything the service makes.
std::vector<char> tokenUser() {
    std::vector<char> buffer;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return buffer;
    }
    DWORD needed = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
    buffer.resize(needed);
    if (needed == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed)) {
        buffer.clear();
    }
    CloseHandle(token);
    return buffer;
}

bool isServiceSid(PSID sid) {
    if (!sid || !IsValidSid(sid)) {
        return false;
    }
    if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
        return true;
    }
    static const std::vector<char> self = tokenUser();
    return !self.empty() &&
           EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(self.data())->User.Sid);
}

String sidText(PSID sid) {
    char* text = nullptr;
    if (!sid || !ConvertSidToStringSidA(sid, &text)) {
        return String("an unknown account");
    }
    String result(text);
    LocalFree(text);
    return result;
}

// Whether an account other than the service's may change what is in the
// object (an ACE that applies to the object itself; inherit-only ones do not).
bool othersMayWrite(PACL dacl, BOOL present) {
    if (!present || !dacl) {
        return true;  // a null DACL lets everybody in
    }
    constexpr ACCESS_MASK kWrites = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD |
                                    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) {
            continue;
        }
        auto* header = static_cast<ACE_HEADER*>(raw);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
            continue;
        }
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        PSID sid = &ace->SidStart;
        if ((ace->Mask & kWrites) && !isServiceSid(sid) && !IsWellKnownSid(sid, WinCreatorOwnerSid)) {
            return true;
        }
    }
    return false;
}

struct Facts {
    bool ok = false;
    DWORD attributes = 0;
    DWORD links = 0;
    String owner;  // empty when the service's
    bool othersWrite = false;
};

Facts factsOf(HANDLE handle) {
    Facts facts;
    BY_HANDLE_FILE_INFORMATION info{};
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!GetFileInformationByHandle(handle, &info) ||
        GetSecurityInfo(handle, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return facts;
    }
    facts.ok = true;
    facts.attributes = info.dwFileAttributes;
    facts.links = info.nNumberOfLinks;
    if (!isServiceSid(owner)) {
        facts.owner = sidText(owner);
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    facts.othersWrite = othersMayWrite(dacl, present);
    LocalFree(descriptor);
    return facts;
}

// Sets the protected DACL on an open object; SetFileSecurityA as well, since
// that is the call Wine maps onto the file's permissions.
bool protect(HANDLE handle, const String& path, const Descriptor& descriptor) {
    return SetSecurityInfo(handle, SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                           nullptr, nullptr, descriptor.dacl(), nullptr) == ERROR_SUCCESS &&
           SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.get());
}

// Opens `path` for writing as a plain file of the service's own with the
// protection's DACL; whatever else stands there is removed first.
HANDLE openOwnFile(const String& path, Protection protection) {
    Descriptor descriptor(protection == Protection::PRIVATE ? kPrivateFile : kSharedFile);
    if (!descriptor.get()) {
        return INVALID_HANDLE_VALUE;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
        Handle file(CreateFileA(path.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                &attributes, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
        if (!file.valid()) {
            return INVALID_HANDLE_VALUE;
        }
        Facts facts = factsOf(file.get());
        if (!facts.ok) {
            return INVALID_HANDLE_VALUE;
        }
        const bool own = !(facts.attributes & (FILE_ATTRIBUTE_REPARSE_POINT |
                                               FILE_ATTRIBUTE_DIRECTORY)) &&
                         facts.links == 1 && facts.owner.empty();
        if (!own) {
            // A link, another name of some file, or a file someone else owns
            // (who could change its DACL back): removed, and made afresh.
            CloseHandle(file.release());
            if (!DeleteFileA(path.c_str())) {
                return INVALID_HANDLE_VALUE;
            }
            continue;
        }
        if (existed && !protect(file.get(), path, descriptor)) {
            return INVALID_HANDLE_VALUE;
        }
        return file.release();
    }
    SetLastError(ERROR_ALREADY_EXISTS);
    return INVALID_HANDLE_VALUE;
}

String withoutTrailingBackslash(const String& folder) {
    String path = folder;
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) {
        path.pop_back();
    }
    return path;
}

String freshNameBeside(const String& folder) {
    const String base(folder + ".moved-" + std::to_string(GetTickCount64()) + "-" +
                      std::to_string(GetCurrentProcessId()));
    String name = base;
    for (int n = 1; GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES; ++n) {
        name = String(base + "-" + std::to_string(n));
    }
    return name;
}

String errorText(const char* what) {
    return String(std::string(what) + " (error " + std::to_string(GetLastError()) + ")");
}

}  // namespace

bool copyFile(const String& from, const String& to) {
    Handle source(CreateFileA(from.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!source.valid() || !GetFileInformationByHandle(source.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        return false;
    }
    Handle target(openOwnFile(to, Protection::PRIVATE));
    if (!target.valid() || !SetEndOfFile(target.get())) {
        return false;
    }
    std::vector<char> block(64 * 1024);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(source.get(), block.data(), static_cast<DWORD>(block.size()), &got,
                      nullptr)) {
            return false;
        }
        if (got == 0) {
            break;
        }
        DWORD written = 0;
        if (!WriteFile(target.get(), block.data(), got, &written, nullptr) || written != got) {
            return false;
        }
    }
    // Keep the source's last-write time: the rollover schedule runs from it.
    return SetFileTime(target.get(), nullptr, nullptr, &info.ftLastWriteTime) != 0;
}

bool deleteFile(const String& path) {
    return DeleteFileA(path.c_str()) != 0;
}

bool replaceFile(const String& from, const String& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

FILE* openForWriting(const String& path, Protection protection, Start start) {
    Handle file(openOwnFile(path, protection));
    if (!file.valid()) {
        return nullptr;
    }
    if (start == Start::EMPTY && !SetEndOfFile(file.get())) {
        return nullptr;
    }
    const int flags = _O_BINARY | (start == Start::APPEND ? _O_APPEND : 0);
    int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), flags);
    if (descriptor < 0) {
        return nullptr;
    }
    file.release();  // the descriptor owns the handle now
    FILE* stream = _fdopen(descriptor, start == Start::APPEND ? "ab" : "wb");
    if (!stream) {
        _close(descriptor);
    }
    return stream;
}

bool prepareFile(const String& path, Protection protection) {
    Handle file(openOwnFile(path, protection));
    return file.valid();
}

bool isLink(const String& path) {
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool readTrustedFile(const String& path, String& content, String& why) {
    content.clear();
    why.clear();
    Handle file(CreateFileA(path.c_str(), GENERIC_READ | READ_CONTROL,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            why = errorText("cannot be opened");
        }
        return false;
    }
    Facts facts = factsOf(file.get());
    if (!facts.ok) {
        why = errorText("cannot be read");
    } else if (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        why = "a link";
    } else if (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) {
        why = "not a plain file";
    } else if (!facts.owner.empty()) {
        why = String("owned by " + facts.owner);
    } else if (facts.othersWrite) {
        why = "writable by others";
    }
    if (!why.empty()) {
        return false;
    }
    std::vector<char> block(4096);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr)) {
            why = errorText("cannot be read");
            content.clear();
            return false;
        }
        if (got == 0 || content.size() + got > kMaxTrustedFileSize) {
            break;
        }
        content.append(block.data(), got);
    }
    return true;
}

FolderResult makeServiceFolder(const String& folderText) {
    FolderResult result;
    const String folder = withoutTrailingBackslash(folderText);
    Descriptor descriptor(kFolder);
    if (!descriptor.get()) {
        result.note = String(folder + " refused: " + errorText("no security descriptor"));
        return result;
    }
    for (int attempt = 0; attempt < 3 && !result.usable; ++attempt) {
        SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
        if (CreateDirectoryA(folder.c_str(), &attributes)) {
            // Also through the path, which is what Wine maps onto the mode.
            result.usable = SetFileSecurityA(folder.c_str(), DACL_SECURITY_INFORMATION,
                                             descriptor.get()) != 0;
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            result.note += String(folder + " cannot be made: " + errorText("CreateDirectoryA") +
                                  ". ");
            break;
        }
        Handle handle(CreateFileA(folder.c_str(), READ_CONTROL | WRITE_DAC,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
        if (!handle.valid()) {
            continue;  // gone again, or not ours to open: try to make it
        }
        Facts facts = factsOf(handle.get());
        String reason;
        if (!facts.ok) {
            reason = errorText("unreadable");
        } else if (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            reason = "a link";
        } else if (!(facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            reason = "not a folder";
        } else if (!facts.owner.empty()) {
            reason = String("owned by " + facts.owner);
        }
        if (reason.empty()) {
            // Ours. Users may have been let in (folders the service used to
            // make inherited "create files" from ProgramData): the files in
            // it are each checked when used, and the folder is closed now.
            if (facts.othersWrite) {
                result.note += String(folder + " was writable by others, protection reset. ");
            }
            result.usable = protect(handle.get(), folder, descriptor);
            break;
        }
        CloseHandle(handle.release());
        // Nothing found in it is used: it goes aside whole.
        const String aside = freshNameBeside(folder);
        if (!MoveFileExA(folder.c_str(), aside.c_str(), 0)) {
            result.note += String(folder + " is " + reason + " and cannot be moved aside: " +
                                  errorText("MoveFileExA") + ". ");
            break;
        }
        result.note += String(folder + " was " + reason + ", moved aside to " + aside + ". ");
    }
    if (!result.usable) {
        result.note += String(folder + " refused. ");
    }
    if (!result.note.empty()) {
        result.note.pop_back();
    }
    return result;
}

int lastError() {
    return static_cast<int>(GetLastError());
}

}  // namespace FileSystem
