// The one system-wide named mutex. Recursive for the thread that holds it; a mutex whose
// holder died is taken over by the next waiter (as Windows hands over an abandoned mutex).
#pragma once

struct PlatMutex;

// Creates the named mutex or opens the existing one; nullptr on failure.
PlatMutex *PlatMutexCreate(const char *name);
// Waits without time-out. A null mutex returns false at once; otherwise true once held.
bool PlatMutexAcquire(PlatMutex *mutex);
// Waits at most `milliseconds`; true once held.
bool PlatMutexAcquireFor(PlatMutex *mutex, unsigned milliseconds);
void PlatMutexRelease(PlatMutex *mutex);
void PlatMutexClose(PlatMutex *mutex);
