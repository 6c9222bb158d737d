// The host's addresses from the Winsock resolver and its routing table from "netstat -r".
#include "platform/hostinfo.h"

// The Winsock headers need the types of <windows.h> first.
// clang-format off
#include <windows.h>
#include <winsock.h>
#include <nspapi.h>
// clang-format on

#include <cstdio>
#include <cstring>

#include "platform/activity.h"
#include "platform/system.h"

namespace {

constexpr DWORD kNetstatWaitMs = 5000;
constexpr size_t kMaxTableBytes = 256 * 1024;  // far more than 256 rows of netstat text

// Reads the child's output, at most kMaxTableBytes of it.
bool ReadTable(const char *path, std::string *text) {
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    text->clear();
    char chunk[4096];
    size_t n = 0;
    while (text->size() < kMaxTableBytes && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text->append(chunk, n);
    }
    std::fclose(file);
    return true;
}

// The full path of netstat: the system folder on NT, the Windows folder on the 95 family
// (where NETSTAT.EXE lives). Never found by the search path, so a netstat.exe planted beside
// the application or in its working folder never runs.
bool NetstatPath(char *path, size_t size) {
    const UINT length = PlatIsNtFamily() ? GetSystemDirectoryA(path, static_cast<UINT>(size))
                                         : GetWindowsDirectoryA(path, static_cast<UINT>(size));
    if (length == 0 || length >= size) return false;
    const int n = std::snprintf(path + length, size - length, "%sNETSTAT.EXE",
                                path[length - 1] == '\\' ? "" : "\\");
    return n > 0 && static_cast<size_t>(n) < size - length;
}

// Runs "netstat -r" with its standard output in the file; false when it cannot be started.
bool RunNetstat(HANDLE output) {
    char path[MAX_PATH];
    if (!NetstatPath(path, sizeof path)) return false;
    // Nothing of this process's own start-up information (its title, its window placement, the
    // C runtime's file table) is handed on: only the hidden window and the three handles.
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    char command[] = "netstat -r";
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(path, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &child)) {
        return false;
    }
    // A command that has not ended in time is stopped, so that its file can be read and removed.
    if (WaitForSingleObject(child.hProcess, kNetstatWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, kNetstatWaitMs);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return true;
}

// Winsock 1.1, loaded for each query (LoadLibraryA), so that the DLL also loads on a Windows 95
// without networking, where WSOCK32.DLL is missing: the host then has no address.
struct Winsock {
    HMODULE module = LoadLibraryA("WSOCK32.DLL");
    decltype(&WSAStartup) startup = Find<decltype(&WSAStartup)>("WSAStartup");
    decltype(&EnumProtocolsA) enum_protocols = Find<decltype(&EnumProtocolsA)>("EnumProtocolsA");
    decltype(&gethostname) host_name = Find<decltype(&gethostname)>("gethostname");
    decltype(&gethostbyname) host_by_name = Find<decltype(&gethostbyname)>("gethostbyname");
    decltype(&WSACleanup) cleanup = Find<decltype(&WSACleanup)>("WSACleanup");

    Winsock() = default;
    Winsock(const Winsock &) = delete;
    Winsock &operator=(const Winsock &) = delete;
    ~Winsock() {
        if (module != nullptr) FreeLibrary(module);
    }
    bool complete() const {
        return startup && enum_protocols && host_name && host_by_name && cleanup;
    }

  private:
    template <typename Proc>
    Proc Find(const char *name) const {
        // Through the generic function type, which every function pointer converts to cleanly.
        using Generic = void (*)();
        return module == nullptr ? nullptr
                                 : reinterpret_cast<Proc>(
                                       reinterpret_cast<Generic>(GetProcAddress(module, name)));
    }
};

}  // namespace

int PlatHostAddresses(uint32_t *addresses, int capacity) {
    PlatNoteActivity(PlatActivity::kHostAddresses);
    Winsock winsock;
    if (winsock.module == nullptr) return 0;
    if (!winsock.complete()) return -1;
    WSADATA data;
    if (winsock.startup(0x0101, &data) != 0) return -1;
    int result = -1;
    // Only "no TCP protocol installed" (0) stops here; the error for the missing buffer is the
    // usual answer.
    INT protocols[2] = {IPPROTO_TCP, 0};
    DWORD length = 0;
    if (winsock.enum_protocols(protocols, nullptr, &length) != 0) {
        char name[255] = {};
        if (winsock.host_name(name, sizeof name) == 0) {
            const hostent *host = winsock.host_by_name(name);
            if (host != nullptr && host->h_addrtype == AF_INET && host->h_length == 4) {
                int count = 0;
                for (char **entry = host->h_addr_list; *entry != nullptr && count < capacity;
                     ++entry) {
                    std::memcpy(&addresses[count++], *entry, 4);
                }
                result = count;
            }
        }
    }
    winsock.cleanup();
    return result;
}

bool PlatRouteTable(std::string *text) {
    PlatNoteActivity(PlatActivity::kRouteTable);
    // A unique file, created here and so never taken by another program in between.
    char folder[MAX_PATH];
    const DWORD folder_length = GetTempPathA(sizeof folder, folder);
    if (folder_length == 0 || folder_length >= sizeof folder) return false;
    char path[MAX_PATH];
    if (GetTempFileNameA(folder, "qip", 0, path) == 0) return false;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileA(path);
        return false;
    }
    const bool ran = RunNetstat(file);
    CloseHandle(file);
    const bool read = ran && ReadTable(path, text);
    DeleteFileA(path);
    return read;
}

bool PlatComputerName(char *, size_t) {
    return false;
}

bool PlatLoginName(char *, size_t) {
    return false;
}

bool PlatGetEnv(const char *name, char *out, size_t size) {
    const DWORD length = GetEnvironmentVariableA(name, out, static_cast<DWORD>(size));
    return length > 0 && length < size;
}
