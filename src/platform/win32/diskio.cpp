// Windows disks: \\.\PhysicalDriveN handles and synchronous DeviceIoControl requests to the
// disk class and SCSI port drivers (NT family); the SMARTVSD driver and the ASPI manager
// WNASPI32.DLL with its named completion event (95 family).
#include "platform/diskio.h"

#include <windows.h>

#include <cstdio>
#include <new>

#include "platform/diskio_native.h"
#include "platform/system.h"

struct NativeDisk {
    HANDLE handle;
};

struct NativeFileLock {
    HANDLE handle;
};

namespace {

NativeDisk *Wrap(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    auto *disk = new (std::nothrow) NativeDisk{handle};
    if (disk == nullptr) CloseHandle(handle);
    return disk;
}

}  // namespace

DiskFamily NativeDiskFamily() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return DiskFamily::kNone;
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT) return DiskFamily::k95;
    // Windows NT before version 4 has none of the requests.
    return info.dwMajorVersion >= 4 ? DiskFamily::kNt : DiskFamily::kNone;
}

NativeDisk *NativeDiskOpenSmartVsd() {
    // A VxD is opened with no access and creation disposition 0.
    return Wrap(CreateFileA("\\\\.\\SMARTVSD", 0, 0, nullptr, 0, 0, nullptr));
}

NativeDisk *NativeDiskOpen(int drive, bool write, bool *denied) {
    char path[32];
    std::snprintf(path, sizeof path, "\\\\.\\PhysicalDrive%d", drive);
    // Sharing reading and writing: the system holds the drive open for writing itself, and a
    // handle that does not share writing would be refused.
    HANDLE handle =
        CreateFileA(path, write ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    *denied = handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED;
    return Wrap(handle);
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
    // LockFile, which the 95 family implements (LockFileEx it does not), answers at once: a lock
    // held elsewhere is waited for here (ERROR_LOCK_VIOLATION, LockFile in the Win32 SDK).
    while (!LockFile(handle, 0, 0, MAXDWORD, MAXDWORD)) {
        if (GetLastError() != ERROR_LOCK_VIOLATION) {
            CloseHandle(handle);
            return nullptr;
        }
        Sleep(1);
    }
    auto *lock = new (std::nothrow) NativeFileLock{handle};
    if (lock == nullptr) CloseHandle(handle);
    return lock;
}

void NativeUnlockFile(NativeFileLock *lock) {
    if (lock == nullptr) return;
    UnlockFile(lock->handle, 0, 0, MAXDWORD, MAXDWORD);
    CloseHandle(lock->handle);
    delete lock;
}

bool PlatAspiLoad(AspiSendCommandProc *send, AspiGetSupportInfoProc *support_info) {
    HMODULE manager = LoadLibraryA("WNASPI32.DLL");
    if (manager == nullptr) return false;
    // Through the generic function type, which every function pointer converts to cleanly.
    using Generic = void (*)();
    *send = reinterpret_cast<AspiSendCommandProc>(
        reinterpret_cast<Generic>(GetProcAddress(manager, "SendASPI32Command")));
    *support_info = reinterpret_cast<AspiGetSupportInfoProc>(
        reinterpret_cast<Generic>(GetProcAddress(manager, "GetASPI32SupportInfo")));
    return *send != nullptr && *support_info != nullptr;
}

PlatEvent *PlatAspiEventOpen() {
    char name[MAX_PATH];
    if (!PlatObjectName("W95ASPICompletionEvent", name, sizeof name)) return nullptr;
    return reinterpret_cast<PlatEvent *>(CreateEventA(nullptr, TRUE, FALSE, name));
}

void *PlatEventHandle(PlatEvent *event) {
    return event;
}

bool PlatEventWait(PlatEvent *event, uint32_t milliseconds) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(event), milliseconds) == WAIT_OBJECT_0;
}

void PlatEventReset(PlatEvent *event) {
    ResetEvent(reinterpret_cast<HANDLE>(event));
}

void PlatEventClose(PlatEvent *event) {
    CloseHandle(reinterpret_cast<HANDLE>(event));
}
