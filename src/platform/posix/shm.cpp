#include "platform/posix/shm.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/lock.h"

namespace {

constexpr off_t kHolderByte = 0;
constexpr off_t kDecisionByte = 1;
// Ends every object made here, past the size its user asked for, so that leftovers of a
// killed last holder can be told from anybody else's objects.
constexpr char kTrailer[16] = "QORasst shared";
constexpr char kShmDirectory[] = "/dev/shm";

PlatSpinLock g_open_lock;  // guards the list below
PosixShm *g_open = nullptr;
bool g_fork_handler = false;
std::atomic<bool> g_swept{false};

bool ByteLock(int fd, off_t byte, short type, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    int rc;
    do {
        rc = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// The name still leads to the object open on fd: a last holder may have removed it (or a
// new one may have taken the name) while this process waited for the decision lock.
bool StillNamed(int fd, const char *name) {
    const int probe = shm_open(name, O_RDWR | O_CLOEXEC, 0);
    if (probe < 0) return false;
    struct stat a {};
    struct stat b {};
    const bool same =
        fstat(fd, &a) == 0 && fstat(probe, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
    close(probe);
    return same;
}

// In a forked child every object is held through the parent's descriptions; the child takes
// descriptions of its own, so that neither process's exit can make the other's objects go.
void ReholdAfterFork() {
    for (PosixShm *shm = g_open; shm != nullptr; shm = shm->next) {
        const int fd = shm_open(shm->name, O_RDWR | O_CLOEXEC, 0);
        if (fd < 0) continue;
        if (ByteLock(fd, kHolderByte, F_RDLCK, true)) dup3(fd, shm->fd, O_CLOEXEC);
        close(fd);
    }
    g_open_lock.Release();
}

// A last holder that was killed could not remove its objects: the first object this process
// holds sweeps away every object made here that nobody holds any more, whatever namespace it
// belongs to. The locks decide as for a last close, so a process opening it meanwhile starts
// anew on a fresh object.
void SweepLeftovers() {
    DIR *dir = opendir(kShmDirectory);
    if (dir == nullptr) return;
    while (const dirent *entry = readdir(dir)) {
        if (std::strstr(entry->d_name, "QORasst") == nullptr) continue;
        char name[kShmNameSize];
        const int n = std::snprintf(name, sizeof name, "/%s", entry->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof name) continue;
        const int fd = shm_open(name, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
        if (fd < 0) continue;
        struct stat st {};
        char trailer[sizeof kTrailer] = {};
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size >= static_cast<off_t>(sizeof kTrailer) &&
            pread(fd, trailer, sizeof trailer, st.st_size - static_cast<off_t>(sizeof trailer)) ==
                static_cast<ssize_t>(sizeof trailer) &&
            std::memcmp(trailer, kTrailer, sizeof trailer) == 0 &&
            ByteLock(fd, kDecisionByte, F_WRLCK, false) &&
            ByteLock(fd, kHolderByte, F_WRLCK, false) && StillNamed(fd, name)) {
            shm_unlink(name);
        }
        close(fd);
    }
    closedir(dir);
}

void Register(PosixShm *shm) {
    g_open_lock.Acquire();
    if (!g_fork_handler) {
        g_fork_handler = pthread_atfork([] { g_open_lock.Acquire(); },
                                        [] { g_open_lock.Release(); }, ReholdAfterFork) == 0;
    }
    shm->prev = nullptr;
    shm->next = g_open;
    if (g_open != nullptr) g_open->prev = shm;
    g_open = shm;
    g_open_lock.Release();
}

void Unregister(PosixShm *shm) {
    g_open_lock.Acquire();
    if (shm->prev != nullptr) shm->prev->next = shm->next;
    if (shm->next != nullptr) shm->next->prev = shm->prev;
    if (g_open == shm) g_open = shm->next;
    g_open_lock.Release();
}

}  // namespace

bool PosixShmHold(PosixShm *shm, const char *name, uint32_t size, bool *first) {
    if (!g_swept.exchange(true)) SweepLeftovers();
    // A '/' inside the name would be refused by shm_open; a cut name would meet another's.
    const int n = std::snprintf(shm->name, sizeof shm->name, "/%s", name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof shm->name) {
        errno = ENAMETOOLONG;
        return false;
    }
    for (char *p = shm->name + 1; *p != '\0'; ++p) {
        if (*p == '/') *p = '_';
    }
    for (;;) {
        const int fd = shm_open(shm->name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return false;
        (void)fchmod(fd, 0666);  // every account may open it, whatever the creator's umask
        if (!ByteLock(fd, kDecisionByte, F_WRLCK, true)) {
            const int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (!StillNamed(fd, shm->name)) {
            close(fd);
            continue;
        }
        *first = ByteLock(fd, kHolderByte, F_WRLCK, false);
        bool ok = true;
        if (*first) {
            ok = ftruncate(fd, 0) == 0 && ftruncate(fd, size + sizeof kTrailer) == 0 &&
                 pwrite(fd, kTrailer, sizeof kTrailer, size) ==
                     static_cast<ssize_t>(sizeof kTrailer);
        } else {
            struct stat st {};
            ok = fstat(fd, &st) == 0;
            if (ok && st.st_size < static_cast<off_t>(size)) {
                ok = false;  // held by a build that made it smaller: not ours to use
                errno = EINVAL;
            }
        }
        if (ok) ok = ByteLock(fd, kHolderByte, F_RDLCK, true);
        if (!ok) {
            const int error = errno;
            close(fd);  // drops both locks; a first holder leaves nothing another could use
            errno = error;
            return false;
        }
        shm->fd = fd;
        Register(shm);
        return true;
    }
}

void PosixShmEndSetUp(PosixShm *shm) {
    struct flock lock {};
    lock.l_type = F_UNLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kDecisionByte;
    lock.l_len = 1;
    (void)fcntl(shm->fd, F_OFD_SETLK, &lock);
}

void PosixShmRelease(PosixShm *shm) {
    if (shm->fd < 0) return;
    Unregister(shm);
    // Whoever waits to open it meanwhile sees the name gone once we let go, and starts anew.
    if (ByteLock(shm->fd, kDecisionByte, F_WRLCK, true) &&
        ByteLock(shm->fd, kHolderByte, F_WRLCK, false) && StillNamed(shm->fd, shm->name)) {
        shm_unlink(shm->name);
    }
    close(shm->fd);
    shm->fd = -1;
}
