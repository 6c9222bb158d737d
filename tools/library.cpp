// Finding the library: beside the program first (the build tree; on Windows the system's
// search order does this), then, on Linux, in the lib directory of an installed tree, and
// last by its SONAME on the system's library path. The two program-relative places are tried
// by path rather than through the program's RUNPATH, which a dlopen interposed by a sanitizer
// runtime does not see (the runtime becomes the caller whose RUNPATH counts).
#include "library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
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
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : "";
    dir = dir.substr(0, dir.find_last_of('/') + 1);
    std::string name = QORASST_LIBRARY_NAME;
    for (const std::string &path :
         {dir + QORASST_LIBRARY_NAME, dir + QORASST_BIN_TO_LIB "/" QORASST_LIBRARY_NAME}) {
        // A library found there is the one meant: its failure to load is the answer.
        if (!dir.empty() && access(path.c_str(), F_OK) == 0) {
            name = path;
            break;
        }
    }
    g_library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    const char *error = g_library == nullptr ? dlerror() : nullptr;
    return g_library != nullptr ? "" : error != nullptr ? error : name;
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
