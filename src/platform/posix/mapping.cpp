// Named mappings over POSIX shared memory, held and removed as the shared-object helper
// decides: the first holder gets it zero-filled, the last one removes it.
#include "platform/mapping.h"

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include "platform/posix/shm.h"

struct PlatMapping {
    PosixShm shm;
    uint32_t size;
};

PlatMapping *PlatMappingCreate(const char *name, uint32_t size, bool *already_existed,
                               uint32_t *error) {
    void *memory = std::calloc(1, sizeof(PlatMapping));
    if (memory == nullptr) {
        *error = ENOMEM;
        return nullptr;
    }
    auto *mapping = new (memory) PlatMapping{};
    mapping->size = size;
    bool first = false;
    if (!PosixShmHold(&mapping->shm, name, size, &first)) {
        *error = static_cast<uint32_t>(errno);
        std::free(mapping);
        return nullptr;
    }
    PosixShmEndSetUp(&mapping->shm);  // fresh pages are all the set-up a mapping needs
    *already_existed = !first;
    return mapping;
}

void *PlatMappingMap(PlatMapping *mapping, uint32_t *error) {
    void *view =
        mmap(nullptr, mapping->size, PROT_READ | PROT_WRITE, MAP_SHARED, mapping->shm.fd, 0);
    if (view == MAP_FAILED) {
        *error = static_cast<uint32_t>(errno);
        return nullptr;
    }
    return view;
}

void PlatMappingUnmap(PlatMapping *mapping, void *view) {
    if (view != nullptr) munmap(view, mapping->size);
}

void PlatMappingClose(PlatMapping *mapping) {
    if (mapping == nullptr) return;
    PosixShmRelease(&mapping->shm);
    std::free(mapping);
}
