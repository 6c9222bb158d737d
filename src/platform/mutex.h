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
// For the process's end while some of its threads may still be inside PlatMutexAcquire: gives
// up the process's hold, so that the mutex goes with its last holder as usual, but leaves what
// those threads use in place.
void PlatMutexLeave(PlatMutex *mutex);
