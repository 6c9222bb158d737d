// The system calls our real hardware backends make, as one table. Ordinary processes get the
// kernel's own; a process that carries the simulated kernel (sim_kernel.cpp, preloaded by the
// tests) gets its replay of a simulated machine instead, so the backends run unchanged while
// no real device is touched.
#pragma once

#include <cstddef>

extern "C" {

struct QorSysOps {
    int (*open)(const char *path, int flags);  // a descriptor, or -1 with errno set
    int (*close)(int fd);
    int (*ioctl)(int fd, unsigned long request, void *arg);  // -1 with errno set
    long (*pread)(int fd, void *buffer, std::size_t length, long long offset);
    // Calls each(name, context) for every entry of a directory but "." and ".."; -1 with errno
    // set when the directory cannot be read.
    int (*list)(const char *dir, void (*each)(const char *name, void *context), void *context);
    void (*pause_ms)(int milliseconds);
};

// Defined only where the simulated kernel is loaded; null when it declines (no machine).
__attribute__((weak, visibility("default"))) const QorSysOps *QorSimKernel(void);
}

namespace qorreal {
// The table in use: the simulated kernel's when it answers, else the kernel's own.
const QorSysOps &Sys();
}  // namespace qorreal
