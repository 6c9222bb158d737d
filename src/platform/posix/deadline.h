// The absolute real-time deadline `milliseconds` from now, as pthread_cond_timedwait and
// pthread_mutex_timedlock take it (they measure against CLOCK_REALTIME by default).
#pragma once

#include <time.h>

inline timespec PosixDeadline(unsigned milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += static_cast<time_t>(milliseconds / 1000);
    until.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    return until;
}
