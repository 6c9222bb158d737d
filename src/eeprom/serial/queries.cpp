// Serial-number queries and the area's dirty flag.
#include <cstring>

#include "QORasstW.h"
#include "bios/sysid.h"
#include "eeprom/eeprom.h"
#include "eeprom/serial/serial_area.h"
#include "eeprom/serial/serial_numbers.h"
#include "eeprom/serial/serial_text.h"
#include "monitor/monitor.h"
#include "platform/thread.h"
#include "state/state.h"

int SerialCacheCount() {
    return g_state.eeprom_size < g_state.layout_count ? g_state.eeprom_size : g_state.layout_count;
}

namespace {

// The lookup behind both query exports. Answers a result code; on success *answer holds the
// boolean export's non-zero value.
int LookUpSerial(int devtype, int index, char *buffer, int *answer) {
    if (g_state.initialized == 0) return ASSET_ERR_NOT_INITIALIZED;
    if (AssetIsSerialCacheDirty() != 0) {
        RefreshSerialCache(g_state.eeprom_addr, g_state.serial_type, g_state.serial_index,
                           g_state.serial_text);
    }
    // While a write cut off part-way cannot be put back, the records may claim what the device
    // does not hold: they are not answered from, nor is the VPD that stands in for them.
    const bool settled = SettleSerialArea() == ASSET_OK;
    *answer = 1;
    switch (devtype) {
        case kTypeLiveModule: {
            if (index < 0 || index >= kModuleSlots) return ASSET_ERR_NO_SOURCE;
            const uint8_t address = g_state.module_addr[index];
            if (address == 0) return ASSET_ERR_NOT_FOUND;
            return ReadModuleSerial(address, buffer);
        }
        case kTypeDisk: {
            if (index < 0 || index >= kHddEntries) return ASSET_ERR_NO_SOURCE;
            // The collector (or the synchronisation thread after it) completes the cache.
            PlatThreadWait(g_state.worker_thread);
            const char *text =
                g_state.hdd_serial[index] != nullptr ? g_state.hdd_serial[index] : "";
            std::strncpy(buffer, text, kSerialBufferSize - 1);
            buffer[kSerialBufferSize - 1] = 0;
            if (buffer[0] == 0) return ASSET_ERR_BUS;
            *answer = static_cast<signed char>(buffer[0]);
            return ASSET_OK;
        }
        case kTypeMonitor:
            if (index != 0) return ASSET_ERR_INDEX_NOT_ZERO;
            return MonitorGetSerialNumber(buffer, kSerialBufferSize);
        case kTypeUuid: {
            if (index != 0) return ASSET_ERR_NO_SOURCE;
            unsigned char raw[kUuidSize];
            return ReadSystemUuid(raw, buffer) == 1 ? ASSET_OK : ASSET_ERR_BUS;
        }
        case 0:  // the free-slot marker names no device
            return ASSET_ERR_NO_SOURCE;
        default:
            break;
    }
    if (!settled) return ASSET_ERR_BUS;
    // Whole values are compared, so that a type or index beyond a byte never stands for a
    // smaller one.
    const int count = SerialCacheCount();
    for (int i = 0; i < count; ++i) {
        if (g_state.serial_type[i] == devtype && g_state.serial_index[i] == index) {
            SerialDisplayForm(g_state.serial_text[i], buffer);
            return ASSET_OK;
        }
    }
    if (devtype == kTypeBoard && index == 0) {
        return VPDGetMotherboard(buffer, kSerialBufferSize, g_state.vpd_block);
    }
    if (devtype == kTypeSystem && index == 0) {
        return VPDGetSystem(buffer, kSerialBufferSize, g_state.vpd_block);
    }
    return ASSET_ERR_NO_SOURCE;
}

}  // namespace

extern "C" QORASST_API int QORASST_CALL AssetGetSerialNumber(int devtype, int index, char *buffer) {
    if (buffer == nullptr) return 0;
    int answer = 0;
    return LookUpSerial(devtype, index, buffer, &answer) == ASSET_OK ? answer : 0;
}

extern "C" QORASST_API int QORASST_CALL AssetGetSerialNumber2(int devtype, int index,
                                                              char *buffer) {
    if (buffer == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    int answer = 0;
    return LookUpSerial(devtype, index, buffer, &answer);
}

extern "C" QORASST_API int QORASST_CALL AssetIsSerialCacheDirty(void) {
    if (g_state.initialized == 0 || g_state.eeprom_addr == 0) return 0;
    const uint8_t address = g_state.eeprom_addr;
    // Byte 8 balances byte 9: both change under the mutex, as every checksum update does.
    EeLock lock;
    if (!lock.held() || SettleSerialArea() != ASSET_OK) return 0;
    uint8_t flags = 0;
    if (EeReadBlock(address, kSerialOffsetFlags, &flags, 1) != 0) return 0;
    if ((flags & 1) == 0) return 0;
    uint8_t sum = 0;
    if (EeReadBlock(address, kSerialOffsetChecksum, &sum, 1) != 0) return 1;
    const auto cleared = static_cast<uint8_t>(flags & ~1);
    const auto balanced = static_cast<uint8_t>(sum + flags - cleared);
    SerialWriteBegin(address, kSerialOffsetFlags, &flags, 1);
    if (EeWriteBlock(address, kSerialOffsetFlags, &cleared, 1) != 0 ||
        EeWriteBlock(address, kSerialOffsetChecksum, &balanced, 1) != 0) {
        // The flag goes back rather than leave an area that no longer balances; the next
        // check sees it again.
        SettleSerialArea();
        return 1;
    }
    SerialWriteDone();
    return 1;
}
