// The disk seam's dispatch, and the simulated machine's disks. When QORASST_MACHINE names a
// machine, its disks/<N>.disk files are the drives and the real devices are never touched;
// otherwise the system's own backend answers. The simulated drives answer the same request
// blocks a Windows driver would, and log each request as it arrived (disks.log).
//
// Where the answers come from (Windows Driver Kit documentation unless said otherwise):
// - opening: CreateFileA fails with ERROR_ACCESS_DENIED when the access asked for is not
//   granted (a user who may read a drive but not write it);
// - every request on an NT drive handle: bits 14-15 of the control code are its required
//   access (CTL_CODE, "Defining I/O Control Codes"), and the I/O manager does not send a
//   request whose access the handle was not granted ("Security Issues for I/O Control
//   Codes"); the call fails with ERROR_ACCESS_DENIED. A VxD of the 95 family checks nothing;
// - SMART_RCV_DRIVE_DATA: SENDCMDINPARAMS in (32 bytes at least), SENDCMDOUTPARAMS out (528
//   bytes at least for IDENTIFY: cBufferSize 512, the driver status, the data);
// - IOCTL_SCSI_GET_ADDRESS: a SCSI_ADDRESS out, at least 8 bytes;
// - IOCTL_SCSI_PASS_THROUGH_DIRECT: Length must be the structure's size and the input hold it
//   (else STATUS_INVALID_PARAMETER / STATUS_BUFFER_TOO_SMALL); DataBuffer must meet the
//   adapter's alignment (AlignmentMask of IO_SCSI_CAPABILITIES, else STATUS_INVALID_PARAMETER);
//   the request succeeds whatever the target's status, which ScsiStatus carries, with
//   DataTransferLength and SenseInfoLength set to what was transferred and the sense data at
//   SenseInfoOffset of the output;
// - IOCTL_SCSI_MINIPORT: an SRB_IO_CONTROL whose HeaderLength is its own size and whose
//   Length fits the buffers (else STATUS_REVISION_MISMATCH / STATUS_BUFFER_TOO_SMALL); what
//   follows is the miniport's own (the PIIX IDE reply: presence bytes, two IDENTIFY blocks);
// - SMARTVSD (95 family): the SMART requests above, the drive chosen by bDriveNumber and the
//   device by the head register.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "platform/diskio.h"
#include "platform/diskio_native.h"
#include "platform/system.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One simulated drive, as its file describes it.
struct SimDrive {
    Bytes identify;
    Bytes inquiry;
    Bytes miniport_other;
    bool open_fails = false;
    bool write_denied = false;  // opens for reading only
    bool smart = false;
    uint8_t driver_error = 0;  // what SMARTVSD reports with the data (95 family)
    bool miniport = false;
    uint8_t present[2] = {0, 0};
    bool passthrough = false;
    uint8_t scsi_status = 0;
    uint32_t align_mask = 0;  // the adapter's AlignmentMask for pass-through data
    bool address = false;
    uint8_t port = 0, path = 0, target = 0, lun = 0;
    unsigned delay_ms = 0;  // how long each request takes (a slow or hanging drive)
};

const char *MachineDir() {
    const char *dir = std::getenv("QORASST_MACHINE");
    return dir != nullptr && dir[0] != '\0' ? dir : nullptr;
}

// C streams: the C++ file streams would make the DLL import what NT 4.0 lacks.
bool ReadText(const std::string &path, std::string *text) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    text->clear();
    char chunk[1024];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text->append(chunk, n);
    std::fclose(file);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Hex digits to at most `limit` bytes; anything else ends the data.
Bytes ParseHex(const std::string &text, size_t limit) {
    Bytes out;
    for (size_t i = 0; i + 1 < text.size() && out.size() < limit; i += 2) {
        const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) break;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return out;
}

uint32_t ParseWord(std::istream &in) {
    unsigned long v = 0;
    std::string word;
    if (in >> word) v = std::strtoul(word.c_str(), nullptr, 0);
    return static_cast<uint32_t>(v);
}

uint8_t ParseByte(std::istream &in) {
    return static_cast<uint8_t>(ParseWord(in));
}

