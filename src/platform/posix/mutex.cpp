// The named mutex as a process-shared, robust, recursive pthread mutex in a shared-memory
// object of its own. Its first holder initialises it before anybody else may open it, and the
// last holder removes it.
#include "platform/mutex.h"

#include <errno.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstdlib>
#include <new>

#include "platform/posix/deadline.h"
#include "platform/posix/shm.h"

struct PlatMutex {
    PosixShm shm;
    pthread_mutex_t *shared;
};

PlatMutex *PlatMutexCreate(const char *name) {
    void *memory = std::calloc(1, sizeof(PlatMutex));
    if (memory == nullptr) return nullptr;
    auto *mutex = new (memory) PlatMutex{};
    bool first = false;
    if (!PosixShmHold(&mutex->shm, name, sizeof(pthread_mutex_t), &first)) {
        std::free(mutex);
        return nullptr;
    }
    void *view = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE, MAP_SHARED,
                      mutex->shm.fd, 0);
    if (view != MAP_FAILED && first) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(static_cast<pthread_mutex_t *>(view), &attr);
        pthread_mutexattr_destroy(&attr);
    }
    PosixShmEndSetUp(&mutex->shm);
    if (view == MAP_FAILED) {
        PosixShmRelease(&mutex->shm);
        std::free(mutex);
        return nullptr;
    }
    mutex->shared = static_cast<pthread_mutex_t *>(view);
    return mutex;
}

bool PlatMutexAcquire(PlatMutex *mutex) {
    if (mutex == nullptr) return false;
    int rc = pthread_mutex_lock(mutex->shared);
    if (rc == EOWNERDEAD) {
        // The holder died: take the mutex over, as an abandoned Windows mutex is.
        pthread_mutex_consistent(mutex->shared);
        rc = 0;
    }
    return rc == 0;
}

bool PlatMutexAcquireFor(PlatMutex *mutex, unsigned milliseconds) {
    if (mutex == nullptr) return false;
    const timespec until = PosixDeadline(milliseconds);
    int rc = pthread_mutex_timedlock(mutex->shared, &until);
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(mutex->shared);
        rc = 0;
    }
    return rc == 0;
}

void PlatMutexRelease(PlatMutex *mutex) {
    if (mutex != nullptr) pthread_mutex_unlock(mutex->shared);
}

void PlatMutexLeave(PlatMutex *mutex) {
    // The mapped mutex stays valid after its name is gone; only the hold is given up.
    if (mutex != nullptr) PosixShmRelease(&mutex->shm);
}

void PlatMutexClose(PlatMutex *mutex) {
    if (mutex == nullptr) return;
    munmap(mutex->shared, sizeof(pthread_mutex_t));
    PosixShmRelease(&mutex->shm);
    std::free(mutex);
}
