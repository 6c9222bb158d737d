// Adding, replacing and deleting serial-number records, keeping the shared cache in step.
#include <cstring>

#include "QORasstW.h"
#include "eeprom/eeprom.h"
#include "eeprom/serial/serial_area.h"
#include "eeprom/serial/serial_numbers.h"
#include "eeprom/serial/serial_text.h"
#include "state/state.h"

namespace {

struct AreaHeader {
    uint8_t address;
    uint8_t struct_size;
    uint8_t eeprom_size;
    uint8_t version;
};

void SetCacheSlot(const AreaHeader &area, int slot, uint8_t devtype, uint8_t index,
                  const void *text) {
    g_state.serial_type[slot] = devtype;
    g_state.serial_index[slot] = index;
    std::memcpy(g_state.serial_text[slot], text, area.struct_size - 1u);
    g_state.serial_text[slot][area.struct_size - 1] = 0;
}

bool ReloadCache(const AreaHeader &area) {
    return LoadSerialCache(area.address, area.struct_size, area.eeprom_size, area.version,
                           g_state.serial_type, g_state.serial_index,
                           g_state.serial_text) == ASSET_OK;
}

// The record written went to slot outcome.slot of the device; the cache slot of the same
// number shows it. A cache slot that claimed the key elsewhere was out of step.
void RecordWritten(const AreaHeader &area, int cached_slot, const SerialWriteOutcome &outcome,
                   uint8_t devtype, uint8_t index, const uint8_t *working) {
    if (cached_slot >= 0 && cached_slot != outcome.slot && ReloadCache(area)) return;
    if (cached_slot >= 0 && cached_slot != outcome.slot) {
        g_state.serial_type[cached_slot] = 0;
        g_state.serial_index[cached_slot] = 0;
    }
    SetCacheSlot(area, outcome.slot, devtype, index, working);
}

int FindCacheSlot(const AreaHeader &area, uint8_t devtype, uint8_t index) {
    for (int i = 0; i < area.eeprom_size; ++i) {
        if (g_state.serial_type[i] == devtype && g_state.serial_index[i] == index) return i;
    }
    return -1;
}

// Steps from the header read on; the caller holds the EEPROM mutex throughout, so that no
// other writer takes the same slot between the device and the cache.
int WriteUnderLock(int devtype, int device_index, bool erase, const uint8_t *working) {
    AreaHeader area{g_state.eeprom_addr, 0, 0, 0};
    if (ReadHeader(area.address, &area.struct_size, &area.eeprom_size, &area.version) != 0) {
        return 0;
    }
    SetDiagText("past ReadHeader");
    // The cache was laid out for one geometry; an area of another cannot be mirrored in it.
    if (area.struct_size != g_state.layout_struct_size ||
        area.eeprom_size != g_state.layout_count) {
        return 0;
    }
    // A stored form longer than the record's text would be cut on the device.
    if (std::strlen(reinterpret_cast<const char *>(working)) > area.struct_size - 1u) return 0;

    const auto type = static_cast<uint8_t>(devtype);
    const auto index = static_cast<uint8_t>(device_index);
    const int cached = FindCacheSlot(area, type, index);
    SerialWriteOutcome outcome;
    if (cached >= 0) {
        SetDiagText("Found");
        if (erase) {
            const int result =
                DeleteEntryReport(area.address, area.struct_size, area.version,
                                  static_cast<uint8_t>(cached), SerialKey(type, index), &outcome);
            // A failed write is put back as it was (SettleSerialArea), the cache with it.
            if (result != ASSET_OK) return 0;
            SetCacheSlot(area, cached, 0, 0, kSerialDeleteFiller);
            return 1;
        }
        const int result = AddEntryReport(area.address, area.struct_size, area.eeprom_size,
                                          area.version, type, index, working, &outcome);
        if (result != ASSET_OK) return 0;
        RecordWritten(area, cached, outcome, type, index, working);
        return 1;
    }

    if (erase) return 0;  // nothing to delete
    SetDiagText("Not Found");
    SetDiagText("addr %d", area.address);
    SetDiagText("struct_size %d", area.struct_size);
    SetDiagText("eeprom_size %d", area.eeprom_size);
    SetDiagText("version %d", area.version);
    SetDiagText("devtype %d", devtype);
    SetDiagText("device_index %d", device_index);
    SetDiagText("string |%s|", reinterpret_cast<const char *>(working));
    const int result = AddEntryReport(area.address, area.struct_size, area.eeprom_size,
                                      area.version, type, index, working, &outcome);
    if (result != ASSET_OK) {
        SetDiagText("AddEntry retval = %d", result);
        SetDiagText("bad");
        return 0;
    }
    SetDiagText("Past AddEntry");
    RecordWritten(area, -1, outcome, type, index, working);
    SetDiagText("Success");
    return 1;
}

}  // namespace

extern "C" QORASST_API int QORASST_CALL AssetSetSerialNumber(int devtype, int index,
                                                             const char *text) {
    if (g_state.initialized == 0 || text == nullptr) return 0;
    if (AssetIsSerialCacheDirty() != 0) {
        RefreshSerialCache(g_state.eeprom_addr, g_state.serial_type, g_state.serial_index,
                           g_state.serial_text);
    }
    uint8_t working[kSerialWorkingSize] = {};
    SetDiagText("s/n = |%s|", text);
    const bool erase = text[0] == 0;
    if (erase) {
        SetDiagText("delete");
    } else if (!SerialStoredFormFromCaller(text, working)) {
        return 0;
    }
    if (devtype == kTypeLiveModule) return 0;  // read live, never written
    // The record key holds types 1 to 31 (0 marks a free slot); an index beyond a byte would
    // stand for a smaller one.
    if (devtype < 1 || devtype > kMaxKeyType || index < 0 || index > 255) return 0;

    EeLock lock;
    if (!lock.held()) return 0;
    return WriteUnderLock(devtype, index, erase, working);
}
