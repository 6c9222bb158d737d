// Named mappings backed by the paging file. Windows keeps a mapping alive while any process
// holds a handle or a view, and tells the opener whether it already existed (error 183).
#include "platform/mapping.h"

#include <windows.h>

namespace {
HANDLE AsHandle(PlatMapping *mapping) {
    return reinterpret_cast<HANDLE>(mapping);
}
}  // namespace

PlatMapping *PlatMappingCreate(const char *name, uint32_t size, bool *already_existed,
                               uint32_t *error) {
    // A present but null DACL lets every account open the mapping, whichever created it.
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes;
    SECURITY_ATTRIBUTES *security = nullptr;
    if (InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = FALSE;
        security = &attributes;
    }
    // Systems without security (the 95 family) refuse the descriptor; their objects carry
    // none anyway, so the mapping is made without it.

    HANDLE handle =
        CreateFileMappingA(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, 0, size, name);
    const DWORD last = GetLastError();
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
