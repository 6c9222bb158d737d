#include "disk/collector.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "disk/requests.h"
#include "platform/diskio.h"
#include "state/state.h"

namespace {

constexpr uint32_t kIde = 0;
constexpr uint32_t kScsi = 1;
constexpr uint32_t kNoAddress = 0xFFFFFFFF;

size_t TrimTrailingSpaces(char *text) {
    size_t length = std::strlen(text);
    while (length > 0 && text[length - 1] == ' ') text[--length] = 0;
    return length;
}

// Publishes entry n so that a reader in another process never takes a half-written entry for
// a disk: the words and the rest of the text first, the first character last (an entry is a
// disk only once its text is not empty).
void Publish(const HddThreadParams &p, int n, const char *text, uint32_t interface,
             uint32_t address) {
    char *slot = p.hdd_serial[n];
    p.interfaces[n] = interface;
    p.addresses[n] = address;
    std::memcpy(slot + 1, text + 1, kHddTextSize - 1);
    std::atomic_ref<char>(slot[0]).store(text[0], std::memory_order_release);
}

}  // namespace

void DiskIdeText(const uint8_t *identify, char *text) {
    uint8_t serial[20];
    DiskSwapBytePairs(serial, identify + 20, sizeof serial);
    std::snprintf(text, kDiskTextMax + 1, "%.20s", reinterpret_cast<const char *>(serial));
}

void DiskScsiText(const uint8_t *inquiry, char *text) {
    char model[12];
    char serial[20];
    std::snprintf(model, sizeof model, "%.11s", reinterpret_cast<const char *>(inquiry + 16));
    std::snprintf(serial, sizeof serial, "%.19s", reinterpret_cast<const char *>(inquiry + 36));
    const size_t model_length = TrimTrailingSpaces(model);
    TrimTrailingSpaces(serial);
    serial[kDiskTextMax - model_length] = 0;
    std::memcpy(text, model, model_length);
    std::memcpy(text + model_length, serial, std::strlen(serial) + 1);
}

void DiskCleanText(char *text) {
    for (; *text != 0; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (c < 0x20 || c > 0x7E) {
            *text = 0;
            return;
        }
    }
}

DiskMethod DiskAskDrive(PlatDisk *disk, char *text, uint32_t *interface, uint32_t *address) {
    uint8_t identify[kIdentifySize] = {};
    uint8_t inquiry[kInquiryLength + 1] = {};
    DiskMethod method = kDiskNone;
    text[0] = 0;
    *interface = kIde;
    *address = 0;
    if (DiskIdentifySmart(disk, identify) != 0) {
        method = kDiskSmart;
    } else if (DiskIdentifyMiniport(disk, identify) != 0) {
        method = kDiskMiniport;
    } else if (DiskInquiryPassThrough(disk, inquiry) != 0) {
        method = kDiskPassThrough;
    } else {
        return kDiskNone;
    }
    if (method == kDiskPassThrough) {
        DiskScsiText(inquiry, text);
        *interface = kScsi;
    } else {
        DiskIdeText(identify, text);
    }
    *address = kNoAddress;
    uint32_t path_id = 0, target_id = 0, lun = 0;
    if (DiskGetScsiAddress(disk, &path_id, &target_id, &lun) != 0) *address = target_id;
    // The texts are cleaned before they are published, never after.
    DiskCleanText(text);
    return method;
}

void DiskSerialCollector(void *params) {
    const HddThreadParams p = *static_cast<const HddThreadParams *>(params);
    if (!PlatDiskDrivesAnswer()) return;
    int n = 0;
    // One entry per drive that opens; 24 drives fill the 24 entries at most.
    for (int drive = 0; drive < kDiskDrives && n < kHddEntries; ++drive) {
        PlatDisk *disk = PlatDiskOpen(drive);
        if (disk == nullptr) continue;
        char text[kHddTextSize] = {};
        uint32_t interface = 0, address = 0;
        if (DiskAskDrive(disk, text, &interface, &address) != kDiskNone) {
            Publish(p, n, text, interface, address);
        }
        ++n;
        PlatDiskClose(disk);
    }
}
