// Disk device requests, shaped like the Windows ones: a drive is opened by number and asked
// synchronous control requests whose blocks are the Windows disk and SCSI structures below.
// Three backends answer them: the Windows disk and SCSI port drivers, the Linux SCSI and ATA
// ioctls on /dev/sdX (which answer the same blocks from what Linux knows), and the simulated
// machine's disks, used whenever QORASST_MACHINE names a machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---- control codes --------------------------------------------------------------------------

constexpr uint32_t kSmartRcvDriveData = 0x7C088;
constexpr uint32_t kIoctlScsiGetAddress = 0x41018;
constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
constexpr uint32_t kIoctlScsiMiniport = 0x4D008;

constexpr uint8_t kAtaIdentifyDevice = 0xEC;
constexpr uint32_t kIdentifySize = 512;
constexpr uint8_t kScsiInquiry = 0x12;
constexpr uint32_t kInquiryLength = 255;

// ---- request blocks (the 32-bit Windows layouts; sizes and offsets checked below) -----------

// SENDCMDINPARAMS as sent: the register block and the drive number, without the data byte.
struct DiskSmartInput {
    uint32_t cBufferSize;
    uint8_t bFeaturesReg;
    uint8_t bSectorCountReg;
    uint8_t bSectorNumberReg;
    uint8_t bCylLowReg;
    uint8_t bCylHighReg;
    uint8_t bDriveHeadReg;
    uint8_t bCommandReg;
    uint8_t bReserved;
    uint8_t bDriveNumber;
    uint8_t reserved[19];
};

// SENDCMDOUTPARAMS: the driver status, then the IDENTIFY data.
struct DiskSmartOutput {
    uint32_t cBufferSize;
    uint8_t bDriverError;
    uint8_t bIDEError;
    uint8_t bReserved[2];
    uint32_t dwReserved[2];
    uint8_t bBuffer[kIdentifySize];
};

// SCSI_ADDRESS.
struct DiskScsiAddress {
    uint32_t Length;
    uint8_t PortNumber;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
};

// SCSI_PASS_THROUGH_DIRECT. DataBuffer is an address, so the block is 44 bytes in the 32-bit
// product and 56 in a 64-bit build (as the system's own structure is).
struct DiskPassThroughBlock {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    void *DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};

// The block, four unused bytes and the sense area: what the request writes back.
struct DiskPassThroughRequest {
    DiskPassThroughBlock block;
    uint32_t filler;
    uint8_t sense[32];
};

// SRB_IO_CONTROL, the header of a miniport request, and the PIIX IDE reply after it.
struct DiskMiniportHeader {
    uint32_t HeaderLength;
    uint8_t Signature[8];
    uint32_t Timeout;
    uint32_t ControlCode;
    uint32_t ReturnCode;
    uint32_t Length;
};

struct DiskMiniportRequest {
    DiskMiniportHeader header;
    uint8_t unused[2];
    uint8_t present[2];  // one byte per device: target id 0, target id 1
    uint8_t identify[2][kIdentifySize];
    uint8_t tail[44];
};

constexpr uint32_t kMiniportIdentify = 0x80000002;
constexpr char kMiniportSignature[] = "PIIXIDE";

static_assert(sizeof(DiskSmartInput) == 32 && offsetof(DiskSmartInput, bDriveHeadReg) == 9 &&
              offsetof(DiskSmartInput, bCommandReg) == 10 &&
              offsetof(DiskSmartInput, bDriveNumber) == 12);
static_assert(sizeof(DiskSmartOutput) == 528 && offsetof(DiskSmartOutput, bDriverError) == 4 &&
              offsetof(DiskSmartOutput, bIDEError) == 5 &&
              offsetof(DiskSmartOutput, bBuffer) == 16);
static_assert(sizeof(DiskScsiAddress) == 8 && offsetof(DiskScsiAddress, PathId) == 5 &&
              offsetof(DiskScsiAddress, TargetId) == 6 && offsetof(DiskScsiAddress, Lun) == 7);
static_assert(offsetof(DiskPassThroughBlock, ScsiStatus) == 2 &&
              offsetof(DiskPassThroughBlock, CdbLength) == 6 &&
              offsetof(DiskPassThroughBlock, DataIn) == 8 &&
              offsetof(DiskPassThroughBlock, DataTransferLength) == 12 &&
              offsetof(DiskPassThroughBlock, TimeOutValue) == 16);
static_assert(sizeof(void *) != 4 ||
              (sizeof(DiskPassThroughBlock) == 44 &&
               offsetof(DiskPassThroughBlock, DataBuffer) == 20 &&
               offsetof(DiskPassThroughBlock, SenseInfoOffset) == 24 &&
               offsetof(DiskPassThroughBlock, Cdb) == 28 && sizeof(DiskPassThroughRequest) == 80 &&
               offsetof(DiskPassThroughRequest, sense) == 48));
static_assert(sizeof(void *) != 8 || (sizeof(DiskPassThroughBlock) == 56 &&
                                      offsetof(DiskPassThroughBlock, DataBuffer) == 24 &&
                                      offsetof(DiskPassThroughBlock, SenseInfoOffset) == 32 &&
                                      offsetof(DiskPassThroughBlock, Cdb) == 36));
static_assert(sizeof(DiskMiniportHeader) == 28 && offsetof(DiskMiniportHeader, Timeout) == 12 &&
              offsetof(DiskMiniportHeader, ControlCode) == 16 &&
              offsetof(DiskMiniportHeader, Length) == 24);
static_assert(sizeof(DiskMiniportRequest) == 1100 && offsetof(DiskMiniportRequest, present) == 30 &&
              offsetof(DiskMiniportRequest, identify) == 32 &&
              offsetof(DiskMiniportRequest, identify[1]) == 544);

