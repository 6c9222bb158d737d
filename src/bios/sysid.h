// The BIOS system-ID table ("_SYSID_") and its UUID structure ("_UUID_").
#pragma once

#include <cstdint>
#include <cstring>

constexpr uint32_t kSysIdFirst = 0xE0000;
constexpr uint32_t kSysIdLast = 0xFFFFF;
constexpr uint32_t kSysIdStep = 16;
constexpr int kSysIdHeaderSize = 17;
constexpr int kUuidStructSize = 25;
constexpr int kUuidSize = 16;
constexpr int kUuidTextSize = 37;  // 36 characters and the terminator

// Checks a table header (length 17, bytes summing to 0) and takes the address of the first
// structure and the number of structures from it.
bool SysIdParseHeader(const uint8_t header[kSysIdHeaderSize], uint32_t *first, int32_t *count);

enum class SysIdStep { kFound, kNext, kStop };

// Examines the first 25 bytes of a structure at *address. A good UUID structure gives kFound
// with raw filled; a bad one gives kStop; any other structure moves *address on by its length
// and gives kNext, or gives kStop when that length would not move the walk forward.
SysIdStep SysIdExamine(const uint8_t bytes[kUuidStructSize], uint32_t *address,
                       uint8_t raw[kUuidSize]);

// "00112233-4455-6677-8899-AABBCCDDEEFF": the bytes in stored order and a terminator.
void UuidText(const uint8_t raw[kUuidSize], char text[kUuidTextSize]);

// Walks the structures of a table whose header has been read. read(buffer, address, length)
// answers 0 when it copied the bytes. Returns 1 with raw and text filled, else 0.
template <typename Read>
int SysIdWalk(const uint8_t header[kSysIdHeaderSize], Read &&read, uint8_t raw[kUuidSize],
              char text[kUuidTextSize]) {
    uint32_t address = 0;
    int32_t count = 0;
    if (!SysIdParseHeader(header, &address, &count)) return 0;
    for (int32_t i = 0; i < count; ++i) {
        uint8_t bytes[kUuidStructSize];
        if (read(bytes, address, static_cast<uint32_t>(kUuidStructSize)) != 0) return 0;
        uint8_t found[kUuidSize];
        switch (SysIdExamine(bytes, &address, found)) {
            case SysIdStep::kFound:
                std::memcpy(raw, found, kUuidSize);
                UuidText(found, text);
                return 1;
            case SysIdStep::kStop:
                return 0;
            case SysIdStep::kNext:
                break;
        }
    }
    return 0;
}

// Reads the machine's UUID from the system-ID table in physical memory. raw receives the 16
// bytes, text (37 bytes) their text form. Returns 1 when a valid UUID structure was found,
// 0 otherwise (nothing is said about why).
int ReadSystemUuid(unsigned char *raw, char *text);
