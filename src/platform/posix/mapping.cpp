// Named mappings over POSIX shared memory. Every holder keeps a shared flock on the object;
// whoever can take it exclusively holds it alone and is therefore the first process, which a
// crashed holder cannot fool since the kernel drops its locks. The decision is made under a
// separate guard lock because converting a flock is not atomic.
#include "platform/mapping.h"

#include <errno.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "platform/posix/shm.h"

struct PlatMapping {
    int fd;
    uint32_t size;
    char shm_name[256];
    char guard_name[256];
};

namespace {
int LockRetrying(int fd, int operation) {
    int rc;
    do {
        rc = flock(fd, operation);
    } while (rc != 0 && errno == EINTR);
    return rc;
}
}  // namespace

PlatMapping *PlatMappingCreate(const char *name, uint32_t size, bool *already_existed,
                               uint32_t *error) {
    auto *mapping = new (std::nothrow) PlatMapping{};
    if (mapping == nullptr) {
        *error = ENOMEM;
        return nullptr;
    }
    mapping->size = size;
    PosixShmName(name, "", mapping->shm_name, sizeof mapping->shm_name);
    PosixShmName(name, ".guard", mapping->guard_name, sizeof mapping->guard_name);

    int guard = PosixShmOpen(mapping->guard_name);
    if (guard < 0 || LockRetrying(guard, LOCK_EX) != 0) {
        *error = static_cast<uint32_t>(errno);
        if (guard >= 0) close(guard);
        delete mapping;
        return nullptr;
    }
    int fd = PosixShmOpen(mapping->shm_name);
    bool ok = fd >= 0;
    if (ok && flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Nobody holds it: a new mapping, zero-filled like fresh pages.
        *already_existed = false;
        ok = ftruncate(fd, 0) == 0 && ftruncate(fd, size) == 0 && LockRetrying(fd, LOCK_SH) == 0;
    } else if (ok) {
        *already_existed = true;
        struct stat st {};
        ok = LockRetrying(fd, LOCK_SH) == 0 && fstat(fd, &st) == 0;
        if (ok && st.st_size < static_cast<off_t>(size)) {
            // Held by a build that made it smaller: not ours to use.
            ok = false;
            errno = EINVAL;
        }
    }
    if (!ok) {
        *error = static_cast<uint32_t>(errno);
        if (fd >= 0) close(fd);
        flock(guard, LOCK_UN);
        close(guard);
        delete mapping;
        return nullptr;
    }
    flock(guard, LOCK_UN);
    close(guard);
    mapping->fd = fd;
    return mapping;
}

void *PlatMappingMap(PlatMapping *mapping, uint32_t *error) {
    void *view = mmap(nullptr, mapping->size, PROT_READ | PROT_WRITE, MAP_SHARED, mapping->fd, 0);
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
    // The last holder removes the object, so that nothing is left behind once every process
    // is gone; the guard keeps a process that is just opening it from meeting a half-removed
    // object.
    int guard = PosixShmOpen(mapping->guard_name);
    if (guard >= 0 && LockRetrying(guard, LOCK_EX) == 0) {
        if (flock(mapping->fd, LOCK_EX | LOCK_NB) == 0) shm_unlink(mapping->shm_name);
        close(mapping->fd);
        flock(guard, LOCK_UN);
    } else {
        close(mapping->fd);
    }
    if (guard >= 0) close(guard);
    delete mapping;
}
