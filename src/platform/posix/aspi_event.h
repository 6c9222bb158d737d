// The completion event of ASPI requests where the system has no events: a word that the
// manager sets to 1 and wakes when a request completes. SRB_PostProc carries its address.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

struct PosixAspiEvent {
    std::atomic<uint32_t> state;
};
static_assert(sizeof(PosixAspiEvent) == sizeof(uint32_t));

inline long PosixAspiFutex(PosixAspiEvent *event, int op, uint32_t value,
                           const struct timespec *timeout) {
    return syscall(SYS_futex, reinterpret_cast<uint32_t *>(&event->state), op, value, timeout,
                   nullptr, 0);
}

// What a manager does to signal the event named by SRB_PostProc.
inline void PosixAspiEventSet(void *post_proc) {
    auto *event = static_cast<PosixAspiEvent *>(post_proc);
    event->state.store(1);
    PosixAspiFutex(event, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}
