// The "SER#" serial-number area of the asset EEPROM: its header, its records, the shared
// cache it is loaded into, and the serial block of a memory module's SPD EEPROM.
#pragma once

#include <cstdint>

constexpr uint8_t kSerialOffsetChecksum = 8;  // zero-sum byte over the whole area
constexpr uint8_t kSerialOffsetFlags = 9;     // bit 0: changed by an outside writer
constexpr uint8_t kSerialHeaderSize = 8;      // signature, geometry, version, header sum
constexpr uint8_t kSerialRecordsOffset = 16;
constexpr uint8_t kSerialFormatSize = 20;   // record size of the areas formatted here
constexpr uint8_t kSerialFormatCount = 12;  // record slots of the areas formatted here
constexpr uint8_t kSerialVersion = 1;
// A deleted record's text: the first S - 1 bytes of 19 letters D and a zero. The filler is
// 20 bytes, so no record may be longer than 21 bytes (key + 20).
inline constexpr char kSerialDeleteFiller[21] = "DDDDDDDDDDDDDDDDDDD";
constexpr uint8_t kSerialMaxStructSize = 21;
constexpr int kModuleSerialSize = 23;  // out buffer of ReadModuleSerial

// True when a geometry fits the device, the buffers and the cache: 2 <= S <= 21, N <= 64,
// 16 + N * S <= 256.
bool SerialGeometryUsable(uint8_t struct_size, uint8_t eeprom_size);

// Record key of a device: type in bits 7..3, index in bits 2..0 (modulo 256).
inline uint8_t SerialKey(uint8_t devtype, uint8_t device_index) {
    return static_cast<uint8_t>(devtype * 8 + device_index);
}

int ReadHeader(uint8_t address, uint8_t *struct_size, uint8_t *eeprom_size, uint8_t *version);
int LoadSerialCache(uint8_t address, uint8_t struct_size, uint8_t eeprom_size, uint8_t version,
                    uint8_t *types, uint8_t *indexes, char **texts);
// Reads the header again (its slot count goes to g_state.eeprom_size) and loads the cache.
int RefreshSerialCache(uint8_t address, uint8_t *types, uint8_t *indexes, char **texts);
int FormatSerialArea(uint8_t address);
// text: struct_size - 1 bytes.
int AddEntry(uint8_t address, uint8_t struct_size, uint8_t eeprom_size, uint8_t version,
             uint8_t devtype, uint8_t device_index, const uint8_t *text);
// The caller holds the EEPROM mutex.
int WriteEntry(uint8_t address, uint8_t struct_size, uint8_t version, uint8_t slot, uint8_t devtype,
               uint8_t device_index, const uint8_t *text);
int DeleteEntry(uint8_t address, uint8_t struct_size, uint8_t version, uint8_t slot);
// out: at least 23 bytes.
int ReadModuleSerial(uint8_t address, char *out);

// The slot a record write addressed (-1 when none was chosen), so that a caller can keep its
// cache true to the device.
struct SerialWriteOutcome {
    int slot = -1;
};
int AddEntryReport(uint8_t address, uint8_t struct_size, uint8_t eeprom_size, uint8_t version,
                   uint8_t devtype, uint8_t device_index, const uint8_t *text,
                   SerialWriteOutcome *outcome);
// expected_key: the key the caller decided to delete (the slot's key byte is read before the
// write anyway); a slot that holds another key by then is left alone with 5. -1: any key.
int DeleteEntryReport(uint8_t address, uint8_t struct_size, uint8_t version, uint8_t slot,
                      int expected_key, SerialWriteOutcome *outcome);

// A write the bus cuts off part-way must not leave an area that no longer balances (the next
// start-up would format it). Before its first transfer a writer notes what the bytes it
// changes held (in the shared mapping, so that any process can finish the job), and drops
// the note once its bytes and the area checksum are through.
void SerialWriteBegin(uint8_t address, uint8_t offset, const uint8_t *old_bytes, uint8_t length);
void SerialWriteDone();
// Puts back what a noted write left cut off, balances the area checksum and reloads the cache
// from the device, as it does for a cache marked stale (a reload the bus refused after
// writes). 0 when nothing is left to do (no bus traffic then), 1 while the bus refuses. Takes
// the EEPROM mutex.
int SettleSerialArea();
void SerialCacheStale();
