// Named POSIX shared-memory objects that live, as Windows kernel objects do, only while some
// process holds them. Every holder keeps a shared lock on byte 0 of the object through an open
// file description of its own; whoever can lock byte 0 exclusively holds it alone. Byte 1
// serialises that decision (open, create, last close), so the object itself is its own guard
// and nothing else is left in the shared-memory directory. The locks are open-file-description
// locks: the kernel drops them with the last descriptor, so a crashed holder cannot fool the
// next process, and a forked child gets a description (and a hold) of its own. The objects of
// a killed last holder are swept away by the next process that holds one (see shm.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kShmNameSize = 256;  // "/" + at most NAME_MAX characters + zero

struct PosixShm {
    int fd = -1;
    char name[kShmNameSize] = {};
    PosixShm *prev = nullptr;  // the process's open objects, re-held by a forked child
    PosixShm *next = nullptr;
};

// Becomes a holder of the object with this (scoped) kernel object name; creates it when no
// process holds it. *first tells whether this process is its only holder, in which case the
// object has been emptied and set to size bytes; otherwise it must have at least size bytes.
// Returns with the decision lock still held, so that a first holder can prepare the contents
// before anybody else may use them: call PosixShmEndSetUp next. False with errno on failure
// (ENAMETOOLONG for a name that does not fit).
bool PosixShmHold(PosixShm *shm, const char *name, uint32_t size, bool *first);
void PosixShmEndSetUp(PosixShm *shm);
// Stops holding the object; the last holder removes it.
void PosixShmRelease(PosixShm *shm);
