#include "platform/system.h"

#include <windows.h>

#include <cstdio>

bool PlatIsNtFamily() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;  // 148: the size every Windows version accepts
    if (!GetVersionExA(&info)) return false;
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

void PlatObjectName(const char *base, char *out, size_t out_size) {
    char scope[128];
    const DWORD length = GetEnvironmentVariableA("QORASST_NAMESPACE", scope, sizeof scope);
    if (length > 0 && length < sizeof scope) {
        std::snprintf(out, out_size, "%s.%s", scope, base);
    } else {
        std::snprintf(out, out_size, "%s", base);
    }
    // A backslash would name a kernel namespace ("Global\", "Local\"), not a plain object.
    for (char *p = out; *p != '\0'; ++p) {
        if (*p == '\\') *p = '_';
    }
}

unsigned long PlatLastError() {
    return GetLastError();
}
