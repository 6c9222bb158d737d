// Helpers shared by the POSIX mutex and mappings: shared-memory object names and opening.
#pragma once

#include <cstddef>

// The POSIX shared-memory name ("/name" + suffix) of an object name (already scoped by
// PlatObjectName). A '/' inside the name would be refused by shm_open, so it is replaced.
void PosixShmName(const char *name, const char *suffix, char *out, size_t out_size);
// Opens or creates the object readable and writable by every account; -1 on failure.
int PosixShmOpen(const char *shm_name);