// SRB_ExecSCSICmd of ASPI for Win32: one SCSI command to an adapter, target and LUN. Like
// the pass-through block it holds addresses, so it is 80 bytes only in the 32-bit product.
struct AspiSrbExecScsiCmd {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t *SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void *SRB_PostProc;
    uint8_t SRB_Rsvd2[20];
    uint8_t CDBByte[16];
    uint8_t SenseArea[16];
};

constexpr uint8_t kScExecScsiCmd = 2;
constexpr uint8_t kSrbDirIn = 0x08;
constexpr uint8_t kSrbEventNotify = 0x40;
constexpr uint8_t kSsPending = 0;
constexpr uint8_t kSsComp = 1;
constexpr uint8_t kSsErr = 4;

static_assert(offsetof(AspiSrbExecScsiCmd, SRB_Hdr_Rsvd) == 4 &&
              offsetof(AspiSrbExecScsiCmd, SRB_Target) == 8 &&
              offsetof(AspiSrbExecScsiCmd, SRB_BufLen) == 12 &&
              offsetof(AspiSrbExecScsiCmd, SRB_BufPointer) == 16);
static_assert(sizeof(void *) != 4 || (sizeof(AspiSrbExecScsiCmd) == 80 &&
                                      offsetof(AspiSrbExecScsiCmd, SRB_SenseLen) == 20 &&
                                      offsetof(AspiSrbExecScsiCmd, SRB_TargStat) == 23 &&
                                      offsetof(AspiSrbExecScsiCmd, SRB_PostProc) == 24 &&
                                      offsetof(AspiSrbExecScsiCmd, CDBByte) == 48 &&
                                      offsetof(AspiSrbExecScsiCmd, SenseArea) == 64));

// A request block in its 32-bit layout, addresses as zeros: how logs show it on every build.
inline void AspiSrbAs32(const AspiSrbExecScsiCmd &srb, uint8_t out[80]) {
    std::memset(out, 0, 80);
    std::memcpy(out, &srb, 16);
    out[20] = srb.SRB_SenseLen;
    out[21] = srb.SRB_CDBLen;
    out[22] = srb.SRB_HaStat;
    out[23] = srb.SRB_TargStat;
    std::memcpy(out + 28, srb.SRB_Rsvd2, 20);
    std::memcpy(out + 48, srb.CDBByte, 16);
    std::memcpy(out + 64, srb.SenseArea, 16);
}

// True for a PIIX IDE identify request with room for its reply: what a miniport answers. The
// port driver passes on only a header whose HeaderLength is its own size and whose Length
// fits both buffers.
inline bool DiskIsMiniportIdentify(const void *in, uint32_t in_size, uint32_t out_size) {
    constexpr uint32_t kReply = sizeof(DiskMiniportRequest) - sizeof(DiskMiniportHeader);
    if (in_size < sizeof(DiskMiniportRequest) || out_size < sizeof(DiskMiniportRequest)) {
        return false;
    }
    DiskMiniportHeader header;
    std::memcpy(&header, in, sizeof header);
    const uint64_t length = uint64_t{header.HeaderLength} + header.Length;
    return header.HeaderLength == sizeof header && header.Length >= kReply && length <= in_size &&
           length <= out_size && std::memcmp(header.Signature, kMiniportSignature, 7) == 0 &&
           header.ControlCode == kMiniportIdentify;
}

// ---- the seam -------------------------------------------------------------------------------

struct PlatDisk;

constexpr int kDiskDrives = 24;

// How the disks are asked: one drive at a time (the Windows NT family from version 4, and
// every POSIX system), through SMARTVSD and ASPI (the 95 family), or not at all. A simulated
// machine may set the family with its `platform` line.
enum class DiskFamily { kNone, kNt, k95 };
DiskFamily PlatDiskFamily();

// Opens drive number `drive` (0 to 23); nullptr when it does not open (absent, no
// permission). It asks for read and write access, which SMART, the miniport and the
// pass-through need on the NT family (their codes carry FILE_READ_ACCESS | FILE_WRITE_ACCESS,
// and the I/O manager sends a request on only when the handle was granted those), and, where
// write access is denied, for read access alone: the address request (FILE_ANY_ACCESS) then
// still answers.
PlatDisk *PlatDiskOpen(int drive);
// One synchronous request with an input block and an output block (they may be the same
// memory); true when the device accepted and answered it.
bool PlatDiskControl(PlatDisk *disk, uint32_t code, const void *in, uint32_t in_size, void *out,
                     uint32_t out_size);
void PlatDiskClose(PlatDisk *disk);

// The SMARTVSD driver of the 95 family, opened for one request; nullptr when it does not open.
// Requests and closing go through PlatDiskControl and PlatDiskClose.
PlatDisk *PlatDiskOpenSmartVsd();

// ---- the ASPI manager (95 family) -----------------------------------------------------------

using AspiSendCommandProc = uint32_t (*)(void *srb);
using AspiGetSupportInfoProc = uint32_t (*)();

// Loads the ASPI manager and finds its two entry points. False when it does not load or lacks
// either; a loaded manager is never released.
bool PlatAspiLoad(AspiSendCommandProc *send, AspiGetSupportInfoProc *support_info);

// The event a manager signals when a request completes (manual reset; opened, or created
// non-signalled, by name); nullptr when it cannot be opened.
struct PlatEvent;
PlatEvent *PlatAspiEventOpen();
// What a request block carries for the manager to signal (SRB_PostProc).
void *PlatEventHandle(PlatEvent *event);
// True when the event was signalled within `milliseconds`.
bool PlatEventWait(PlatEvent *event, uint32_t milliseconds);
void PlatEventReset(PlatEvent *event);
void PlatEventClose(PlatEvent *event);
