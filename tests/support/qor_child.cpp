// A child process for tests: it loads the real library the way an application does (start-up
// runs before main) and then runs the commands given as arguments, one line of output each.
// On POSIX, "fork CMDS... end" runs CMDS in a forked child of this process.
#include <signal.h>
#ifdef _WIN32
#include <windows.h>  // no signals: "die" terminates itself
#endif
#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "QORasstW.h"

namespace {

bool FileExists(const char *path) {
    return access(path, F_OK) == 0;
}

// What the pointer arguments that are not null lead to: 0x5A bytes a refusal leaves alone.
struct Scratch {
    unsigned char bytes[256];
    char *addresses[2], *masks[2], *gateway;
    int ints[4];
};
#define NULL_ROW(name, arg, call)                           \
    {                                                       \
        name, arg, [](Scratch &s) { return (void)s, call; } \
    }
const struct {
    const char *name;
    int arg;  // which argument is null
    int (*call)(Scratch &);
} kNullRows[] = {
    NULL_ROW("AssetGetSerialNumber", 3, AssetGetSerialNumber(4, 0, nullptr)),
    NULL_ROW("AssetGetSerialNumber2", 3, AssetGetSerialNumber2(4, 0, nullptr)),
    NULL_ROW("AssetSetSerialNumber", 3, AssetSetSerialNumber(4, 0, nullptr)),
    NULL_ROW("AssetGetUserAreaStruct", 1, AssetGetUserAreaStruct(nullptr, 0xFF)),
    NULL_ROW("AssetSetUserAreaStruct", 1, AssetSetUserAreaStruct(nullptr)),
    NULL_ROW("AssetGetLoginName", 1, AssetGetLoginName(nullptr, 64)),
    NULL_ROW("AssetGetSystemName", 1, AssetGetSystemName(nullptr, 64)),
    NULL_ROW("AssetGetIPConfig", 1, AssetGetIPConfig(nullptr, s.masks, &s.gateway, 2)),
    NULL_ROW("AssetGetIPConfig", 2, AssetGetIPConfig(s.addresses, nullptr, &s.gateway, 2)),
    NULL_ROW("AssetGetIPConfig", 3, AssetGetIPConfig(s.addresses, s.masks, nullptr, 2)),
    NULL_ROW("AssetGetRFID", 1, AssetGetRFID(nullptr)),
    NULL_ROW("VPDLoadData", 1, VPDLoadData(nullptr, s.ints)),
    NULL_ROW("VPDLoadData", 2, VPDLoadData(s.bytes, nullptr)),
    NULL_ROW("VPDGetSystem", 1, VPDGetSystem(nullptr, 23, s.bytes)),
    NULL_ROW("VPDGetSystem", 3, VPDGetSystem(reinterpret_cast<char *>(s.bytes), 23, nullptr)),
    NULL_ROW("VPDGetMotherboard", 1, VPDGetMotherboard(nullptr, 23, s.bytes)),
    NULL_ROW("VPDGetMotherboard", 3,
             VPDGetMotherboard(reinterpret_cast<char *>(s.bytes), 23, nullptr)),
    NULL_ROW("MonitorGetEDIDBlock", 1, MonitorGetEDIDBlock(nullptr, 128)),
    NULL_ROW("MonitorGetManufacturer", 1, MonitorGetManufacturer(nullptr, 64)),
    NULL_ROW("MonitorGetProduct", 1, MonitorGetProduct(nullptr, 64)),
    NULL_ROW("MonitorGetVersion", 1, MonitorGetVersion(nullptr, 64)),
    NULL_ROW("MonitorGetResolution", 2, MonitorGetResolution(0, nullptr, s.ints, s.ints, s.ints)),
    NULL_ROW("MonitorGetResolution", 3, MonitorGetResolution(0, s.ints, nullptr, s.ints, s.ints)),
    NULL_ROW("MonitorGetResolution", 4, MonitorGetResolution(0, s.ints, s.ints, nullptr, s.ints)),
    NULL_ROW("MonitorGetResolution", 5, MonitorGetResolution(0, s.ints, s.ints, s.ints, nullptr)),
};

// Runs one command starting at argv[i]; answers how many arguments it used, 0 if unknown.
int RunCommand(int argc, char **argv, int i) {
    const std::string cmd = argv[i];
    auto arg = [&](int k) -> const char * { return i + k < argc ? argv[i + k] : ""; };
    if (cmd == "status") {
        std::printf("status init=%d eeprom=%d rf=%d monitor=%d\n", AssetIsInitialized(),
                    AssetIsEeprom(), AssetIsRfEeprom(), AssetIsMonitor());
        return 1;
    }
    if (cmd == "get") {  // get TYPE INDEX: AssetGetSerialNumber2
        char buffer[64] = {};
        int rc = AssetGetSerialNumber2(std::atoi(arg(1)), std::atoi(arg(2)), buffer);
        std::printf("get %s %s rc=%d text=%s\n", arg(1), arg(2), rc, buffer);
        return 3;
    }
    if (cmd == "set") {  // set TYPE INDEX TEXT ("" deletes)
        int rc = AssetSetSerialNumber(std::atoi(arg(1)), std::atoi(arg(2)), arg(3));
        std::printf("set %s %s rc=%d\n", arg(1), arg(2), rc);
        return 4;
    }
    if (cmd == "dirty") {
        std::printf("dirty rc=%d\n", AssetIsSerialCacheDirty());
        return 1;
    }
    if (cmd == "uget") {  // uget TYPE (hex): the structure as hex, size bytes (2 on a miss)
        unsigned char buffer[256] = {};
        int rc = AssetGetUserAreaStruct(
            buffer, static_cast<unsigned char>(std::strtoul(arg(1), nullptr, 16)));
        std::printf("uget %s rc=%d ", arg(1), rc);
        for (int k = 0; k < (rc == 0 ? buffer[1] : 2); ++k) std::printf("%02X", buffer[k]);
        std::printf("\n");
        return 2;
    }
    if (cmd == "uset") {  // uset HEX: AssetSetUserAreaStruct
        unsigned char s[256] = {};
        const char *hex = arg(1);
        for (size_t k = 0; hex[2 * k] != 0 && hex[2 * k + 1] != 0 && k < sizeof s; ++k) {
            const char pair[3] = {hex[2 * k], hex[2 * k + 1], 0};
            s[k] = static_cast<unsigned char>(std::strtoul(pair, nullptr, 16));
        }
        std::printf("uset %.4s rc=%d\n", hex, AssetSetUserAreaStruct(s));
        return 2;
    }
    if (cmd == "udirty") {
        std::printf("udirty rc=%d\n", AssetIsUserCacheDirty());
        return 1;
    }
    if (cmd == "nulls") {  // every pointer argument of every export null in turn
        for (const auto &row : kNullRows) {
            Scratch s, untouched;
            std::memset(&s, 0x5A, sizeof s);
            std::memset(&untouched, 0x5A, sizeof untouched);
            const int rc = row.call(s);
            std::printf("null %s %d rc=%d %s\n", row.name, row.arg, rc,
                        std::memcmp(&s, &untouched, sizeof s) == 0 ? "kept" : "written");
        }
        return 1;
    }
    if (cmd == "touch") {  // touch PATH: tell the test that this point was reached
        if (FILE *f = std::fopen(arg(1), "w")) std::fclose(f);
        std::printf("touched\n");
        return 2;
    }
    if (cmd == "wait") {  // wait PATH: until the test creates it (at most 60 s)
        for (int n = 0; n < 6000 && !FileExists(arg(1)); ++n)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::printf("waited %s\n", FileExists(arg(1)) ? "ok" : "timeout");
        return 2;
    }
    if (cmd == "die") {  // die: end at once, without the library's detach
        std::fflush(stdout);
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 128 + SIGKILL);
#else
        raise(SIGKILL);
#endif
        return 1;
    }
    return 0;
}

}  // namespace

