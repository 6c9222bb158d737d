#include "platform/system.h"

#include <windows.h>

#include <cstdio>

#include "platform/lock.h"

bool PlatIsNtFamily() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // 148: the size every Windows version accepts
    if (!GetVersionExA(&info)) return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool PlatObjectName(const char *base, char *out, size_t out_size) {
    // A namespace that does not fit here makes a name longer than any object name this code
    // makes (at most 255 characters, below the system's MAX_PATH): it is refused, never
    // dropped in favour of the global names.
    char scope[256];
    const DWORD length = GetEnvironmentVariableA("QORASST_NAMESPACE", scope, sizeof scope);
    const int n = length >= sizeof scope ? -1
                  : length > 0           ? std::snprintf(out, out_size, "%s.%s", scope, base)
                                         : std::snprintf(out, out_size, "%s", base);
    if (n < 0 || static_cast<size_t>(n) >= out_size) {
        if (out_size > 0) out[0] = '\0';
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // A backslash would name a kernel namespace ("Global\", "Local\"), not a plain object.
    for (char *p = out; *p != '\0'; ++p) {
        if (*p == '\\') *p = '_';
    }
    return true;
}

unsigned long PlatLastError() {
    return GetLastError();
}

void PlatSleep(unsigned milliseconds) {
    Sleep(milliseconds);
}

void PlatYield() {
    Sleep(0);
}

unsigned long PlatProcessId() {
    return GetCurrentProcessId();
}
