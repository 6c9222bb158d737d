#include "eeprom/serial/serial_area.h"

#include <cstring>

#include "QORasstW.h"
#include "eeprom/eeprom.h"
#include "state/state.h"

namespace {

constexpr char kSignature[4] = {'S', 'E', 'R', '#'};
constexpr uint8_t kModuleBlockOffset = 128;
constexpr int kModuleBlockSize = 23;
constexpr uint8_t kJedecIdOffset = 64;
constexpr uint8_t kJedecTailOffset = 91;
constexpr int kJedecTailSize = 8;

// The refusals every record write makes before touching the bus, in their order.
int RecordWriteRefusal(uint8_t address, uint8_t version, uint8_t device_index) {
    if (address == 0) return ASSET_ERR_BUS;
    if (version != kSerialVersion) return ASSET_ERR_VERSION;
    if (device_index > 7) return ASSET_ERR_INDEX;
    return ASSET_OK;
}

uint8_t RecordOffset(uint8_t struct_size, int slot) {
    return static_cast<uint8_t>(kSerialRecordsOffset + struct_size * slot);
}

// Writes a whole record over what the slot held (old_bytes, all S of them), keeps the area
// checksum balanced and reads the record back. Whatever fails, the slot is put back as it was
// (now, or by the next access that reaches the bus).
int ReplaceRecord(uint8_t address, uint8_t struct_size, uint8_t offset, const uint8_t *old_bytes,
                  uint8_t key, const uint8_t *text) {
    uint8_t record[kSerialMaxStructSize];
    record[0] = key;
    std::memcpy(record + 1, text, struct_size - 1u);
    const uint8_t delta =
        static_cast<uint8_t>(ByteSum(old_bytes, struct_size) - ByteSum(record, struct_size));
    SerialWriteBegin(address, offset, old_bytes, struct_size);
    int result = ASSET_ERR_BUS;
    if (EeWriteBlock(address, offset, record, struct_size) == 0 &&
        EeAdjustChecksum(address, kSerialOffsetChecksum, delta) == 0) {
        result = EeVerifyRecord(address, offset, record, struct_size);
    }
    if (result == ASSET_OK) {
        SerialWriteDone();
    } else {
        SettleSerialArea();
    }
    return result;
}

// The cache from a whole area read in one transfer.
void FillCache(const uint8_t *area, uint8_t struct_size, uint8_t eeprom_size, uint8_t *types,
               uint8_t *indexes, char **texts) {
    for (int i = 0; i < eeprom_size; ++i) {
        const uint8_t *record = area + RecordOffset(struct_size, i);
        types[i] = static_cast<uint8_t>(record[0] >> 3);
        indexes[i] = static_cast<uint8_t>(record[0] & 7);
        std::memcpy(texts[i], record + 1, struct_size - 1u);
        texts[i][struct_size - 1] = 0;
    }
}

// expected_key: -1, or the key the slot must still hold for the write to go ahead.
int WriteEntryReport(uint8_t address, uint8_t struct_size, uint8_t version, uint8_t slot,
                     uint8_t devtype, uint8_t device_index, const uint8_t *text, int expected_key,
                     SerialWriteOutcome *outcome) {
    if (int refusal = RecordWriteRefusal(address, version, device_index)) return refusal;
    if (struct_size < 2 || struct_size > kSerialMaxStructSize) return ASSET_ERR_CHECKSUM;
    if (SettleSerialArea() != ASSET_OK) return ASSET_ERR_BUS;
    if (outcome != nullptr) outcome->slot = slot;
    const uint8_t offset = RecordOffset(struct_size, slot);
    uint8_t old_bytes[kSerialMaxStructSize];
    if (EeReadBlock(address, offset, old_bytes, struct_size) != 0) return ASSET_ERR_BUS;
    if (expected_key >= 0 && old_bytes[0] != expected_key) return ASSET_ERR_VERIFY_KEY;
    return ReplaceRecord(address, struct_size, offset, old_bytes, SerialKey(devtype, device_index),
                         text);
}

// Visits the slots from 0 upward, one 1-byte read of each key, up to the first that holds
// key. Answers 0 with *slot set (-1: no slot holds it) or 1 on a bus failure.
int ScanForKey(uint8_t address, uint8_t struct_size, uint8_t eeprom_size, uint8_t key, int *slot) {
    *slot = -1;
    for (int i = 0; i < eeprom_size; ++i) {
        uint8_t byte = 0;
        if (EeReadBlock(address, RecordOffset(struct_size, i), &byte, 1) != 0) {
            return ASSET_ERR_BUS;
        }
        if (byte == key) {
            *slot = i;
            return 0;
        }
    }
    return 0;
}

}  // namespace

