// Facts about the running system and the names of shared kernel objects.
#pragma once

#include <cstddef>

// True on the Windows NT family (POSIX systems count as NT: no 9x-only paths there).
bool PlatIsNtFamily();

// The name under which a shared kernel object is created: the system's own name, scoped by
// the QORASST_NAMESPACE environment variable when it is set so that parallel test runs never
// meet each other's objects. False (with the system's error set for PlatLastError) when the
// scoped name does not fit out or the system's limit for such names: a cut name could meet
// another object, so the object is not made at all.
bool PlatObjectName(const char *base, char *out, size_t out_size);

// The calling thread's last system error number (GetLastError / errno), for diagnostics.
unsigned long PlatLastError();

// Suspends the calling thread for at least `milliseconds`.
void PlatSleep(unsigned milliseconds);
