// The per-process state record, filled at process attach and read by every export. Every
// module may include this; start-up (src/frame/) sits above them all and calls down.
#pragma once

#include <cstdint>

struct PlatMutex;
struct PlatMapping;
struct PlatThread;

constexpr int kMaxRecords = 64;   // room of the type and index arrays of the serial cache
constexpr int kModuleSlots = 16;  // entries of module_addr
constexpr int kHddEntries = 24;   // entries of the HDD cache
constexpr int kHddTextSize = 23;  // bytes of one HDD cache text slot
constexpr uint32_t kMappingSize = 1024;
constexpr int kDiagSize = 256;

// Parameter block of the disk-serial collector thread.
struct HddThreadParams {
    char **hdd_serial;     // the 24 slot pointers
    uint32_t *interfaces;  // interface word of each entry (0 IDE, 1 SCSI)
    uint32_t *addresses;   // address word of each entry
};

// Parameter block of the serial synchronisation thread.
struct SerialSyncParams {
    PlatThread *disk_thread;  // the collector this process started, or null
    int32_t rf_eeprom;
    uint8_t eeprom_addr;
    uint8_t struct_size;
    uint8_t eeprom_size;
    uint8_t version;
};

struct AssetState {
    int32_t is_nt;
    int32_t initialized;
    uint8_t eeprom_addr;
    int32_t rf_eeprom;
    int32_t monitor_present;
    uint8_t eeprom_size;         // record slots of the serial area (12 when none was found)
    uint8_t layout_struct_size;  // geometry the serial-cache pointers were laid out with
    uint8_t layout_count;
    uint8_t module_addr[kModuleSlots];
    char diag_text[kDiagSize];
    PlatMutex *ee_mutex;
    PlatMapping *hdd_mapping;
    uint8_t *hdd_view;
    PlatMapping *serial_mapping;
    uint8_t *serial_view;
    char *serial_text[kMaxRecords];
    uint8_t *serial_type;
    uint8_t *serial_index;
    uint8_t *user_area;
    char *hdd_serial[kHddEntries];
    uint32_t *hdd_interface;
    uint32_t *hdd_address;
    PlatThread *worker_thread;
    PlatThread *collector_thread;  // the disk collector this process started, or null
    PlatThread *startup_thread;    // start-up's own thread (StartupThread), or null
    uint8_t user_version;          // the user area's version for that thread; 0: not loaded
    uint8_t vpd_block[256];
    int32_t vpd_loaded;
    HddThreadParams hdd_params;
    SerialSyncParams sync_params;
};

extern AssetState g_state;

// Kept past the user-area cache in "QORasstW_SerNumCache" (bytes 616 to 1023, which no
// geometry of the serial cache reaches), so that whichever process next reaches the bus
// completes what a write cut off by a failing bus left: the bytes each area must hold again.
// Read and written with the EEPROM mutex held.
constexpr uint32_t kSharedExtrasOffset = 616;
struct SharedExtras {
    // User area: every offset marked in `marks` must hold bytes[offset]. All zero when no
    // write is left to put back.
    struct {
        uint8_t pending;
        uint8_t marks[31];
        uint8_t bytes[248];
    } user;
    // Serial-number area at `address`: `length` bytes from `offset` must hold `bytes`, then
    // the area checksum must balance.
    struct {
        uint8_t pending;
        uint8_t address;
        uint8_t offset;
        uint8_t length;
        uint8_t bytes[21];
    } serial;
    // The serial cache is behind the area: a reload after writes failed on the bus.
    uint8_t serial_cache_stale;
    // User area: a fingerprint of the area when a damage of it was last reported.
    uint8_t reported;
    uint8_t reported_hash[4];
};
static_assert(kSharedExtrasOffset + sizeof(SharedExtras) <= kMappingSize);
// In the serial mapping; process-local while it is not mapped.
SharedExtras *SharedExtrasOf();

// Replaces diag_text with a formatted text; nothing reads it, it is kept for debugging.
void SetDiagText(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Lays the serial-cache pointers out for a geometry (record size, record count).
void LayOutSerialCache(uint8_t struct_size, uint8_t count);

// Set while start-up's own thread has work pending that the user-area exports rely on (the
// "Network" refresh).
void SetStartupPending(bool pending);
// Waits until that work is done, but never longer than `milliseconds`: a caller inside another
// library's entry point holds the loader's lock, and the thread cannot run until it is freed.
void AwaitStartup(unsigned milliseconds);
