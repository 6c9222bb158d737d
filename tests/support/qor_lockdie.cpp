// Takes the EEPROM mutex the way the library does and then either dies holding it or holds
// it for a while. Arguments: die | hold MILLISECONDS [READY_PATH].
#include <signal.h>
#ifdef _WIN32
#include <windows.h>  // no signals: "die" terminates itself
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/mutex.h"
#include "platform/system.h"

int main(int argc, char **argv) {
    char name[256];
    PlatObjectName("QORasst_eemutex", name, sizeof name);
    PlatMutex *mutex = PlatMutexCreate(name);
    if (mutex == nullptr || !PlatMutexAcquire(mutex)) return 3;
    if (argc > 1 && std::strcmp(argv[1], "die") == 0) {
#ifdef _WIN32
        TerminateProcess(GetCurrentProcess(), 128 + SIGKILL);
#else
        raise(SIGKILL);
#endif
    }
    if (argc > 3) {
        if (FILE *f = std::fopen(argv[3], "w")) std::fclose(f);
    }
    int ms = argc > 2 ? std::atoi(argv[2]) : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    PlatMutexRelease(mutex);
    PlatMutexClose(mutex);
    return 0;
}