bool ReadDrive(const std::string &dir, int drive, SimDrive *d) {
    std::string text;
    char name[32];
    std::snprintf(name, sizeof name, "/disks/%d.disk", drive);
    if (!ReadText(dir + name, &text)) return false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line.substr(0, line.find('#')));
        std::string key, value;
        if (!(in >> key)) continue;
        if (key == "identify" && in >> value) {
            d->identify = ParseHex(value, kIdentifySize);
        } else if (key == "inquiry" && in >> value) {
            d->inquiry = ParseHex(value, kInquiryLength);
        } else if (key == "miniport_other" && in >> value) {
            d->miniport_other = ParseHex(value, kIdentifySize);
        } else if (key == "open" && in >> value) {
            d->open_fails = value == "fail";
            d->write_denied = value == "read-only";
        } else if (key == "smart") {
            d->smart = true;
            d->driver_error = ParseByte(in);
        } else if (key == "miniport") {
            d->miniport = true;
            d->present[0] = ParseByte(in);
            d->present[1] = ParseByte(in);
        } else if (key == "passthrough") {
            d->passthrough = true;
            d->scsi_status = ParseByte(in);
            d->align_mask = ParseWord(in);
        } else if (key == "delay" && in >> value) {
            d->delay_ms = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "address") {
            d->address = true;
            d->port = ParseByte(in);
            d->path = ParseByte(in);
            d->target = ParseByte(in);
            d->lun = ParseByte(in);
        }
    }
    return true;
}

std::string Hex(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < size; ++i) {
        s.push_back(digits[data[i] >> 4]);
        s.push_back(digits[data[i] & 0x0F]);
    }
    return s;
}

// The log line shows a pass-through block in its 32-bit layout, the buffer address as zeros,
// so that logs compare alike whatever the width of an address.
std::string PassThroughHex(const DiskPassThroughBlock &b) {
    uint8_t out[44] = {};
    std::memcpy(out, &b, 20);
    std::memcpy(out + 24, &b.SenseInfoOffset, 4);
    std::memcpy(out + 28, b.Cdb, 16);
    return Hex(out, sizeof out);
}

// The value of the last line of `key` in machine.conf; empty when there is none.
std::string ConfValue(const std::string &dir, const char *key) {
    std::string conf, found;
    if (!ReadText(dir + "/machine.conf", &conf)) return found;
    std::istringstream lines(conf);
    for (std::string l; std::getline(lines, l);) {
        std::istringstream in(l.substr(0, l.find('#')));
        std::string k, value;
        if (in >> k && k == key) found = (in >> value) ? value : "";
    }
    return found;
}

