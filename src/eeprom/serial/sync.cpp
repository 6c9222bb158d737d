// The serial synchronisation thread: the area's disk and memory-module records follow the
// hardware found at start-up.
#include <cstring>

#include "QORasstW.h"
#include "eeprom/eeprom.h"
#include "eeprom/serial/serial_area.h"
#include "eeprom/serial/serial_numbers.h"
#include "eeprom/serial/serial_text.h"
#include "platform/thread.h"
#include "state/state.h"

namespace {

constexpr int kLastHddEntry = kHddEntries - 1;
constexpr size_t kModuleBufferSize = 40;
constexpr size_t kStoredSize = kSerialMaxStructSize;  // room for any record text and a zero

struct SyncArea {
    uint8_t address;
    uint8_t struct_size;
    uint8_t eeprom_size;
    uint8_t version;
    int slots;  // cache slots that may be read
};

// Compares a stored form with a cached record text as far as a record holds.
bool SameText(const SyncArea &area, const uint8_t *stored, const char *cached) {
    return std::memcmp(stored, cached, area.struct_size - 1u) == 0;
}

const char *HddText(int entry) {
    const char *text = g_state.hdd_serial[entry];
    return text != nullptr ? text : "";
}

bool HddPresent(int entry) {
    return HddText(entry)[0] != 0;
}

// The caller holds the EEPROM mutex from its decision on, so the cache shows what the device
// holds; the key check keeps a slot that holds another record all the same.
void DeleteGroup(const SyncArea &area, uint8_t record_type) {
    for (int slot = 0; slot < area.slots; ++slot) {
        if (g_state.serial_type[slot] == record_type) {
            DeleteEntryReport(area.address, area.struct_size, area.version,
                              static_cast<uint8_t>(slot),
                              SerialKey(record_type, g_state.serial_index[slot]), nullptr);
        }
    }
}

// One disk group: the records of record_type against the HDD cache entries of interface.
// True when the group mismatched (and was rewritten).
bool SyncDiskGroup(const SyncArea &area, uint32_t interface, uint8_t record_type) {
    const uint32_t *interfaces = g_state.hdd_interface;
    const uint32_t *addresses = g_state.hdd_address;
    if (interfaces == nullptr || addresses == nullptr) return false;  // no disk cache attached

    // Another process's writer must not take a slot between the decision and the writes.
    EeLock lock;
    if (!lock.held()) return false;
    int present = 0;
    for (int e = 0; e < kHddEntries; ++e) {
        if (HddPresent(e) && interfaces[e] == interface) ++present;
    }
    bool mismatch = false;
    int matched = 0;
    int c = 0;
    for (int slot = 0; slot < area.slots && !mismatch; ++slot) {
        while (interfaces[c] != interface && c < kLastHddEntry) ++c;
        if (g_state.serial_type[slot] != record_type) continue;
        uint8_t stored[kStoredSize];
        SerialSyncStoredForm(HddText(c), stored, sizeof stored);
        if (!SameText(area, stored, g_state.serial_text[slot]) ||
            addresses[c] != g_state.serial_index[slot]) {
            mismatch = true;
            break;
        }
        if (c < kLastHddEntry) ++c;
        ++matched;
    }
    if (!mismatch && matched == present) return false;

    DeleteGroup(area, record_type);
    for (int e = 0; e < kHddEntries; ++e) {
        if (!HddPresent(e) || interfaces[e] != interface) continue;
        uint8_t stored[kStoredSize];
        SerialSyncStoredForm(HddText(e), stored, sizeof stored);
        AddEntry(area.address, area.struct_size, area.eeprom_size, area.version, record_type,
                 static_cast<uint8_t>(addresses[e]), stored);
    }
    return true;
}

bool SyncModuleGroup(const SyncArea &area) {
    char modules[kSyncModules][kModuleBufferSize];
    int present = 0;
    for (int k = 0; k < kSyncModules; ++k) {
        if (ReadModuleSerial(g_state.module_addr[k], modules[k]) == ASSET_OK) {
            ++present;
        } else {
            modules[k][0] = 0;
        }
    }
    EeLock lock;  // as for the disk groups; the module reads go to other devices before it
    if (!lock.held()) return false;
    bool mismatch = false;
    int matched = 0;
    for (int slot = 0; slot < area.slots; ++slot) {
        if (g_state.serial_type[slot] != kTypeModule) continue;
        const uint8_t k = g_state.serial_index[slot];
        // A record for a fifth module names nothing the thread can compare it with.
        if (k >= kSyncModules) {
            mismatch = true;
            break;
        }
        uint8_t stored[kStoredSize];
        SerialSyncStoredForm(modules[k], stored, sizeof stored);
        if (!SameText(area, stored, g_state.serial_text[slot])) {
            mismatch = true;
            break;
        }
        ++matched;
    }
    if (!mismatch && matched == present) return false;

    DeleteGroup(area, kTypeModule);
    for (int k = 0; k < kSyncModules; ++k) {
        if (modules[k][0] == 0) continue;
        uint8_t stored[kStoredSize];
        SerialSyncStoredForm(modules[k], stored, sizeof stored);
        AddEntry(area.address, area.struct_size, area.eeprom_size, area.version, kTypeModule,
                 static_cast<uint8_t>(k), stored);
    }
    return true;
}

}  // namespace

void SerialSyncThread(void *params) {
    const SerialSyncParams p = *static_cast<const SerialSyncParams *>(params);
    PlatThreadWait(p.disk_thread);

    // The cache was laid out for the geometry start-up found; the walk and the reload stay
    // inside it.
    const bool laid_out = p.struct_size == g_state.layout_struct_size &&
                          p.eeprom_size == g_state.layout_count &&
                          SerialGeometryUsable(p.struct_size, p.eeprom_size);
    if (!laid_out) return;
    const SyncArea area{p.eeprom_addr, p.struct_size, p.eeprom_size, p.version, p.eeprom_size};

    bool changed = SyncDiskGroup(area, 0, kTypeIdeDisk);
    changed = SyncDiskGroup(area, 1, kTypeScsiDisk) || changed;
    changed = SyncModuleGroup(area) || changed;
    // A reload the bus refuses is left to the next access: until then the cache may claim
    // records the thread deleted.
    if (changed && LoadSerialCache(area.address, area.struct_size, area.eeprom_size, area.version,
                                   g_state.serial_type, g_state.serial_index,
                                   g_state.serial_text) == ASSET_ERR_BUS) {
        SerialCacheStale();
    }
}
