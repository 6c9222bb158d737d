// Linux disks: drive number d is /dev/sd followed by the d-th letter, opened read-only. The
// Windows requests are answered from Linux's own: SMART IDENTIFY by an ATA PASS-THROUGH
// IDENTIFY DEVICE through SG_IO, the miniport by HDIO_GET_IDENTITY, the address by
// SCSI_IOCTL_GET_IDLUN, the pass-through by SG_IO with the block's command.
//
// What the kernel gives: SG_IO (sg_io_hdr_t, scsi/sg.h; block/scsi_ioctl.c or
// drivers/scsi/scsi_ioctl.c) answers 0 once the command went, with the target's status,
// the residue and the sense length; it refuses with EPERM a command that scsi_cmd_allowed
// does not let a caller without CAP_SYS_RAWIO send (ATA PASS-THROUGH among them).
// SCSI_IOCTL_GET_IDLUN gives target id | LUN << 8 | channel << 16 | host << 24.
// HDIO_GET_IDENTITY: see IdentityAsSent. The ATA PASS-THROUGH (16) command is T10's SAT.
#include "platform/diskio.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "platform/diskio_native.h"
#include "platform/posix/aspi_event.h"
#include "platform/posix/diskio_posix.h"
#include "platform/posix/fork_guard.h"

namespace {

int SysOpen(const char *path, int flags) {
    return ::open(path, flags);
}
int SysIoctl(int fd, unsigned long request, void *arg) {
    return ::ioctl(fd, request, arg);
}
int SysClose(int fd) {
    return ::close(fd);
}

constexpr unsigned kSgTimeoutLimitMs = 60 * 1000;

}  // namespace

PosixDiskCalls g_posix_disk_calls = {SysOpen, SysIoctl, SysClose};

struct NativeDisk {
    int fd;
};

struct NativeFileLock {
    int fd;
};

namespace {

// One SCSI command through SG_IO; the SCSI status in *status. False when the request itself
// did not go through.
bool SgCommand(int fd, const uint8_t *cdb, uint8_t cdb_length, int direction, void *data,
               uint32_t length, uint8_t *sense, uint8_t sense_length, unsigned timeout_ms,
               uint8_t *status, uint32_t *transferred = nullptr, uint8_t *sensed = nullptr) {
    sg_io_hdr_t io;
    std::memset(&io, 0, sizeof io);
    io.interface_id = 'S';
    io.cmdp = const_cast<uint8_t *>(cdb);
    io.cmd_len = cdb_length;
    io.dxfer_direction = direction;
    io.dxferp = data;
    io.dxfer_len = length;
    io.sbp = sense;
    io.mx_sb_len = sense_length;
    io.timeout = timeout_ms;
    if (g_posix_disk_calls.ioctl(fd, SG_IO, &io) != 0) return false;
    if (io.host_status != 0) return false;
    *status = io.status;
    if (transferred != nullptr) *transferred = length - static_cast<uint32_t>(io.resid);
    if (sensed != nullptr) *sensed = io.sb_len_wr;
    return true;
}

bool IdLun(int fd, DiskScsiAddress *address) {
    int idlun[2] = {0, 0};
    if (g_posix_disk_calls.ioctl(fd, SCSI_IOCTL_GET_IDLUN, idlun) != 0) return false;
    const auto word = static_cast<uint32_t>(idlun[0]);
    *address = {sizeof(DiskScsiAddress), static_cast<uint8_t>(word >> 24),
                static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word),
                static_cast<uint8_t>(word >> 8)};
    return true;
}

bool Smart(int fd, const void *in, uint32_t in_size, void *out, uint32_t out_size) {
    if (in_size < sizeof(DiskSmartInput) || out_size < sizeof(DiskSmartOutput)) return false;
    DiskSmartInput input;
    std::memcpy(&input, in, sizeof input);
    if (input.bCommandReg != kAtaIdentifyDevice) return false;
    // ATA PASS-THROUGH (16): PIO data-in, one sector counted in the sector count register,
    // transferred from the device.
    const uint8_t cdb[16] = {
        0x85, 4 << 1, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, kAtaIdentifyDevice, 0};
    auto *output = static_cast<DiskSmartOutput *>(out);
    std::memset(output, 0, sizeof *output);
    uint8_t sense[32];
    uint8_t status = 0xFF;
    if (!SgCommand(fd, cdb, sizeof cdb, SG_DXFER_FROM_DEV, output->bBuffer, kIdentifySize, sense,
                   sizeof sense, kSgTimeoutLimitMs, &status) ||
        status != 0) {
        return false;
    }
    output->cBufferSize = kIdentifySize;
    return true;
}

