// The named mutex is a Win32 mutex: recursive for its holder, and handed to the next waiter
// (WAIT_ABANDONED) when the holder dies, which is what every caller relies on.
#include "platform/mutex.h"

#include <windows.h>

namespace {
HANDLE AsHandle(PlatMutex *mutex) {
    return reinterpret_cast<HANDLE>(mutex);
}
}  // namespace

PlatMutex *PlatMutexCreate(const char *name) {
    // Default security, not initially owned; an existing mutex of that name is opened.
    return reinterpret_cast<PlatMutex *>(CreateMutexA(nullptr, FALSE, name));
}

bool PlatMutexAcquire(PlatMutex *mutex) {
    if (mutex == nullptr) return false;
    // An abandoned mutex is simply taken over; only a wait that failed outright leaves it
    // unheld.
    return WaitForSingleObject(AsHandle(mutex), INFINITE) != WAIT_FAILED;
}

void PlatMutexRelease(PlatMutex *mutex) {
    if (mutex != nullptr) ReleaseMutex(AsHandle(mutex));
}

void PlatMutexClose(PlatMutex *mutex) {
    if (mutex != nullptr) CloseHandle(AsHandle(mutex));
}
