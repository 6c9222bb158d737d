// Drives the platform seams from a process of its own, for tests of what processes share.
//   die                  take the EEPROM mutex and die holding it
//   hold MS [READY]      take it, create the file READY, hold it MS milliseconds, release it
//   map SIZE [crash]     create or open the mapping "QORasst_probe" of SIZE bytes; print
//                        "first" or "later" and its last byte in hex, then set that byte to a5;
//                        crash: die still holding it. "error N" when it cannot be had.
//   reg KEY NAME_SIZE DATA_SIZE [QUERY]
//                        print each value of the machine registry's KEY that enumerates with
//                        buffers of those sizes as "INDEX NAME TYPE HEX", then QUERY's as
//                        "QUERY TYPE HEX" ("QUERY -" when it fails); "absent" without the key
//   attach READY GO      run start-up as a loader does, the activity hook standing in for the
//                        loader's lock (an activity waits until start-up has returned); a
//                        message is shown by creating READY and waiting for GO (at most 60 s,
//                        then "unanswered"). Prints the
//                        activities before and after start-up returned, then the answers for
//                        the "Network" and "User" structures.
#include <signal.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>  // no signals: dying is terminating oneself
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QORasstW.h"
#include "eeprom/userarea/userarea.h"
#include "frame/frame.h"
#include "platform/activity.h"
#include "platform/mapping.h"
#include "platform/mutex.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "state/state.h"

namespace {

[[noreturn]] void Die() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 128 + SIGKILL);
#else
    raise(SIGKILL);
#endif
    std::abort();
}

uint32_t Number(const char *text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
}

int Lock(bool die, uint32_t ms, const char *ready) {
    char name[256];
    PlatObjectName("QORasst_eemutex", name, sizeof name);
    PlatMutex *mutex = PlatMutexCreate(name);
    if (mutex == nullptr || !PlatMutexAcquire(mutex)) return 3;
    if (die) Die();
    if (FILE *f = ready != nullptr ? std::fopen(ready, "w") : nullptr) std::fclose(f);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    PlatMutexRelease(mutex);
    PlatMutexClose(mutex);
    return 0;
}

int Map(uint32_t size, bool crash) {
    char name[256];
    PlatObjectName("QORasst_probe", name, sizeof name);
    bool existed = false;
    uint32_t error = 0;
    PlatMapping *mapping = PlatMappingCreate(name, size, &existed, &error);
    auto *view = mapping ? static_cast<uint8_t *>(PlatMappingMap(mapping, &error)) : nullptr;
    if (view == nullptr || size == 0) {
        std::printf("error %lu\n", static_cast<unsigned long>(error));
        return 2;
    }
    std::printf("%s %02x\n", existed ? "later" : "first", view[size - 1]);
    std::fflush(stdout);
    view[size - 1] = 0xA5;
    if (crash) Die();
    PlatMappingUnmap(mapping, view);
    PlatMappingClose(mapping);
    return 0;
}

void PrintValue(const char *name, uint32_t type, const std::vector<uint8_t> &data, uint32_t size) {
    std::printf("%s %u ", name, static_cast<unsigned>(type));
    for (uint32_t i = 0; i < size; ++i) std::printf("%02x", data[i]);
    std::printf("\n");
}

int Reg(const char *path, uint32_t name_size, uint32_t data_size, const char *query) {
    PlatKey *key = PlatRegOpen(path);
    if (key == nullptr) {
        std::printf("absent\n");
        return 1;
    }
    std::vector<char> name(name_size + 1);
    std::vector<uint8_t> data(data_size + 1);
    uint32_t size = 0, type = 0;
    for (uint32_t index = 0; index < 8; ++index) {
        size = data_size;
        if (PlatRegEnumValue(key, index, name.data(), name_size, data.data(), &size, &type))
            PrintValue((std::to_string(index) + " " + name.data()).c_str(), type, data, size);
    }
    size = data_size;
    if (query != nullptr && PlatRegQueryValue(key, query, data.data(), &size, &type)) {
        PrintValue(query, type, data, size);
    } else if (query != nullptr) {
        std::printf("%s -\n", query);
    }
    PlatRegClose(key);
    return 0;
}

std::atomic<bool> g_returned{false};
std::string g_inside, g_after;  // activities before and after start-up returned
const char *g_ready = nullptr, *g_go = nullptr;

void Note(const char *name) {
    // Like a thread that needs the loader's lock, an activity waits for start-up to return;
    // one that runs inside start-up itself is let go after 5 seconds.
    for (int i = 0; i < 500 && !g_returned; ++i) PlatSleep(10);
    (g_returned ? g_after : g_inside) += std::string(" ") + name;
}

int Attach() {
    PlatSetActivityHook(
        [](PlatActivity a) { Note(a == PlatActivity::kHostAddresses ? "addresses" : "routes"); });
    SetUserMessageSink([](const char *) {
        Note("message");
        if (FILE *f = std::fopen(g_ready, "w")) std::fclose(f);
        int waited = 0;
        while (access(g_go, F_OK) != 0 && waited++ < 6000) PlatSleep(10);
        if (waited > 6000) g_after += " unanswered";
    });
    FrameAttach();
    g_returned = true;
    unsigned char s[256];
    const int network = AssetGetUserAreaStruct(s, 0xFA), user = AssetGetUserAreaStruct(s, 0xFF);
    PlatThreadWait(g_state.startup_thread);
    std::printf("inside:%s\nafter:%s\nuget FA rc=%d FF rc=%d %02X%02X\n", g_inside.c_str(),
                g_after.c_str(), network, user, s[0], s[1]);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "die") return Lock(true, 0, nullptr);
    if (command == "hold" && argc > 2)
        return Lock(false, Number(argv[2]), argc > 3 ? argv[3] : nullptr);
    if (command == "map" && argc > 2)
        return Map(Number(argv[2]), argc > 3 && std::strcmp(argv[3], "crash") == 0);
    if (command == "reg" && argc > 4)
        return Reg(argv[2], Number(argv[3]), Number(argv[4]), argc > 5 ? argv[5] : nullptr);
    if (command == "attach" && argc > 3) {
        g_ready = argv[2];
        g_go = argv[3];
        return Attach();
    }
    std::fprintf(stderr,
                 "usage: die | hold MS [READY] | map SIZE [crash] | reg KEY N D [QUERY] | "
                 "attach READY GO\n");
    return 64;
}
