// Named shared memory shared by every process that loads the library. A mapping lives as
// long as some process holds it; the process that creates it gets it zero-filled and is told
// so, later ones are told that it already existed.
#pragma once

#include <cstdint>

struct PlatMapping;

// Creates or opens the named mapping of size bytes. On failure answers nullptr and stores the
// system's error number in *error.
PlatMapping *PlatMappingCreate(const char *name, uint32_t size, bool *already_existed,
                               uint32_t *error);
// Maps the whole mapping for reading and writing; nullptr on failure (error in *error).
void *PlatMappingMap(PlatMapping *mapping, uint32_t *error);
void PlatMappingUnmap(PlatMapping *mapping, void *view);
void PlatMappingClose(PlatMapping *mapping);
