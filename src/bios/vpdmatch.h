// The match between the BIOS identification bytes and the system serial number.
#pragma once

#include <cstdint>

constexpr uint32_t kBiosIdentAddress = 0xFFFB6;
constexpr int kBiosIdentSize = 7;

// 1 when the identification bytes (a text ending at the first zero byte, upper-cased) occur
// in serial. An empty identification identifies nothing and gives 0.
int BiosIdentMatches(const uint8_t ident[kBiosIdentSize], const char *serial);