bool SerialGeometryUsable(uint8_t struct_size, uint8_t eeprom_size) {
    return struct_size >= 2 && struct_size <= kSerialMaxStructSize && eeprom_size <= kMaxRecords &&
           kSerialRecordsOffset + eeprom_size * struct_size <= kDeviceBytes;
}

int ReadHeader(uint8_t address, uint8_t *struct_size, uint8_t *eeprom_size, uint8_t *version) {
    if (address == 0) return ASSET_ERR_BUS;
    EeLock lock;
    if (!lock.held()) return ASSET_ERR_BUS;
    uint8_t header[kSerialHeaderSize];
    if (EeReadBlock(address, 0, header, kSerialHeaderSize) != 0) return ASSET_ERR_BUS;
    if (std::memcmp(header, kSignature, sizeof kSignature) != 0) return ASSET_ERR_SIGNATURE;
    if (ByteSum(header, kSerialHeaderSize) != 0) return ASSET_ERR_CHECKSUM;
    // A balanced header describing an area the buffers cannot hold is not trusted either.
    if (!SerialGeometryUsable(header[4], header[5])) return ASSET_ERR_CHECKSUM;
    *struct_size = header[4];
    *eeprom_size = header[5];
    *version = header[6];
    return ASSET_OK;
}

int LoadSerialCache(uint8_t address, uint8_t struct_size, uint8_t eeprom_size, uint8_t version,
                    uint8_t *types, uint8_t *indexes, char **texts) {
    if (address == 0) return ASSET_ERR_BUS;
    if (version != kSerialVersion) return ASSET_ERR_VERSION;
    if (!SerialGeometryUsable(struct_size, eeprom_size)) return ASSET_ERR_CHECKSUM;
    EeLock lock;
    if (!lock.held() || SettleSerialArea() != ASSET_OK) return ASSET_ERR_BUS;
    uint8_t area[kDeviceBytes];
    const int length = kSerialRecordsOffset + eeprom_size * struct_size;
    if (EeReadBlock(address, 0, area, length) != 0) return ASSET_ERR_BUS;
    if (ByteSum(area, static_cast<size_t>(length)) != 0) return ASSET_ERR_CHECKSUM;
    FillCache(area, struct_size, eeprom_size, types, indexes, texts);
    return ASSET_OK;
}

int RefreshSerialCache(uint8_t address, uint8_t *types, uint8_t *indexes, char **texts) {
    uint8_t struct_size = 0;
    uint8_t eeprom_size = 0;
    uint8_t version = 0;
    const int result = ReadHeader(address, &struct_size, &eeprom_size, &version);
    if (result != ASSET_OK) return result;
    // The cache pointers were laid out for one geometry; another one would not fit them.
    if (struct_size != g_state.layout_struct_size || eeprom_size != g_state.layout_count) {
        return ASSET_ERR_CHECKSUM;
    }
    g_state.eeprom_size = eeprom_size;
    return LoadSerialCache(address, struct_size, eeprom_size, version, types, indexes, texts);
}

