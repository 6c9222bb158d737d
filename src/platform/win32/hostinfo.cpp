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

// Runs "netstat -r" with its standard output in the file; false when it cannot be started.
bool RunNetstat(HANDLE output) {
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    startup.dwFlags |= STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.lpTitle = nullptr;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // The C runtime passes its own file table here; the child must take the handles above.
    startup.cbReserved2 = 0;
    startup.lpReserved2 = nullptr;
    char command[] = "netstat -r";
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
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

}  // namespace

int PlatHostAddresses(uint32_t *addresses, int capacity) {
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return -1;
    int result = -1;
    // Only "no TCP protocol installed" (0) stops here; the error for the missing buffer is the
    // usual answer.
    INT protocols[2] = {IPPROTO_TCP, 0};
    DWORD length = 0;
    if (EnumProtocolsA(protocols, nullptr, &length) != 0) {
        char name[255] = {};
        if (gethostname(name, sizeof name) == 0) {
            const hostent *host = gethostbyname(name);
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
    WSACleanup();
    return result;
}

bool PlatRouteTable(std::string *text) {
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
