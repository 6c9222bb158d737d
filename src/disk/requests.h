// The device requests that ask a disk for its identity: SMART and IDE identify (also through
// SMARTVSD), the SCSI address, an INQUIRY through SCSI pass-through, and the PIIX IDE miniport.
// Each answers 1 for success and 0 for failure, and never says why.
#pragma once

#include <cstdint>

#include "platform/diskio.h"

// The 512-byte ATA IDENTIFY DEVICE data through SMART_RCV_DRIVE_DATA.
int DiskIdentifySmart(PlatDisk *disk, uint8_t *identify);
// The same through the SMARTVSD driver of the 95 family, for drive number 0 to 3; 0 also when
// the driver reports an error with the data.
int DiskIdentifySmartVsd(int drive, uint8_t *identify);
// The driver's error byte of a SMART reply (0: none).
uint8_t DiskCheckDriverStatus(const DiskSmartOutput *output);
// PathId, TargetId and Lun of the drive; all three 0 on failure.
int DiskGetScsiAddress(PlatDisk *disk, uint32_t *path_id, uint32_t *target_id, uint32_t *lun);
// One command (16 bytes, the first 6 significant) through SCSI pass-through; 1 only when the
// target's status is 0.
int DiskPassThroughDirect(PlatDisk *disk, const uint8_t *cdb, void *data, uint32_t length,
                          uint8_t path_id, uint8_t target_id, uint8_t lun, uint8_t data_in);
// The INQUIRY data (at least 255 bytes of room) of the drive, at its own SCSI address.
int DiskInquiryPassThrough(PlatDisk *disk, uint8_t *inquiry);
// The IDENTIFY data of the drive's device on its IDE channel, from the PIIX IDE miniport.
int DiskIdentifyMiniport(PlatDisk *disk, uint8_t *identify);

// Copies the largest even number of bytes not above count, exchanging the bytes of every
// pair (the byte order of ATA strings); returns destination.
uint8_t *DiskSwapBytePairs(uint8_t *destination, const uint8_t *source, uint32_t count);
