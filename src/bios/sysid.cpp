// The system UUID, found by walking the BIOS system-ID table in physical memory.
#include "bios/sysid.h"

#include "eeprom/eeprom.h"
#include "platform/hwlib.h"

namespace {

constexpr int kHeaderLengthOffset = 8;
constexpr int kHeaderFirstOffset = 10;
constexpr int kHeaderCountOffset = 14;
constexpr int kStructLengthOffset = 7;
constexpr int kUuidOffset = 9;

uint32_t Le16(const uint8_t *p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8);
}

uint32_t Le32(const uint8_t *p) {
    return Le16(p) | (Le16(p + 2) << 16);
}

int32_t Signed16(uint32_t value) {
    return value >= 0x8000 ? static_cast<int32_t>(value) - 0x10000 : static_cast<int32_t>(value);
}

}  // namespace

bool SysIdParseHeader(const uint8_t header[kSysIdHeaderSize], uint32_t *first, int32_t *count) {
    if (Le16(header + kHeaderLengthOffset) != kSysIdHeaderSize) return false;
    if (ByteSum(header, kSysIdHeaderSize) != 0) return false;
    *first = Le32(header + kHeaderFirstOffset);
    *count = Signed16(Le16(header + kHeaderCountOffset));
    return true;
}

SysIdStep SysIdExamine(const uint8_t bytes[kUuidStructSize], uint32_t *address,
                       uint8_t raw[kUuidSize]) {
    const int32_t length = Signed16(Le16(bytes + kStructLengthOffset));
    if (std::memcmp(bytes, "_UUID_", 6) == 0) {
        if (length != kUuidStructSize || ByteSum(bytes, kUuidStructSize) != 0) {
            return SysIdStep::kStop;
        }
        std::memcpy(raw, bytes + kUuidOffset, kUuidSize);
        return SysIdStep::kFound;
    }
    // A length of 0 or less would revisit the same or an earlier structure, and one that
    // wraps past the top of the address space would start again at the bottom.
    const uint32_t next = *address + static_cast<uint32_t>(length);
    if (length <= 0 || next < *address) return SysIdStep::kStop;
    *address = next;
    return SysIdStep::kNext;
}

void UuidText(const uint8_t raw[kUuidSize], char text[kUuidTextSize]) {
    // Groups of 4, 2, 2, 2 and 6 bytes.
    char *out = text;
    for (int i = 0; i < kUuidSize; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
        ByteToHex(out, raw[i]);
        out += 2;
    }
    *out = '\0';
}

int ReadSystemUuid(unsigned char *raw, char *text) {
    if (PMemIsInitialized() == 0 || PMemOpen() == 0) return 0;
    int found = 0;
    const uint32_t table = PMemSearch("_SYSID_", kSysIdFirst, kSysIdLast, kSysIdStep);
    uint8_t header[kSysIdHeaderSize];
    if (table != 0 && PMemRead(header, table, kSysIdHeaderSize) == 0) {
        found = SysIdWalk(
            header,
            [](uint8_t *buffer, uint32_t address, uint32_t length) {
                return PMemRead(buffer, address, length);
            },
            raw, text);
    }
    PMemClose();
    return found;
}
