// The system calls below the Linux disk backend, replaceable so that tests can answer them
// with recorded replies instead of real devices.
#pragma once

struct PosixDiskCalls {
    int (*open)(const char *path, int flags);
    int (*ioctl)(int fd, unsigned long request, void *arg);
    int (*close)(int fd);
};

extern PosixDiskCalls g_posix_disk_calls;