void Log(const std::string &dir, const std::string &line) {
    NativeFileLock *lock = NativeLockFile((dir + "/.lock").c_str());
    if (ConfValue(dir, "log") == "on") {
        const std::string text = line + "\n";
        if (std::FILE *f = std::fopen((dir + "/disks.log").c_str(), "ab")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }
    NativeUnlockFile(lock);
}

constexpr uint8_t kCheckCondition = 0x02;

void CopyZeroFilled(uint8_t *to, size_t room, const Bytes &from) {
    std::memset(to, 0, room);
    if (!from.empty()) std::memcpy(to, from.data(), from.size() < room ? from.size() : room);
}

bool SimSmart(const SimDrive &d, const void *in, uint32_t in_size, void *out, uint32_t out_size) {
    if (!d.smart || in_size < sizeof(DiskSmartInput) || out_size < sizeof(DiskSmartOutput)) {
        return false;
    }
    DiskSmartInput input;
    std::memcpy(&input, in, sizeof input);
    if (input.bCommandReg != kAtaIdentifyDevice) return false;
    auto *output = static_cast<DiskSmartOutput *>(out);
    std::memset(output, 0, sizeof *output);
    output->cBufferSize = kIdentifySize;
    CopyZeroFilled(output->bBuffer, kIdentifySize, d.identify);
    return true;
}

// SMARTVSD: the drive named by the input block answers, when its file says it answers SMART
// and the block selects the device of its drive number (master for even, slave for odd).
bool SimSmartVsd(const std::string &dir, const void *in, uint32_t in_size, void *out,
                 uint32_t out_size) {
    if (in_size < sizeof(DiskSmartInput)) return false;
    DiskSmartInput input;
    std::memcpy(&input, in, sizeof input);
    SimDrive d;
    const int drive = input.bDriveNumber;
    if (drive > 3 || input.bDriveHeadReg != (0xA0 | (drive & 1) << 4) ||
        !ReadDrive(dir, drive, &d) || d.open_fails || !SimSmart(d, in, in_size, out, out_size)) {
        return false;
    }
    static_cast<DiskSmartOutput *>(out)->bDriverError = d.driver_error;
    return true;
}

bool SimAddress(const SimDrive &d, void *out, uint32_t out_size) {
    if (!d.address || out_size < sizeof(DiskScsiAddress)) return false;
    const DiskScsiAddress address{sizeof(DiskScsiAddress), d.port, d.path, d.target, d.lun};
    std::memcpy(out, &address, sizeof address);
    return true;
}

bool SimPassThrough(const SimDrive &d, const void *in, uint32_t in_size, void *out,
                    uint32_t out_size) {
    if (!d.passthrough || in_size < sizeof(DiskPassThroughBlock) ||
        out_size < sizeof(DiskPassThroughBlock)) {
        return false;
    }
    DiskPassThroughBlock block;
    std::memcpy(&block, in, sizeof block);
    if (block.Length != sizeof(DiskPassThroughBlock) || block.DataBuffer == nullptr ||
        (reinterpret_cast<uintptr_t>(block.DataBuffer) & d.align_mask) != 0) {
        return false;
    }
    uint32_t transferred = 0;
    if (block.Cdb[0] == kScsiInquiry && block.DataIn == 1) {
        // The device sends what it has, up to the allocation length; the rest of the buffer
        // is not written.
        transferred = std::min<uint32_t>(
            {block.DataTransferLength, block.Cdb[4], static_cast<uint32_t>(d.inquiry.size())});
        if (transferred > 0) std::memcpy(block.DataBuffer, d.inquiry.data(), transferred);
        block.ScsiStatus = d.scsi_status;
    } else {
        block.ScsiStatus = kCheckCondition;  // a command this drive does not know
    }
    block.DataTransferLength = transferred;
    // Fixed-format sense data with a check condition: ILLEGAL REQUEST, invalid command
    // operation code.
    uint32_t sense_length = 0;
    if (block.ScsiStatus == kCheckCondition &&
        block.SenseInfoOffset + uint64_t{block.SenseInfoLength} <= out_size) {
        const uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20};
        sense_length = std::min<uint32_t>(block.SenseInfoLength, sizeof sense);
        std::memcpy(static_cast<uint8_t *>(out) + block.SenseInfoOffset, sense, sense_length);
    }
    block.SenseInfoLength = static_cast<uint8_t>(sense_length);
    std::memcpy(out, &block, sizeof block);
    return true;
}

bool SimMiniport(const SimDrive &d, const void *in, uint32_t in_size, void *out,
                 uint32_t out_size) {
    if (!d.miniport || !DiskIsMiniportIdentify(in, in_size, out_size)) return false;
    auto *reply = static_cast<DiskMiniportRequest *>(out);
    if (out != in) std::memcpy(&reply->header, in, sizeof reply->header);
    std::memcpy(reply->present, d.present, 2);
    // The drive's own data lies in the block of its target id; the channel's other device
    // in the other block.
    const int own = d.address && d.target <= 1 ? d.target : -1;
    const int other = own == 0 ? 1 : 0;
    const Bytes none;
    for (int block = 0; block < 2; ++block) {
        const Bytes &data = block == own ? d.identify : block == other ? d.miniport_other : none;
        CopyZeroFilled(reply->identify[block], kIdentifySize, data);
    }
    return true;
}

}  // namespace

constexpr int kSmartVsd = -1;  // the drive number of the SMARTVSD driver's handle

struct PlatDisk {
    NativeDisk *native;
    int drive;
    std::string dir;
    SimDrive sim;
    bool write;  // the handle was granted write access
};

namespace {

PlatDisk *Wrap(NativeDisk *native, int drive) {
    if (native == nullptr) return nullptr;
    auto *disk = new (std::nothrow) PlatDisk{native, drive, {}, {}, false};
    if (disk == nullptr) NativeDiskClose(native);
    return disk;
}

std::string LogHead(int drive) {
    char head[16];
    std::snprintf(head, sizeof head, "DISK %d ", drive);
    return drive == kSmartVsd ? "VSD " : head;
}

}  // namespace

