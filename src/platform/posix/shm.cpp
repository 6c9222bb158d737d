#include "platform/posix/shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

void PosixShmName(const char *name, const char *suffix, char *out, size_t out_size) {
    std::snprintf(out, out_size, "/%s%s", name, suffix);
    for (char *p = out + 1; *p != '\0'; ++p) {
        if (*p == '/') *p = '_';
    }
}

int PosixShmOpen(const char *shm_name) {
    int fd = shm_open(shm_name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0) {
        // Every account may open the object, whatever the creator's umask.
        (void)fchmod(fd, 0666);
    }
    return fd;
}
