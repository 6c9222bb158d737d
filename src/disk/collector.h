// The disk serial collector: asks the disks once, on its own thread, and fills the HDD cache.
// On the NT family every drive that opens takes one entry; on the 95 family every SMARTVSD
// drive and ASPI device that qualifies does.
#pragma once

#include <cstdint>

#include "platform/diskio.h"

// Thread procedure; `params` is the HddThreadParams block of the process.
void DiskSerialCollector(void *params);

// How a drive answered, and the entry it makes: text, interface word (0 IDE, 1 SCSI) and
// address word (the target id, or 0xFFFFFFFF when the address request failed). A drive that
// answers nothing (kDiskNone) leaves text and both words 0.
enum DiskMethod {
    kDiskNone,
    kDiskSmart,
    kDiskMiniport,
    kDiskPassThrough,
    kDiskSmartVsd,
    kDiskAspi
};

// The entry texts (at most 19 characters and a zero, in 20 bytes of room).
constexpr int kDiskTextMax = 19;

// One entry as the collector makes it, and where it came from.
struct DiskEntry {
    DiskMethod method;
    int drive;                     // the drive number; -1 for an ASPI device
    uint8_t adapter, target, lun;  // an ASPI device's position
    char text[kDiskTextMax + 1];
    uint32_t interface, address;
};

// Asks the disks the way the running system does and hands every entry, in order, to `take`:
// at most 24 (on the 95 family the first 24 that qualify). On the NT family an entry whose
// method is kDiskNone is a drive that opened and answered nothing; it keeps its place.
void DiskCollect(void (*take)(const DiskEntry &entry, void *context), void *context);
// From IDENTIFY data: the serial-number field (words 10 to 19), byte pairs swapped.
void DiskIdeText(const uint8_t *identify, char *text);
// From INQUIRY data: the product identification (up to 11 characters) and the vendor-specific
// area (the rest of 19), each without trailing spaces.
void DiskScsiText(const uint8_t *inquiry, char *text);
// Cuts a text at its first byte outside 0x20 to 0x7E.
void DiskCleanText(char *text);
