// Stand-ins for the two wide-character kernel functions the statically linked runtime calls.
// The 95 family's kernel has them but does not implement them, so the runtime's locks (libgcc's
// thread model, reached through the exception unwinder and emulated TLS) would get no
// semaphore there, and a contended lock would fail. The library's own import slots point here
// instead, and these do the same through the ANSI functions that every Windows implements.
#include <windows.h>

namespace {

// The runtime only makes unnamed semaphores; a name is refused rather than mangled.
HANDLE WINAPI CreateSemaphoreWide(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum,
                                  LPCWSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return CreateSemaphoreA(attributes, initial, maximum, nullptr);
}

HMODULE WINAPI LoadLibraryWide(LPCWSTR name) {
    char ansi[MAX_PATH];
    if (name == nullptr ||
        WideCharToMultiByte(CP_ACP, 0, name, -1, ansi, sizeof ansi, nullptr, nullptr) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryA(ansi);
}

}  // namespace

// The import slots the runtime calls through (their names differ between 32 and 64 bits).
#if defined(__i386__)
#define QOR_IMPORT_SLOT(name, bytes) "__imp__" #name "@" #bytes
#else
#define QOR_IMPORT_SLOT(name, bytes) "__imp_" #name
#endif
extern "C" {
extern void *const qor_create_semaphore_w __asm__(QOR_IMPORT_SLOT(CreateSemaphoreW, 16));
extern void *const qor_load_library_w __asm__(QOR_IMPORT_SLOT(LoadLibraryW, 4));
void *const qor_create_semaphore_w = reinterpret_cast<void *>(&CreateSemaphoreWide);
void *const qor_load_library_w = reinterpret_cast<void *>(&LoadLibraryWide);
}
