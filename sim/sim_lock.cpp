// The one platform-specific piece of the simulated machine: an exclusive lock on a file that
// excludes other processes and other threads of this one (each lock opens its own handle).
#include "sim_machine.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/fork_guard.h"
#endif

namespace qorsim {

#ifdef _WIN32

MachineLock::MachineLock(const fs::path &dir) {
    HANDLE h = CreateFileW((dir / ".lock").wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    handle_ = reinterpret_cast<std::intptr_t>(h);
    OVERLAPPED ov{};
    locked_ = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &ov) != 0;
}

MachineLock::~MachineLock() {
    if (handle_ == -1) return;
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    if (locked_) {
        OVERLAPPED ov{};
        UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov);
    }
    CloseHandle(h);
}

#else

MachineLock::MachineLock(const fs::path &dir) {
    fork_guard::Take();
    int fd = ::open((dir / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    handle_ = fd;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
}

MachineLock::~MachineLock() {
    // Closing the descriptor releases the lock.
    if (handle_ != -1) ::close(static_cast<int>(handle_));
    fork_guard::Give();
}

#endif

}  // namespace qorsim
