// BIOS VPD: finding the block in the F segment, and the system and board texts.
#include "bios/vpd.h"

#include <cstring>

#include "QORasstW.h"
#include "platform/hwlib.h"
#include "state/state.h"

const char kVpdSignature[6] =
    "\xAA\x55"
    "VPD";

void VpdSystemText(const uint8_t *vpd, char out[kVpdSystemTextSize]) {
    out[0] = '1';
    out[1] = 'S';
    std::memcpy(out + 2, vpd + kVpdTypeModelOffset, kVpdTypeModelSize);
    std::memcpy(out + 2 + kVpdTypeModelSize, vpd + kVpdSystemSerialOffset, kVpdSystemSerialSize);
}

namespace {

// With physical memory open: finds the block and copies at most *size bytes of it.
int ReadVpdBlock(unsigned char *buffer, int *size) {
    const uint32_t at = PMemSearch(kVpdSignature, kVpdFirst, kVpdLast, kVpdStep);
    if (at == 0) return ASSET_ERR_VPD_INVALID;
    uint8_t header[kVpdHeaderSize];
    if (PMemRead(header, at, sizeof header) != 0) return ASSET_ERR_VPD_INVALID;
    if (std::memcmp(header, kVpdSignature, 5) != 0) return ASSET_ERR_VPD_INVALID;
    if (header[kVpdLengthOffset] < *size) *size = header[kVpdLengthOffset];
    if (*size > 0 && PMemRead(buffer, at, static_cast<uint32_t>(*size)) != 0) {
        return ASSET_ERR_VPD_INVALID;
    }
    return ASSET_OK;
}

// Copies n bytes of a text and a terminator; n is cut to size - 1 when size leaves less room.
void CopyCut(char *text, int size, const char *source, int length) {
    const int n = size <= length ? size - 1 : length;
    std::memcpy(text, source, static_cast<size_t>(n));
    text[n] = '\0';
}

}  // namespace

extern "C" QORASST_API int QORASST_CALL VPDLoadData(unsigned char *buffer, int *size) {
    if (buffer == nullptr || size == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    // A negative capacity would become a huge read; refuse it before touching memory.
    if (*size < 0) return ASSET_ERR_VPD_INVALID;
    if (PMemIsInitialized() == 0) return ASSET_ERR_VPD_PMEM;
    if (PMemOpen() == 0) return ASSET_ERR_VPD_OPEN;
    const int result = ReadVpdBlock(buffer, size);
    PMemClose();
    if (result == ASSET_OK) g_state.vpd_loaded = 1;
    return result;
}

extern "C" QORASST_API int QORASST_CALL VPDGetSystem(char *text, int size,
                                                     const unsigned char *vpd) {
    if (text == nullptr || vpd == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    // Not loaded, or no room for the terminator: refused, nothing written.
    if (!g_state.vpd_loaded || size <= 0) return ASSET_ERR_VPD_NOT_LOADED;
    char system[kVpdSystemTextSize];
    VpdSystemText(vpd, system);
    CopyCut(text, size, system, kVpdSystemTextSize);
    return ASSET_OK;
}

extern "C" QORASST_API int QORASST_CALL VPDGetMotherboard(char *text, int size,
                                                          const unsigned char *vpd) {
    if (text == nullptr || vpd == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (!g_state.vpd_loaded || size <= 0) return ASSET_ERR_VPD_NOT_LOADED;
    CopyCut(text, size, reinterpret_cast<const char *>(vpd + kVpdBoardSerialOffset),
            kVpdBoardSerialSize);
    return ASSET_OK;
}
