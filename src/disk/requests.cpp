#include "disk/requests.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr uint32_t kPassThroughTimeout = 65535;  // seconds
constexpr uint32_t kMiniportTimeout = 10000;     // seconds
constexpr uintptr_t kPage = 4096;

}  // namespace

int DiskIdentifySmart(PlatDisk *disk, uint8_t *identify) {
    if (disk == nullptr) return 0;
    // Only the size and the command are given: the disk driver addresses the drive through
    // the handle, and the other registers stay zero.
    DiskSmartInput input{};
    input.cBufferSize = kIdentifySize;
    input.bCommandReg = kAtaIdentifyDevice;
    DiskSmartOutput output{};
    if (!PlatDiskControl(disk, kSmartRcvDriveData, &input, sizeof input, &output, sizeof output)) {
        return 0;
    }
    std::memcpy(identify, output.bBuffer, kIdentifySize);
    return 1;
}

int DiskIdentifySmartVsd(int drive, uint8_t *identify) {
    PlatDisk *driver = PlatDiskOpenSmartVsd();
    if (driver == nullptr) return 0;
    DiskSmartInput input{};
    input.cBufferSize = kIdentifySize;
    input.bDriveHeadReg = static_cast<uint8_t>(0xA0 | (drive % 2) * 16);
    input.bCommandReg = kAtaIdentifyDevice;
    input.bDriveNumber = static_cast<uint8_t>(drive);
    DiskSmartOutput output{};
    const bool sent =
        PlatDiskControl(driver, kSmartRcvDriveData, &input, sizeof input, &output, sizeof output);
    PlatDiskClose(driver);
    if (!sent || DiskCheckDriverStatus(&output) != 0) return 0;
    std::memcpy(identify, output.bBuffer, kIdentifySize);
    return 1;
}

uint8_t DiskCheckDriverStatus(const DiskSmartOutput *output) {
    return output->bDriverError;
}

int DiskGetScsiAddress(PlatDisk *disk, uint32_t *path_id, uint32_t *target_id, uint32_t *lun) {
    const uint32_t length = sizeof(DiskScsiAddress);
    DiskScsiAddress address{};
    if (disk == nullptr || !PlatDiskControl(disk, kIoctlScsiGetAddress, &length, sizeof length,
                                            &address, sizeof address)) {
        *path_id = *target_id = *lun = 0;
        return 0;
    }
    *path_id = address.PathId;
    *target_id = address.TargetId;
    *lun = address.Lun;
    return 1;
}

int DiskPassThroughDirect(PlatDisk *disk, const uint8_t *cdb, void *data, uint32_t length,
                          uint8_t path_id, uint8_t target_id, uint8_t lun, uint8_t data_in) {
    DiskPassThroughRequest request;
    std::memset(&request, 0, sizeof request);  // padding and the unused Cdb bytes too
    DiskPassThroughBlock &block = request.block;
    block.Length = sizeof(DiskPassThroughBlock);
    block.PathId = path_id;
    block.TargetId = target_id;
    block.Lun = lun;
    block.CdbLength = 6;
    block.SenseInfoLength = sizeof request.sense;
    block.DataIn = data_in;
    block.DataTransferLength = length;
    block.TimeOutValue = kPassThroughTimeout;
    block.DataBuffer = data;
    block.SenseInfoOffset = offsetof(DiskPassThroughRequest, sense);
    std::memcpy(block.Cdb, cdb, sizeof block.Cdb);
    if (disk == nullptr || !PlatDiskControl(disk, kIoctlScsiPassThroughDirect, &request,
                                            sizeof block, &request, sizeof request)) {
        return 0;
    }
    return block.ScsiStatus == 0 ? 1 : 0;
}

int DiskInquiryPassThrough(PlatDisk *disk, uint8_t *inquiry) {
    if (disk == nullptr) return 0;
    uint32_t path_id = 0, target_id = 0, lun = 0;
    if (!DiskGetScsiAddress(disk, &path_id, &target_id, &lun)) return 0;
    const uint8_t cdb[16] = {kScsiInquiry, static_cast<uint8_t>(lun << 5), 0, 0, kInquiryLength, 0};
    // The adapter transfers straight into the data buffer and refuses one that misses its
    // alignment; no adapter asks for more than a page.
    std::unique_ptr<uint8_t[]> room(new (std::nothrow) uint8_t[kPage + kInquiryLength]);
    if (room == nullptr) return 0;
    const auto misalignment = reinterpret_cast<uintptr_t>(room.get()) % kPage;
    uint8_t *data = room.get() + (misalignment == 0 ? 0 : kPage - misalignment);
    // A reply shorter than asked for leaves zeros, never old bytes.
    std::memset(data, 0, kInquiryLength);
    const int ok =
        DiskPassThroughDirect(disk, cdb, data, kInquiryLength, static_cast<uint8_t>(path_id),
                              static_cast<uint8_t>(target_id), static_cast<uint8_t>(lun), 1);
    std::memcpy(inquiry, data, kInquiryLength);
    return ok;
}

int DiskIdentifyMiniport(PlatDisk *disk, uint8_t *identify) {
    DiskMiniportRequest request{};
    request.header.HeaderLength = sizeof(DiskMiniportHeader);
    std::memcpy(request.header.Signature, kMiniportSignature, 7);
    request.header.Timeout = kMiniportTimeout;
    request.header.ControlCode = kMiniportIdentify;
    request.header.Length = sizeof request - sizeof request.header;
    if (disk == nullptr || !PlatDiskControl(disk, kIoctlScsiMiniport, &request, sizeof request,
                                            &request, sizeof request)) {
        return 0;
    }
    uint32_t path_id = 0, target_id = 0, lun = 0;
    if (!DiskGetScsiAddress(disk, &path_id, &target_id, &lun)) return 0;
    // The reply covers the two devices of one channel; a target id above 1 names neither.
    if (target_id > 1 || request.present[target_id] == 0) return 0;
    std::memcpy(identify, request.identify[target_id], kIdentifySize);
    return 1;
}

uint8_t *DiskSwapBytePairs(uint8_t *destination, const uint8_t *source, uint32_t count) {
    for (uint32_t i = 0; i + 1 < count; i += 2) {
        destination[i] = source[i + 1];
        destination[i + 1] = source[i];
    }
    return destination;
}
