#include "platform/system.h"

#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/lock.h"

bool PlatIsNtFamily() {
    return true;
}

bool PlatObjectName(const char *base, char *out, size_t out_size) {
    const char *scope = std::getenv("QORASST_NAMESPACE");
    const int n = scope != nullptr && scope[0] != '\0'
                      ? std::snprintf(out, out_size, "%s.%s", scope, base)
                      : std::snprintf(out, out_size, "%s", base);
    if (n < 0 || static_cast<size_t>(n) >= out_size) {
        if (out_size > 0) out[0] = '\0';
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

unsigned long PlatLastError() {
    return static_cast<unsigned long>(errno);
}

void PlatSleep(unsigned milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) continue;
}

void PlatYield() {
    sched_yield();
}

unsigned long PlatProcessId() {
    return static_cast<unsigned long>(getpid());
}
