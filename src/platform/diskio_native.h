// What each system's disk backend provides below the seam of diskio.h; the simulated
// machine's disks are chosen above them, at run time.
#pragma once

#include <cstdint>

#include "platform/diskio.h"

struct NativeDisk;

DiskFamily NativeDiskFamily();
// Drive `drive`, with write access as well as read access when `write`; *denied tells that
// the drive is there but the access asked for was refused.
NativeDisk *NativeDiskOpen(int drive, bool write, bool *denied);
NativeDisk *NativeDiskOpenSmartVsd();
bool NativeDiskControl(NativeDisk *disk, uint32_t code, const void *in, uint32_t in_size, void *out,
                       uint32_t out_size);
void NativeDiskClose(NativeDisk *disk);

// An exclusive lock on a file, shared by threads and processes (the simulated machine's
// .lock); nullptr when it cannot be taken.
struct NativeFileLock;
NativeFileLock *NativeLockFile(const char *path);
void NativeUnlockFile(NativeFileLock *lock);
