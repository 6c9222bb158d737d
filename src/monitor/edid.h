// Decoding of a 128-byte EDID 1.x block: pure functions over the bytes, no I/O, no state.
#pragma once

#include <cstdint>

constexpr int kEdidSize = 128;

// The texts never exceed four 13-byte descriptor runs and three two-space separators.
constexpr int kEdidTextRoom = 256;
constexpr int kEdidMaxText = 4 * 13 + 3 * 2;

// 23 timing bits and 8 standard-timing slots at most.
constexpr int kMaxModes = 31;
constexpr int32_t kModeKindNormal = 4;
constexpr int32_t kModeKindInterlaced = 5;

struct DisplayMode {
    int32_t width;
    int32_t height;
    int32_t refresh;
    int32_t kind;
};

struct ModeTable {
    DisplayMode modes[kMaxModes];
    int32_t count;
};

// The three-letter manufacturer code of bytes 8-9, unvalidated, and a terminator.
void EdidManufacturerText(const uint8_t *edid, char out[4]);

// "version.revision" of bytes 18 and 19 and a terminator; returns the text length.
int EdidVersionText(const uint8_t *edid, char out[8]);

// The texts of all descriptors with the tag (0xFC name, 0xFF serial number), joined by two
// spaces, into out (kEdidTextRoom bytes, terminated). The text may hold zero bytes copied
// from the descriptor, so the length is returned; 0 means no descriptor yields text.
int EdidDescriptorText(const uint8_t *edid, uint8_t tag, char *out);

// The display modes the block announces, in the fixed order of the timing bits followed by
// the standard-timing slots; nothing is sorted or merged.
void EdidBuildModes(const uint8_t *edid, ModeTable *table);

// Hands a text to a caller's buffer of size bytes: the whole buffer is zeroed, then at most
// size - 1 bytes are copied. A size below 1 writes nothing.
void EdidDeliverText(char *buffer, int size, const char *text, int length);
