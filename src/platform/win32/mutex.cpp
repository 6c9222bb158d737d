// The named mutex is a Win32 mutex: recursive for its holder, and handed to the next waiter
// (WAIT_ABANDONED) when the holder dies, which is what every caller relies on.
#include "platform/mutex.h"

#include <windows.h>

#include "platform/win32/objects.h"

namespace {
HANDLE AsHandle(PlatMutex *mutex) {
    return reinterpret_cast<HANDLE>(mutex);
}
}  // namespace

PlatMutex *PlatMutexCreate(const char *name) {
    // Not initially owned; open to every account like the mappings, so that a user's process
    // can take a mutex a service made (with default security it would be refused). An
    // existing mutex of that name is opened.
    Win32OpenSecurity security;
    HANDLE handle = CreateMutexA(security.get(), FALSE, name);
    // A caller the global namespace is closed to (access denied: the object was made with other
    // rights, or the caller may not create global objects) opens the existing object, or else
    // falls back on its session's own name (docs/windows.md).
    if (handle == nullptr && GetLastError() == ERROR_ACCESS_DENIED &&
        Win32SessionName(name) != nullptr) {
        handle = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        if (handle == nullptr) handle = CreateMutexA(security.get(), FALSE, Win32SessionName(name));
    }
    return reinterpret_cast<PlatMutex *>(handle);
}

bool PlatMutexAcquire(PlatMutex *mutex) {
    return PlatMutexAcquireFor(mutex, INFINITE);
}

bool PlatMutexAcquireFor(PlatMutex *mutex, unsigned milliseconds) {
    if (mutex == nullptr) return false;
    // An abandoned mutex is simply taken over; a wait that failed or timed out leaves it
    // unheld.
    const DWORD result = WaitForSingleObject(AsHandle(mutex), milliseconds);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void PlatMutexRelease(PlatMutex *mutex) {
    if (mutex != nullptr) ReleaseMutex(AsHandle(mutex));
}

void PlatMutexLeave(PlatMutex *) {
    // A handle closed while a thread waits on it leaves that wait undefined (WaitForSingleObject
    // in the Win32 SDK): the system closes it with the process.
}

void PlatMutexClose(PlatMutex *mutex) {
    if (mutex != nullptr) CloseHandle(AsHandle(mutex));
}
