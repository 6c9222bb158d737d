// AssetGetRFID: the identifier block of the RF device's registers 0x10 to 0x1B.
#include "rfid/rfid.h"

#include <cstring>

#include "QORasstW.h"
#include "eeprom/eeprom.h"
#include "platform/hwlib.h"
#include "state/state.h"

namespace {

// Bits 0 to 11 of the block carry no characters; fourteen 6-bit groups follow.
constexpr int kFirstGroupBit = 12;
constexpr int kGroupBits = 6;
constexpr uint32_t kLastValue = 35;

// Bit n of the block, counted from the most significant bit of the first byte.
uint32_t Bit(const uint8_t *block, int n) {
    return (block[n / 8] >> (7 - n % 8)) & 1u;
}

}  // namespace

int RfIdDecode(const uint8_t block[kRfIdBlockSize], char *buffer) {
    std::memset(buffer, 0, kRfIdTextSize);
    if (ByteSum(block, kRfIdBlockSize) != 0) return ASSET_ERR_CHECKSUM;
    for (int g = 0; g < kRfIdChars; ++g) {
        uint32_t v = 0;
        for (int b = 0; b < kGroupBits; ++b) {
            v = (v << 1) | Bit(block, kFirstGroupBit + kGroupBits * g + b);
        }
        if (v > kLastValue) return ASSET_ERR_RFID_GROUP;
        // 0 to 25 are the letters A to Z, 26 to 35 the digits 0 to 9.
        buffer[g] = static_cast<char>(v < 26 ? 'A' + v : '0' + (v - 26));
    }
    return ASSET_OK;
}

extern "C" QORASST_API int QORASST_CALL AssetGetRFID(char *buffer) {
    if (buffer == nullptr) return ASSET_ERR_BAD_ARGUMENT;
    if (!g_state.initialized) return ASSET_ERR_NOT_INITIALIZED;
    std::memset(buffer, 0, kRfIdTextSize);
    uint8_t block[kRfIdBlockSize];
    for (int i = 0; i < kRfIdBlockSize; ++i) {
        // The bus library's own failure value is passed on unchanged.
        const int result = I2C_SendCommandThenRead(
            kRfDevice, static_cast<uint8_t>(kRfIdRegister + i), &block[i], 1);
        if (result != 0) return result;
    }
    return RfIdDecode(block, buffer);
}
