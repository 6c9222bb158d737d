#include "real_sys.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

int SysOpen(const char *path, int flags) {
    return ::open(path, flags | O_CLOEXEC);
}

int SysIoctl(int fd, unsigned long request, void *arg) {
    return ::ioctl(fd, request, arg);
}

long SysPread(int fd, void *buffer, std::size_t length, long long offset) {
    return static_cast<long>(::pread(fd, buffer, length, static_cast<off_t>(offset)));
}

int SysList(const char *dir, void (*each)(const char *, void *), void *context) {
    DIR *d = ::opendir(dir);
    if (d == nullptr) return -1;
    while (const dirent *e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            each(e->d_name, context);
        }
    }
    ::closedir(d);
    return 0;
}

void SysPause(int milliseconds) {
    timespec t{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

const QorSysOps kKernel = {SysOpen, ::close, SysIoctl, SysPread, SysList, SysPause};

}  // namespace

namespace qorreal {

const QorSysOps &Sys() {
    if (QorSimKernel != nullptr) {
        if (const QorSysOps *ops = QorSimKernel()) return *ops;
    }
    return kKernel;
}

}  // namespace qorreal
