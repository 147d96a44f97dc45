#include <windows.h>

#include <vector>

#include "port/ServicePaths.h"

namespace ServicePathsBuilder {

ServicePaths build() {
    ServicePaths paths;
    constexpr UINT kBufferSize = 32767;
    std::vector<char> buffer(kBufferSize);
    UINT length = GetWindowsDirectoryA(buffer.data(), kBufferSize);
    if (length == 0 || length >= kBufferSize) {
        return paths;
    }
    String windows(buffer.data(), static_cast<int>(length));
    int firstBackslash = windows.indexOf("\\");
    String drive = firstBackslash < 0 ? windows : String(windows.substr(0, firstBackslash));

    // One level only: ProgramData and Temp belong to the system.
    return fromFolders(drive + "\\ProgramData\\Zorvane\\", windows + "\\Temp\\Zorvane\\");
}

}  // namespace ServicePathsBuilder
