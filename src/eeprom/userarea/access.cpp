// The user-area exports: one structure read or stored at a time, and the dirty check. Each
// holds the EEPROM mutex for its whole work, so that stores of several threads and processes
// keep both checksums balanced and the shared cache equal to the device.
#include <cstring>

#include "QORasstW.h"
#include "eeprom/eeprom.h"
#include "eeprom/userarea/userarea.h"
#include "state/state.h"

namespace {

// The part of the dirty check that runs with the mutex held.
int UserCacheDirty() {
    // A write another access left cut off: the device is not what the cache holds.
    if (UserAreaSettle(kUserDevice) != 0) return 1;
    uint8_t flags = 0;
    uint8_t sum = 0;
    if (EeReadBlock(kUserDevice, kUserOffsetFlags, &flags, 1) != 0) return 0;
    if (EeReadBlock(kUserDevice, kUserOffsetAreaSum, &sum, 1) != 0) return 0;
    // Without a loaded area in the cache the device at 0xAA may be something else (a memory
    // module's SPD EEPROM answers there on some boards): it is compared, never written.
    if ((flags & 1) != 0 && UserAreaHeaderUsable(g_state.user_area)) {
        const auto cleared = static_cast<uint8_t>(flags & ~1);
        // The flag's bit leaves the area: the checksum takes it back so the area balances.
        const auto balanced = static_cast<uint8_t>(sum + 1);
        uint8_t old[kUserAreaSize] = {};
        old[kUserOffsetAreaSum] = sum;
        old[kUserOffsetFlags] = flags;
        static const uint8_t kOffsets[] = {kUserOffsetFlags, kUserOffsetAreaSum};
        UserWriteBegin(old, kOffsets, 2);
        if (EeWriteBlock(kUserDevice, kUserOffsetFlags, &cleared, 1) != 0 ||
            EeWriteBlock(kUserDevice, kUserOffsetAreaSum, &balanced, 1) != 0) {
            // Both go back rather than leave an area that no longer balances (which the next
            // start-up would format); the next check tries again.
            UserAreaSettle(kUserDevice);
            return 1;
        }
        UserWriteDone();
        return 1;
    }
    // A cache that holds no area yet (another process may be loading it at start-up, or
    // there was none to load) is behind whatever the device holds: the access reloads.
    if ((flags & 1) != 0 || !UserAreaHeaderUsable(g_state.user_area)) return 1;
    return sum != g_state.user_area[kUserOffsetAreaSum] ? 1 : 0;
}

// Start-up's own thread refreshes the "Network" structure after the loader has returned;
// readers and writers wait for it, bounded, so that they see the structure as refreshed.
constexpr unsigned kStartupWaitMs = 15000;

}  // namespace

int UserAreaBeginAccess() {
    const bool was_cut_off = SharedExtrasOf()->user.pending != 0;
    if (const int status = UserAreaSettle(kUserDevice)) return status;
    // What was put back may differ from the cache (a reload's repair was cut off): reread it.
    if (UserCacheDirty() != 0 || was_cut_off) UserAreaReload(kUserDevice, g_state.user_area);
    return ASSET_OK;
}

extern "C" QORASST_API int QORASST_CALL AssetIsUserCacheDirty(void) {
    if (g_state.initialized == 0) return 0;
    EeLock lock;
    if (!lock.held()) return 0;
    return UserCacheDirty();
}

extern "C" QORASST_API int QORASST_CALL AssetGetUserAreaStruct(unsigned char *buffer,
                                                               unsigned char type) {
    if (buffer == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (g_state.initialized == 0) return ASSET_ERR_NOT_INITIALIZED;
    AwaitStartup(kStartupWaitMs);
    EeLock lock;
    int result = lock.held() && UserAreaBeginAccess() == ASSET_OK ? ASSET_OK : ASSET_ERR_BUS;
    if (result == ASSET_OK) {
        result = UserAreaFindStruct(g_state.user_area, type, kUserVersion, buffer, nullptr);
    }
    if (result != ASSET_OK) UserBlankStruct(type, buffer);
    return result;
}

extern "C" QORASST_API int QORASST_CALL AssetSetUserAreaStruct(const unsigned char *structure) {
    if (structure == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (g_state.initialized == 0) return ASSET_ERR_NOT_INITIALIZED;
    AwaitStartup(kStartupWaitMs);
    EeLock lock;
    if (!lock.held()) return ASSET_ERR_BUS;
    const int begun = UserAreaBeginAccess();
    if (begun != ASSET_OK) return begun;
    return UserAreaPutStruct(kUserDevice, kUserVersion, g_state.user_area, structure);
}