int FormatSerialArea(uint8_t address) {
    if (address == 0) return ASSET_ERR_BUS;
    EeLock lock;
    if (!lock.held()) return ASSET_ERR_BUS;
    uint8_t image[kDeviceBytes] = {};
    std::memcpy(image, kSignature, sizeof kSignature);
    image[4] = kSerialFormatSize;
    image[5] = kSerialFormatCount;
    image[6] = kSerialVersion;
    image[7] = static_cast<uint8_t>(0x100 - ByteSum(image, 7));
    image[8] = static_cast<uint8_t>(0x100 - ByteSum(image, 8));
    return EeWriteBlock(address, 0, image, kDeviceBytes);
}

int AddEntryReport(uint8_t address, uint8_t struct_size, uint8_t eeprom_size, uint8_t version,
                   uint8_t devtype, uint8_t device_index, const uint8_t *text,
                   SerialWriteOutcome *outcome) {
    if (int refusal = RecordWriteRefusal(address, version, device_index)) return refusal;
    if (!SerialGeometryUsable(struct_size, eeprom_size)) return ASSET_ERR_CHECKSUM;
    EeLock lock;
    if (!lock.held() || SettleSerialArea() != ASSET_OK) return ASSET_ERR_BUS;
    const uint8_t key = SerialKey(devtype, device_index);

    int slot = -1;
    int result = ScanForKey(address, struct_size, eeprom_size, key, &slot);
    if (result != ASSET_OK) return result;
    if (slot >= 0) {
        // The device already has a record: overwrite it in place.
        return WriteEntryReport(address, struct_size, version, static_cast<uint8_t>(slot), devtype,
                                device_index, text, -1, outcome);
    }

    result = ScanForKey(address, struct_size, eeprom_size, 0, &slot);
    if (result != ASSET_OK) return result;
    if (slot < 0) return ASSET_ERR_NO_ROOM;
    if (outcome != nullptr) outcome->slot = slot;
    const uint8_t offset = RecordOffset(struct_size, slot);
    // The key of a free slot is 0; only its old text has to be read.
    uint8_t old_bytes[kSerialMaxStructSize] = {};
    if (EeReadBlock(address, static_cast<uint8_t>(offset + 1), old_bytes + 1, struct_size - 1) !=
        0) {
        return ASSET_ERR_BUS;
    }
    return ReplaceRecord(address, struct_size, offset, old_bytes, key, text);
}

int AddEntry(uint8_t address, uint8_t struct_size, uint8_t eeprom_size, uint8_t version,
             uint8_t devtype, uint8_t device_index, const uint8_t *text) {
    return AddEntryReport(address, struct_size, eeprom_size, version, devtype, device_index, text,
                          nullptr);
}

int WriteEntry(uint8_t address, uint8_t struct_size, uint8_t version, uint8_t slot, uint8_t devtype,
               uint8_t device_index, const uint8_t *text) {
    return WriteEntryReport(address, struct_size, version, slot, devtype, device_index, text, -1,
                            nullptr);
}

int DeleteEntryReport(uint8_t address, uint8_t struct_size, uint8_t version, uint8_t slot,
                      int expected_key, SerialWriteOutcome *outcome) {
    if (address == 0) return ASSET_ERR_BUS;
    EeLock lock;
    if (!lock.held()) return ASSET_ERR_BUS;
    return WriteEntryReport(address, struct_size, version, slot, 0, 0,
                            reinterpret_cast<const uint8_t *>(kSerialDeleteFiller), expected_key,
                            outcome);
}

int DeleteEntry(uint8_t address, uint8_t struct_size, uint8_t version, uint8_t slot) {
    return DeleteEntryReport(address, struct_size, version, slot, -1, nullptr);
}

void SerialWriteBegin(uint8_t address, uint8_t offset, const uint8_t *old_bytes, uint8_t length) {
    SharedExtras *x = SharedExtrasOf();
    x->serial.address = address;
    x->serial.offset = offset;
    x->serial.length = length;
    std::memcpy(x->serial.bytes, old_bytes, length);
    x->serial.pending = 1;
}

void SerialWriteDone() {
    SharedExtrasOf()->serial = {};
}

