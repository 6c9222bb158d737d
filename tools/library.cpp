// Finding the library: on Linux by its SONAME, through the program's RUNPATH (the build
// directory, or ../lib of an installed tree) and then the system's library path; on Windows
// by its file name, which the system looks for first beside the program.
#include "library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

#ifdef _WIN32
HMODULE g_library = nullptr;

void *Symbol(const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(g_library, name));
}

// Why the load failed, in the system's words where it has them.
std::string Open() {
    // A DLL whose own imports are missing must not bring up the loader's message box; the
    // documentation of LoadLibrary points to SetErrorMode for this.
    const UINT mode = SetErrorMode(SEM_FAILCRITICALERRORS);
    g_library = LoadLibraryA(QORASST_LIBRARY_NAME);
    const DWORD error = GetLastError();
    SetErrorMode(mode);
    return g_library != nullptr ? ""
                                : QORASST_LIBRARY_NAME ": system error " + std::to_string(error);
}
#else
void *g_library = nullptr;

void *Symbol(const char *name) {
    return dlsym(g_library, name);
}

std::string Open() {
    g_library = dlopen(QORASST_LIBRARY_NAME, RTLD_NOW | RTLD_LOCAL);
    const char *error = g_library == nullptr ? dlerror() : nullptr;
    return g_library != nullptr ? "" : error != nullptr ? error : QORASST_LIBRARY_NAME;
}
#endif

[[noreturn]] void Fail(const std::string &why) {
    std::fprintf(stderr, "qorasst: cannot load the QORasstW library: %s\n", why.c_str());
    std::exit(1);
}

QorExports Load() {
    const std::string error = Open();
    if (!error.empty()) Fail(error);
    QorExports exports{};
#define QORASST_EXPORT_FIND(name)                                           \
    exports.name = reinterpret_cast<decltype(exports.name)>(Symbol(#name)); \
    if (exports.name == nullptr) Fail(QORASST_LIBRARY_NAME " has no export " #name);
    QORASST_EXPORT_LIST(QORASST_EXPORT_FIND)
#undef QORASST_EXPORT_FIND
    return exports;
}

}  // namespace

const QorExports &Qor() {
    static const QorExports exports = Load();
    return exports;
}

void *HardwareFunction(const char *library, const char *name) {
    if (g_library == nullptr) return nullptr;
#ifdef _WIN32
    HMODULE module = GetModuleHandleA(library);
    return module != nullptr ? reinterpret_cast<void *>(GetProcAddress(module, name)) : nullptr;
#else
    (void)library;
    // A handle's lookup covers the library and the libraries it brought in.
    return Symbol(name);
#endif
}
