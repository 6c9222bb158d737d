#include "platform/system.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/lock.h"
#include "platform/win32/objects.h"

bool PlatIsNtFamily() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // 148: the size every Windows version accepts
    if (!GetVersionExA(&info)) return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool Win32HasSessionNamespaces() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           info.dwMajorVersion >= 5;
}

bool Win32ObjectName(const char *base, const char *scope, bool global, char *out, size_t size) {
    const char *prefix = global ? "Global\\" : "";
    const int n = scope != nullptr && scope[0] != '\0'
                      ? std::snprintf(out, size, "%s%s.%s", prefix, scope, base)
                      : std::snprintf(out, size, "%s%s", prefix, base);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        if (size > 0) out[0] = '\0';
        return false;
    }
    // A backslash would name a kernel namespace ("Global\", "Local\"), not a plain object.
    for (char *p = out + std::strlen(prefix); *p != '\0'; ++p) {
        if (*p == '\\') *p = '_';
    }
    return true;
}

bool PlatObjectName(const char *base, char *out, size_t out_size) {
    // A namespace that does not fit here makes a name longer than any object name this code
    // makes (at most 255 characters, below the system's MAX_PATH): it is refused, never
    // dropped in favour of the unscoped names.
    char scope[256];
    const DWORD length = GetEnvironmentVariableA("QORASST_NAMESPACE", scope, sizeof scope);
    if (length >= sizeof scope || !Win32ObjectName(base, length > 0 ? scope : nullptr,
                                                   Win32HasSessionNamespaces(), out, out_size)) {
        if (out_size > 0) out[0] = '\0';
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
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