bool PassThrough(int fd, const void *in, uint32_t in_size, void *out, uint32_t out_size) {
    if (in_size < sizeof(DiskPassThroughBlock) || out_size < sizeof(DiskPassThroughBlock)) {
        return false;
    }
    DiskPassThroughBlock block;
    std::memcpy(&block, in, sizeof block);
    if (block.CdbLength == 0 || block.CdbLength > sizeof block.Cdb) return false;
    const int direction = block.DataTransferLength == 0 ? SG_DXFER_NONE
                          : block.DataIn == 1           ? SG_DXFER_FROM_DEV
                                                        : SG_DXFER_TO_DEV;
    // The sense area lies in the output block, where the request says.
    uint8_t *sense = nullptr;
    uint8_t sense_length = 0;
    if (block.SenseInfoLength > 0 &&
        block.SenseInfoOffset + uint32_t{block.SenseInfoLength} <= out_size) {
        sense = static_cast<uint8_t *>(out) + block.SenseInfoOffset;
        sense_length = block.SenseInfoLength;
    }
    const unsigned long seconds = block.TimeOutValue;
    const unsigned timeout = seconds * 1000 < kSgTimeoutLimitMs
                                 ? static_cast<unsigned>(seconds * 1000)
                                 : kSgTimeoutLimitMs;
    uint8_t status = 0xFF;
    // As the Windows port driver does: the status, and how much data and sense came back.
    if (!SgCommand(fd, block.Cdb, block.CdbLength, direction, block.DataBuffer,
                   block.DataTransferLength, sense, sense_length, timeout, &status,
                   &block.DataTransferLength, &block.SenseInfoLength)) {
        return false;
    }
    block.ScsiStatus = status;
    std::memcpy(out, &block, sizeof block);
    return true;
}

// HDIO_GET_IDENTITY does not hand out the block as the drive sent it. On a /dev/sdX node it
// reaches libata's ata_get_identity (drivers/ata/libata-scsi.c), which copies the 256 words
// in host order and then overwrites the serial number (words 10-19), the firmware revision
// (23-26) and the model (27-46) with ata_id_string (drivers/ata/libata-core.c): each word's
// high byte first, in reading order. (The old IDE driver answered it on /dev/hdX only.) This
// turns the block back into what ATA IDENTIFY DEVICE returned: little-endian words.
void IdentityAsSent(const uint8_t *kernel, uint8_t *identify) {
    for (uint32_t w = 0; w < kIdentifySize / 2; ++w) {
        const bool text = (w >= 10 && w < 20) || (w >= 23 && w < 47);
        uint16_t word;
        std::memcpy(&word, kernel + 2 * w, 2);
        if (text) word = static_cast<uint16_t>(kernel[2 * w] << 8 | kernel[2 * w + 1]);
        identify[2 * w] = static_cast<uint8_t>(word);
        identify[2 * w + 1] = static_cast<uint8_t>(word >> 8);
    }
}

bool Miniport(int fd, const void *in, uint32_t in_size, void *out, uint32_t out_size) {
    if (!DiskIsMiniportIdentify(in, in_size, out_size)) return false;
    uint8_t identity[kIdentifySize] = {};
    DiskScsiAddress address;
    if (g_posix_disk_calls.ioctl(fd, HDIO_GET_IDENTITY, identity) != 0 || !IdLun(fd, &address)) {
        return false;
    }
    IdentityAsSent(identity, identity);
    // Linux tells about this drive only: it stands in the block of its target id.
    auto *reply = static_cast<DiskMiniportRequest *>(out);
    if (out != in) std::memcpy(&reply->header, in, sizeof reply->header);
    std::memset(
        reply->unused, 0,
        sizeof reply->unused + sizeof reply->present + sizeof reply->identify + sizeof reply->tail);
    if (address.TargetId <= 1) {
        reply->present[address.TargetId] = 1;
        std::memcpy(reply->identify[address.TargetId], identity, kIdentifySize);
    }
    return true;
}

}  // namespace

