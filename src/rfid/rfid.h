// The RF device's identifier: twelve register bytes turned into fourteen characters.
#pragma once

#include <cstdint>

constexpr uint8_t kRfDevice = 0xB8;
constexpr uint8_t kRfIdRegister = 0x10;  // first of the 12 identifier registers
constexpr int kRfIdBlockSize = 12;
constexpr int kRfIdTextSize = 32;  // the caller's buffer
constexpr int kRfIdChars = 14;

// Checks and decodes an identifier block into buffer (32 bytes, cleared first). 0 with the
// 14 characters in place; 7 when the block does not sum to 0; 11 at the first 6-bit group
// above 35, with the characters before it in place.
int RfIdDecode(const uint8_t block[kRfIdBlockSize], char *buffer);
