// The named mutex as a process-shared, robust, recursive pthread mutex in its own
// shared-memory object. Creation is serialised with flock on the object, so two processes
// starting together never both initialise it, and one that dies half-way leaves it to the
// next.
#include "platform/mutex.h"

#include <errno.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "platform/posix/shm.h"

namespace {
constexpr uint32_t kMagic = 0x51524d58;  // set last, once the mutex is usable

struct SharedMutex {
    std::atomic<uint32_t> magic;
    pthread_mutex_t mutex;
};
}  // namespace

struct PlatMutex {
    SharedMutex *shared;
};

PlatMutex *PlatMutexCreate(const char *name) {
    char shm_name[256];
    PosixShmName(name, "", shm_name, sizeof shm_name);
    int fd = PosixShmOpen(shm_name);
    if (fd < 0) return nullptr;
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct stat st {};
    void *view = MAP_FAILED;
    if (fstat(fd, &st) == 0 && (st.st_size >= static_cast<off_t>(sizeof(SharedMutex)) ||
                                ftruncate(fd, sizeof(SharedMutex)) == 0)) {
        view = mmap(nullptr, sizeof(SharedMutex), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    PlatMutex *result = nullptr;
    if (view != MAP_FAILED) {
        auto *shared = static_cast<SharedMutex *>(view);
        if (shared->magic.load(std::memory_order_acquire) != kMagic) {
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
            pthread_mutex_init(&shared->mutex, &attr);
            pthread_mutexattr_destroy(&attr);
            shared->magic.store(kMagic, std::memory_order_release);
        }
        result = new (std::nothrow) PlatMutex{shared};
        if (result == nullptr) munmap(view, sizeof(SharedMutex));
    }
    flock(fd, LOCK_UN);
    close(fd);
    return result;
}

bool PlatMutexAcquire(PlatMutex *mutex) {
    if (mutex == nullptr) return false;
    int rc = pthread_mutex_lock(&mutex->shared->mutex);
    if (rc == EOWNERDEAD) {
        // The holder died: take the mutex over, as an abandoned Windows mutex is.
        pthread_mutex_consistent(&mutex->shared->mutex);
        rc = 0;
    }
    return rc == 0;
}

void PlatMutexRelease(PlatMutex *mutex) {
    if (mutex != nullptr) pthread_mutex_unlock(&mutex->shared->mutex);
}

void PlatMutexClose(PlatMutex *mutex) {
    if (mutex == nullptr) return;
    munmap(mutex->shared, sizeof(SharedMutex));
    delete mutex;
}
