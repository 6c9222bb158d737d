// Named mappings backed by the paging file. Windows keeps a mapping alive while any process
// holds a handle or a view, and tells the opener whether it already existed (error 183).
#include "platform/mapping.h"

#include <windows.h>

#include "platform/win32/objects.h"

namespace {
HANDLE AsHandle(PlatMapping *mapping) {
    return reinterpret_cast<HANDLE>(mapping);
}
}  // namespace

PlatMapping *PlatMappingCreate(const char *name, uint32_t size, bool *already_existed,
                               uint32_t *error) {
    // Open to every account, whichever created it (null where the system has no security).
    Win32OpenSecurity security;
    HANDLE handle =
        CreateFileMappingA(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0, size, name);
    DWORD last = GetLastError();
    // Without the privilege to create global objects (SeCreateGlobalPrivilege), the existing
    // mapping is opened, or else the session's own name is used (docs/windows.md).
    if (handle == nullptr && last == ERROR_ACCESS_DENIED && Win32SessionName(name) != nullptr) {
        handle = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
        last = handle != nullptr ? ERROR_ALREADY_EXISTS : GetLastError();
        if (handle == nullptr) {
            handle = CreateFileMappingA(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0,
                                        size, Win32SessionName(name));
            last = GetLastError();
        }
    }
    if (handle == nullptr) {
        *error = last;
        return nullptr;
    }
    *already_existed = last == ERROR_ALREADY_EXISTS;
    return reinterpret_cast<PlatMapping *>(handle);
}

void *PlatMappingMap(PlatMapping *mapping, uint32_t *error) {
    void *view = MapViewOfFile(AsHandle(mapping), FILE_MAP_WRITE, 0, 0, 0);
    if (view == nullptr) *error = GetLastError();
    return view;
}

void PlatMappingUnmap(PlatMapping *, void *view) {
    if (view != nullptr) UnmapViewOfFile(view);
}

void PlatMappingClose(PlatMapping *mapping) {
    if (mapping != nullptr) CloseHandle(AsHandle(mapping));
}