DiskFamily PlatDiskFamily() {
    if (const char *dir = MachineDir()) {
        const std::string platform = ConfValue(dir, "platform");
        if (platform == "nt") return DiskFamily::kNt;
        if (platform == "9x") return DiskFamily::k95;
    }
    return NativeDiskFamily();
}

PlatDisk *PlatDiskOpenSmartVsd() {
    const char *dir = MachineDir();
    if (dir == nullptr) return Wrap(NativeDiskOpenSmartVsd(), kSmartVsd);
    Log(dir, "VSD OPEN ok");
    return new (std::nothrow) PlatDisk{nullptr, kSmartVsd, dir, {}, false};
}

namespace {

PlatDisk *SimDiskOpen(const char *dir, int drive, bool write, bool *denied) {
    SimDrive sim;
    const bool there = ReadDrive(dir, drive, &sim) && !sim.open_fails;
    *denied = there && write && sim.write_denied;
    const bool opens = there && !*denied;
    Log(dir, LogHead(drive) + (write ? "OPEN " : "OPEN read-only ") +
                 (opens     ? "ok"
                  : *denied ? "denied"
                            : "fail"));
    if (!opens) return nullptr;
    return new (std::nothrow) PlatDisk{nullptr, drive, dir, sim, write};
}

}  // namespace

PlatDisk *PlatDiskOpen(int drive) {
    if (drive < 0 || drive >= kDiskDrives) return nullptr;
    const char *dir = MachineDir();
    for (const bool write : {true, false}) {
        bool denied = false;
        PlatDisk *disk = dir != nullptr ? SimDiskOpen(dir, drive, write, &denied)
                                        : Wrap(NativeDiskOpen(drive, write, &denied), drive);
        if (disk != nullptr || !denied) return disk;
    }
    return nullptr;
}

bool PlatDiskControl(PlatDisk *disk, uint32_t code, const void *in, uint32_t in_size, void *out,
                     uint32_t out_size) {
    if (disk == nullptr || in == nullptr || out == nullptr) return false;
    if (disk->native != nullptr) {
        return NativeDiskControl(disk->native, code, in, in_size, out, out_size);
    }
    if (disk->sim.delay_ms > 0) PlatSleep(disk->sim.delay_ms);
    // The request as it arrived, before the answer overwrites a shared block.
    std::string request;
    if (code == kIoctlScsiPassThroughDirect && in_size >= sizeof(DiskPassThroughBlock)) {
        DiskPassThroughBlock block;
        std::memcpy(&block, in, sizeof block);
        request = PassThroughHex(block);
    } else {
        request = Hex(static_cast<const uint8_t *>(in), in_size);
    }
    char head[16];
    std::snprintf(head, sizeof head, "%08X ", static_cast<unsigned>(code));
    const std::string line = LogHead(disk->drive) + head + request;
    // The access the code requires (bits 14-15: 1 read, 2 write) against the handle's.
    const uint32_t granted = disk->write ? 3 : 1;
    if (disk->drive != kSmartVsd && ((code >> 14) & 3 & ~granted) != 0) {
        Log(disk->dir, line + " denied");
        return false;
    }
    bool ok = false;
    switch (code) {
        case kSmartRcvDriveData:
            ok = disk->drive == kSmartVsd ? SimSmartVsd(disk->dir, in, in_size, out, out_size)
                                          : SimSmart(disk->sim, in, in_size, out, out_size);
            break;
        case kIoctlScsiGetAddress:
            ok = SimAddress(disk->sim, out, out_size);
            break;
        case kIoctlScsiPassThroughDirect:
            ok = SimPassThrough(disk->sim, in, in_size, out, out_size);
            break;
        case kIoctlScsiMiniport:
            ok = SimMiniport(disk->sim, in, in_size, out, out_size);
            break;
        default:
            break;
    }
    Log(disk->dir, line + (ok ? " ok" : " fail"));
    return ok;
}

void PlatDiskClose(PlatDisk *disk) {
    if (disk == nullptr) return;
    if (disk->native != nullptr) {
        NativeDiskClose(disk->native);
    } else {
        Log(disk->dir, LogHead(disk->drive) + "CLOSE");
    }
    delete disk;
}