DiskFamily NativeDiskFamily() {
    return DiskFamily::kNt;
}

NativeDisk *NativeDiskOpenSmartVsd() {
    return nullptr;  // a driver of the 95 family only
}

// Read-only, whatever is asked: no request here needs a writer's open. What Linux refuses a
// reader (the ATA pass-through without CAP_SYS_RAWIO) it refuses a writer as well.
NativeDisk *NativeDiskOpen(int drive, bool, bool *denied) {
    *denied = false;
    char path[] = "/dev/sdX";
    path[7] = static_cast<char>('a' + drive);
    const int fd = g_posix_disk_calls.open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto *disk = new (std::nothrow) NativeDisk{fd};
    if (disk == nullptr) g_posix_disk_calls.close(fd);
    return disk;
}

bool NativeDiskControl(NativeDisk *disk, uint32_t code, const void *in, uint32_t in_size, void *out,
                       uint32_t out_size) {
    switch (code) {
        case kSmartRcvDriveData:
            return Smart(disk->fd, in, in_size, out, out_size);
        case kIoctlScsiGetAddress: {
            if (out_size < sizeof(DiskScsiAddress)) return false;
            DiskScsiAddress address;
            if (!IdLun(disk->fd, &address)) return false;
            std::memcpy(out, &address, sizeof address);
            return true;
        }
        case kIoctlScsiPassThroughDirect:
            return PassThrough(disk->fd, in, in_size, out, out_size);
        case kIoctlScsiMiniport:
            return Miniport(disk->fd, in, in_size, out, out_size);
        default:
            return false;
    }
}

void NativeDiskClose(NativeDisk *disk) {
    g_posix_disk_calls.close(disk->fd);
    delete disk;
}

NativeFileLock *NativeLockFile(const char *path) {
    fork_guard::Take();
    const int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        fork_guard::Give();
        return nullptr;
    }
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    auto *lock = rc == 0 ? new (std::nothrow) NativeFileLock{fd} : nullptr;
    if (lock == nullptr) {
        ::close(fd);
        fork_guard::Give();
    }
    return lock;
}

void NativeUnlockFile(NativeFileLock *lock) {
    if (lock == nullptr) return;
    ::close(lock->fd);  // closing releases the lock
    delete lock;
    fork_guard::Give();
}

// ASPI exists only on the 95 family; a POSIX process reaches it only on a simulated machine
// that says so, with a manager built as libwnaspi32.so on the library search path.
bool PlatAspiLoad(AspiSendCommandProc *send, AspiGetSupportInfoProc *support_info) {
    void *manager = dlopen("libwnaspi32.so", RTLD_NOW | RTLD_LOCAL);
    if (manager != nullptr) {
        *send = reinterpret_cast<AspiSendCommandProc>(dlsym(manager, "SendASPI32Command"));
        *support_info =
            reinterpret_cast<AspiGetSupportInfoProc>(dlsym(manager, "GetASPI32SupportInfo"));
        if (*send != nullptr && *support_info != nullptr) return true;
    }
    // The C library keeps the failure's record for this thread until it has been read twice:
    // read it away, so that nothing of it outlives the call.
    dlerror();
    dlerror();
    return false;
}

namespace {

// One event for the process: it is never destroyed, so a manager that completes an abandoned
// request late never signals freed memory.
PosixAspiEvent g_aspi_event{};

PosixAspiEvent *Event(PlatEvent *event) {
    return reinterpret_cast<PosixAspiEvent *>(event);
}

long long NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

}  // namespace

PlatEvent *PlatAspiEventOpen() {
    return reinterpret_cast<PlatEvent *>(&g_aspi_event);
}

void *PlatEventHandle(PlatEvent *event) {
    return event;
}

bool PlatEventWait(PlatEvent *event, uint32_t milliseconds) {
    const long long deadline = NowMs() + milliseconds;
    for (;;) {
        if (Event(event)->state.load() != 0) return true;
        const long long left = deadline - NowMs();
        if (left <= 0) return false;
        const timespec timeout{static_cast<time_t>(left / 1000),
                               static_cast<long>(left % 1000) * 1000000};
        PosixAspiFutex(Event(event), FUTEX_WAIT_PRIVATE, 0, &timeout);
    }
}

void PlatEventReset(PlatEvent *event) {
    Event(event)->state.store(0);
}

void PlatEventClose(PlatEvent *) {}
