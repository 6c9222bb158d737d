// EDID capture from the extended BIOS data area, and the monitor exports over the captured
// block.
#include "monitor/monitor.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "QORasstW.h"
#include "eeprom/eeprom.h"
#include "monitor/edid.h"
#include "platform/hwlib.h"

namespace {

constexpr uint32_t kBdaEbdaSegment = 0x40E;  // BIOS data area word: EBDA segment
constexpr uint32_t kEbdaMaxKiB = 16;
constexpr uint32_t kRecordStep = 16;
constexpr uint32_t kRecordAddressOffset = 4;
constexpr uint8_t kNameTag = 0xFC;
constexpr uint8_t kSerialTag = 0xFF;

// Written only by the capture at process attach, read-only afterwards.
uint8_t edid_block[kEdidSize];
int32_t edid_valid = 0;

// The mode table is derived from the block on first use; two first callers on two threads
// must not both build it, and neither may read it half-built.
enum : int32_t { kModesUnbuilt = 0, kModesBuilding = 1, kModesBuilt = 2 };
ModeTable mode_table;
std::atomic<int32_t> modes_state{kModesUnbuilt};

const ModeTable &Modes() {
    if (modes_state.load(std::memory_order_acquire) != kModesBuilt) {
        int32_t expected = kModesUnbuilt;
        if (modes_state.compare_exchange_strong(expected, kModesBuilding,
                                                std::memory_order_acq_rel)) {
            EdidBuildModes(edid_block, &mode_table);
            modes_state.store(kModesBuilt, std::memory_order_release);
        } else {
            // Another thread is building; that takes a few dozen table steps.
            while (modes_state.load(std::memory_order_acquire) != kModesBuilt) {
            }
        }
    }
    return mode_table;
}

uint32_t LittleEndian(const uint8_t *bytes, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

// Follows the BIOS's pointers to the EDID block, with physical memory open.
int ReadEdidFromEbda(uint8_t block[kEdidSize]) {
    uint8_t word[2] = {0, 0};
    if (PMemRead(word, kBdaEbdaSegment, sizeof word) != 0) return ASSET_ERR_EDID_READ;
    const uint32_t segment = LittleEndian(word, 2);
    if (segment == 0) return ASSET_ERR_EDID_READ;

    const uint32_t base = segment * 16;
    uint8_t kib = 0;
    if (PMemRead(&kib, base, 1) != 0) return ASSET_ERR_EDID_READ;
    if (kib < 1 || kib > kEbdaMaxKiB) return ASSET_ERR_EDID_READ;

    const uint32_t record = PMemSearch("EDID", base, base + kib * 1024u - 1, kRecordStep);
    if (record == 0) return ASSET_ERR_EDID_RECORD;

    uint8_t pointer[4] = {0, 0, 0, 0};
    if (PMemRead(pointer, record + kRecordAddressOffset, sizeof pointer) != 0) {
        return ASSET_ERR_EDID_READ;
    }
    const uint32_t address = LittleEndian(pointer, 4);
    if (address == 0) return ASSET_ERR_EDID_READ;

    if (PMemRead(block, address, kEdidSize) != 0) return ASSET_ERR_EDID_READ;
    return ASSET_OK;
}

int DescriptorExport(char *buffer, int size, uint8_t tag, int missing) {
    if (buffer == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (!edid_valid) return ASSET_ERR_NO_EDID;
    char text[kEdidTextRoom];
    const int length = EdidDescriptorText(edid_block, tag, text);
    // The buffer is cleared also when nothing is found.
    EdidDeliverText(buffer, size, text, length);
    return length == 0 ? missing : ASSET_OK;
}

}  // namespace

int MonitorCaptureEDID() {
    // A new capture replaces whatever an earlier one left, including the modes built from it.
    edid_valid = 0;
    modes_state.store(kModesUnbuilt, std::memory_order_release);

    if (PMemIsInitialized() == 0) return ASSET_ERR_EDID_PMEM;
    if (PMemOpen() == 0) return ASSET_ERR_EDID_OPEN;
    // Read into a scratch block so that a failed or unbalanced read never becomes visible.
    uint8_t block[kEdidSize];
    const int result = ReadEdidFromEbda(block);
    PMemClose();
    if (result != ASSET_OK) return result;
    if (ByteSum(block, kEdidSize) != 0) return ASSET_ERR_EDID_CHECKSUM;
    std::memcpy(edid_block, block, kEdidSize);
    edid_valid = 1;
    return ASSET_OK;
}

int MonitorGetSerialNumber(char *buffer, int size) {
    return DescriptorExport(buffer, size, kSerialTag, ASSET_ERR_EDID_SERIAL);
}

extern "C" QORASST_API int QORASST_CALL MonitorGetEDIDBlock(unsigned char *buffer, int size) {
    if (buffer == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (!edid_valid) return ASSET_ERR_NO_EDID;
    if (size <= 0) return ASSET_OK;
    const int n = size < kEdidSize ? size : kEdidSize;
    std::memcpy(buffer, edid_block, static_cast<size_t>(n));
    return ASSET_OK;
}

extern "C" QORASST_API int QORASST_CALL MonitorGetManufacturer(char *buffer, int size) {
    if (buffer == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (!edid_valid) return ASSET_ERR_NO_EDID;
    char text[4];
    EdidManufacturerText(edid_block, text);
    EdidDeliverText(buffer, size, text, 3);
    return ASSET_OK;
}

extern "C" QORASST_API int QORASST_CALL MonitorGetProduct(char *buffer, int size) {
    return DescriptorExport(buffer, size, kNameTag, ASSET_ERR_EDID_NAME);
}

extern "C" QORASST_API int QORASST_CALL MonitorGetVersion(char *buffer, int size) {
    if (buffer == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (!edid_valid) return ASSET_ERR_NO_EDID;
    char text[8];
    const int length = EdidVersionText(edid_block, text);
    EdidDeliverText(buffer, size, text, length);
    return ASSET_OK;
}

extern "C" QORASST_API int QORASST_CALL MonitorGetResolution(int index, int *width, int *height,
                                                             int *refresh, int *kind) {
    if (width == nullptr || height == nullptr || refresh == nullptr || kind == nullptr) {
        return ASSET_ERR_BAD_ARGUMENT;
    }
    if (!edid_valid) return ASSET_ERR_NO_EDID;
    const ModeTable &table = Modes();
    if (index < 0 || index >= table.count) return ASSET_ERR_MODE_INDEX;
    const DisplayMode &mode = table.modes[index];
    *width = mode.width;
    *height = mode.height;
    *refresh = mode.refresh;
    *kind = mode.kind;
    return ASSET_OK;
}
