// The BIOS vital-product data (VPD) block: where it lies and which bytes carry what.
#pragma once

#include <cstdint>

constexpr int kVpdBlockSize = 256;
constexpr uint32_t kVpdFirst = 0xF0000;
constexpr uint32_t kVpdLast = 0xFFFFF;
constexpr uint32_t kVpdStep = 16;
constexpr int kVpdHeaderSize = 6;  // 0xAA 0x55 "VPD" and the length byte
constexpr int kVpdLengthOffset = 5;
constexpr int kVpdSystemSerialOffset = 0x16;
constexpr int kVpdSystemSerialSize = 7;
constexpr int kVpdBoardSerialOffset = 0x1D;
constexpr int kVpdBoardSerialSize = 11;
constexpr int kVpdTypeModelOffset = 0x28;
constexpr int kVpdTypeModelSize = 7;
constexpr int kVpdSystemTextSize = 16;  // "1S", type-model, system serial

// The five signature bytes that open the block.
extern const char kVpdSignature[6];

// The system text of a VPD block, unterminated, byte for byte (no trimming).
void VpdSystemText(const uint8_t *vpd, char out[kVpdSystemTextSize]);
