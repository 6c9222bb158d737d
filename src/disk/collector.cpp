#include "disk/collector.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "disk/aspi.h"
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
    std::memcpy(slot + 1, text + 1, kDiskTextMax);
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

namespace {

// One NT drive, asked by SMART, then the miniport, then a pass-through INQUIRY.
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

using Take = void (*)(const DiskEntry &entry, void *context);

void CollectNt(Take take, void *context) {
    // One entry per drive that opens; 24 drives fill the 24 entries at most.
    for (int drive = 0; drive < kDiskDrives; ++drive) {
        PlatDisk *disk = PlatDiskOpen(drive);
        if (disk == nullptr) continue;
        DiskEntry entry{};
        entry.drive = drive;
        entry.method = DiskAskDrive(disk, entry.text, &entry.interface, &entry.address);
        PlatDiskClose(disk);
        take(entry, context);
    }
}

constexpr int kSmartVsdDrives = 4;
constexpr int kAspiTargets = 16;
constexpr int kAspiLuns = 8;
constexpr uint8_t kDirectAccessDevice = 0;

void Collect95(Take take, void *context) {
    uint32_t adapters = 0;
    if (!AspiLoad(&adapters)) return;
    int n = 0;
    for (int drive = 0; drive < kSmartVsdDrives && n < kHddEntries; ++drive) {
        uint8_t identify[kIdentifySize] = {};
        // Byte 20 (the serial field's first stored byte) and word 1 tell a drive that is there.
        if (!DiskIdentifySmartVsd(drive, identify) || identify[20] == 0 ||
            (identify[2] | identify[3]) == 0) {
            continue;
        }
        DiskEntry entry{kDiskSmartVsd, drive, 0, 0, 0, {}, kIde, static_cast<uint32_t>(drive)};
        DiskIdeText(identify, entry.text);
        DiskCleanText(entry.text);
        take(entry, context);
        ++n;
    }
    // The cache has 24 entries: the first 24 devices that qualify are kept, and asking stops.
    for (uint32_t a = 0; a < adapters && n < kHddEntries; ++a) {
        for (uint8_t t = 0; t < kAspiTargets && n < kHddEntries; ++t) {
            for (uint8_t l = 0; l < kAspiLuns && n < kHddEntries; ++l) {
                uint8_t inquiry[kInquiryLength + 1] = {};
                const auto adapter = static_cast<uint8_t>(a);
                if (!AspiInquiry(adapter, t, l, inquiry) ||
                    (inquiry[0] & 0x1F) != kDirectAccessDevice || inquiry[36] == 0) {
                    continue;
                }
                DiskEntry entry{kDiskAspi, -1, adapter, t, l, {}, kScsi, t};
                DiskScsiText(inquiry, entry.text);
                DiskCleanText(entry.text);
                take(entry, context);
                ++n;
            }
        }
    }
}

struct Filling {
    HddThreadParams params;
    int n;
};

void Fill(const DiskEntry &entry, void *context) {
    auto *filling = static_cast<Filling *>(context);
    if (filling->n >= kHddEntries) return;
    if (entry.method != kDiskNone) {
        Publish(filling->params, filling->n, entry.text, entry.interface, entry.address);
    }
    ++filling->n;
}

}  // namespace

void DiskCollect(Take take, void *context) {
    switch (PlatDiskFamily()) {
        case DiskFamily::kNt:
            CollectNt(take, context);
            break;
        case DiskFamily::k95:
            Collect95(take, context);
            break;
        case DiskFamily::kNone:
            break;
    }
}

void DiskSerialCollector(void *params) {
    Filling filling{*static_cast<const HddThreadParams *>(params), 0};
    DiskCollect(Fill, &filling);
}
