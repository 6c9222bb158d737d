// Windows disks: \\.\PhysicalDriveN handles and synchronous DeviceIoControl requests to the
// disk class and SCSI port drivers.
#include "platform/diskio.h"

#include <windows.h>

#include <cstdio>
#include <new>

#include "platform/diskio_native.h"

struct NativeDisk {
    HANDLE handle;
};

struct NativeFileLock {
    HANDLE handle;
};

bool NativeDiskDrivesAnswer() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return false;
    // Windows NT before version 4 has none of the requests; the 95 family asks its disks
    // through other drivers, which this library does not use.
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 4;
}

NativeDisk *NativeDiskOpen(int drive) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", drive);
    HANDLE handle =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto *disk = new (std::nothrow) NativeDisk{handle};
    if (disk == nullptr) CloseHandle(handle);
    return disk;
}

bool NativeDiskControl(NativeDisk *disk, uint32_t code, const void *in, uint32_t in_size, void *out,
                       uint32_t out_size) {
    DWORD returned = 0;
    return DeviceIoControl(disk->handle, code, const_cast<void *>(in), in_size, out, out_size,
                           &returned, nullptr) != 0;
}

void NativeDiskClose(NativeDisk *disk) {
    CloseHandle(disk->handle);
    delete disk;
}

NativeFileLock *NativeLockFile(const char *path) {
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    OVERLAPPED overlapped{};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &overlapped)) {
        CloseHandle(handle);
        return nullptr;
    }
    auto *lock = new (std::nothrow) NativeFileLock{handle};
    if (lock == nullptr) CloseHandle(handle);
    return lock;
}

void NativeUnlockFile(NativeFileLock *lock) {
    if (lock == nullptr) return;
    OVERLAPPED overlapped{};
    UnlockFileEx(lock->handle, 0, MAXDWORD, MAXDWORD, &overlapped);
    CloseHandle(lock->handle);
    delete lock;
}