#ifndef _WIN32
namespace {
bool g_forked_child = false;
}  // namespace

// The leak checker's hook: a forked child has none of its parent's other threads, so what they
// held on their stacks at the fork (the disk collector's strings, say) looks leaked to it there.
// The build hides symbols by default; the sanitizer runtime finds the hook only if exported.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
    return g_forked_child ? 1 : 0;
}

// fork CMDS... end: a forked child runs CMDS and exits (normally, unless they end it); the
// parent waits for it and prints how it ended.
int Fork(int argc, char **argv, int i) {
    int end = i + 1;
    while (end < argc && std::strcmp(argv[end], "end") != 0) ++end;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        g_forked_child = true;
        for (int k = i + 1; k < end;) {
            const int used = RunCommand(end, argv, k);
            if (used == 0) std::exit(2);
            k += used;
        }
        std::exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("forked exit=%d signal=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return end + 1 - i;
}
#endif

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    for (int i = 1; i < argc;) {
#ifndef _WIN32
        if (std::strcmp(argv[i], "fork") == 0) {
            i += Fork(argc, argv, i);
            continue;
        }
#endif
        int used = RunCommand(argc, argv, i);
        if (used == 0) {
            std::fprintf(stderr, "qor_child: unknown command %s\n", argv[i]);
            return 2;
        }
        i += used;
    }
    return 0;
}
