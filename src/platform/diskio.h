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

// True for a PIIX IDE identify request with room for its reply: what a miniport answers.
inline bool DiskIsMiniportIdentify(const void *in, uint32_t in_size, uint32_t out_size) {
    if (in_size < sizeof(DiskMiniportRequest) || out_size < sizeof(DiskMiniportRequest)) {
        return false;
    }
    DiskMiniportHeader header;
    std::memcpy(&header, in, sizeof header);
    return std::memcmp(header.Signature, kMiniportSignature, 7) == 0 &&
           header.ControlCode == kMiniportIdentify;
}

// ---- the seam -------------------------------------------------------------------------------

struct PlatDisk;

constexpr int kDiskDrives = 24;

// True where the disks are asked one drive at a time (the Windows NT family from version 4,
// and every POSIX system); false where no disk is asked.
bool PlatDiskDrivesAnswer();

// Opens drive number `drive` (0 to 23) for reading; nullptr when it does not open (absent,
// no permission).
PlatDisk *PlatDiskOpen(int drive);
// One synchronous request with an input block and an output block (they may be the same
// memory); true when the device accepted and answered it.
bool PlatDiskControl(PlatDisk *disk, uint32_t code, const void *in, uint32_t in_size, void *out,
                     uint32_t out_size);
void PlatDiskClose(PlatDisk *disk);