void SerialCacheStale() {
    EeLock lock;
    SharedExtrasOf()->serial_cache_stale = 1;
}

int SettleSerialArea() {
    SharedExtras *x = SharedExtrasOf();
    if (x->serial.pending == 0 && x->serial_cache_stale == 0) return ASSET_OK;
    EeLock lock;
    if (!lock.held()) return ASSET_ERR_BUS;
    uint8_t address = g_state.eeprom_addr;
    if (x->serial.pending != 0) {
        address = x->serial.address;
        // Written only where the device does not hold them: a write refused at its first
        // transfer left nothing to put back.
        uint8_t now[sizeof x->serial.bytes];
        if (EeReadBlock(address, x->serial.offset, now, x->serial.length) != 0) {
            return ASSET_ERR_BUS;
        }
        if (std::memcmp(now, x->serial.bytes, x->serial.length) != 0 &&
            EeWriteBlock(address, x->serial.offset, x->serial.bytes, x->serial.length) != 0) {
            return ASSET_ERR_BUS;
        }
    } else if (x->serial_cache_stale == 0) {
        return ASSET_OK;  // another process was first
    }
    uint8_t s = 0, n = 0, version = 0;
    const int header = ReadHeader(address, &s, &n, &version);
    if (header == ASSET_ERR_BUS) return ASSET_ERR_BUS;
    // Records and the flags byte lie behind the header: with the header gone there is no
    // area this write could have unbalanced.
    if (header == ASSET_OK) {
        uint8_t area[kDeviceBytes];
        const int length = kSerialRecordsOffset + n * s;
        if (EeReadBlock(address, 0, area, length) != 0) return ASSET_ERR_BUS;
        const uint8_t sum = ByteSum(area, static_cast<size_t>(length));
        if (sum != 0) {
            area[kSerialOffsetChecksum] = static_cast<uint8_t>(area[kSerialOffsetChecksum] - sum);
            if (EeWriteBlock(address, kSerialOffsetChecksum, &area[kSerialOffsetChecksum], 1) !=
                0) {
                return ASSET_ERR_BUS;
            }
        }
        if (address == g_state.eeprom_addr && version == kSerialVersion &&
            s == g_state.layout_struct_size && n == g_state.layout_count) {
            FillCache(area, s, n, g_state.serial_type, g_state.serial_index, g_state.serial_text);
        }
    }
    SerialWriteDone();
    x->serial_cache_stale = 0;
    return ASSET_OK;
}

int ReadModuleSerial(uint8_t address, char *out) {
    if (address == 0) return ASSET_ERR_BUS;
    uint8_t block[kModuleBlockSize];
    if (EeReadBlock(address, kModuleBlockOffset, block, kModuleBlockSize) != 0) {
        return ASSET_ERR_BUS;
    }
    int pending = ASSET_ERR_SIGNATURE;
    if (block[0] == '1' && block[1] == '1' && block[2] == 'S') {
        std::memcpy(out, block, 22);
        out[22] = 0;
        if (block[22] == static_cast<uint8_t>(~ByteSum(block, 22))) return ASSET_OK;
        pending = ASSET_ERR_CHECKSUM;
    }
    // No usable block: fall back on the module's JEDEC identification in the SPD bytes.
    uint8_t jedec[1 + kJedecTailSize];
    if (EeReadBlock(address, kJedecIdOffset, jedec, 1) != 0) return ASSET_ERR_BUS;
    if (EeReadBlock(address, kJedecTailOffset, jedec + 1, kJedecTailSize) != 0) {
        return ASSET_ERR_BUS;
    }
    bool blank = true;
    for (uint8_t byte : jedec) blank = blank && (byte == 0x00 || byte == 0xFF);
    if (blank) return pending;
    for (int i = 0; i < 1 + kJedecTailSize; ++i) ByteToHex(out + 2 * i, jedec[i]);
    out[2 * (1 + kJedecTailSize)] = 0;
    return ASSET_OK;
}
