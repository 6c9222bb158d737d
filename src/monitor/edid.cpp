#include "monitor/edid.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kManufacturerOffset = 8;
constexpr int kVersionOffset = 18;
constexpr int kRevisionOffset = 19;
constexpr int kTimingGateOffset = 33;
constexpr int kStandardOffset = 38;
constexpr int kStandardSlots = 8;
constexpr int kDescriptorOffsets[4] = {54, 72, 90, 108};
constexpr int kDescriptorTextOffset = 5;
constexpr int kDescriptorTextMax = 13;

struct TimingBit {
    int byte;
    int bit;
    bool gated;  // only when bit 0 of byte 33 is clear
    DisplayMode mode;
};

// The modes this system assigns to the established and manufacturer's timing bits, in the
// order they are listed.
constexpr TimingBit kTimingBits[] = {
    {35, 7, false, {720, 400, 70, kModeKindNormal}},
    {35, 6, false, {720, 400, 88, kModeKindNormal}},
    {35, 5, false, {640, 480, 60, kModeKindNormal}},
    {35, 4, false, {640, 480, 67, kModeKindNormal}},
    {35, 3, false, {640, 480, 72, kModeKindNormal}},
    {35, 2, false, {640, 480, 75, kModeKindNormal}},
    {35, 1, false, {800, 600, 56, kModeKindNormal}},
    {35, 0, false, {800, 600, 60, kModeKindNormal}},
    {36, 7, false, {800, 600, 72, kModeKindNormal}},
    {36, 6, false, {800, 600, 75, kModeKindNormal}},
    {36, 5, false, {832, 624, 75, kModeKindNormal}},
    {36, 4, false, {1024, 768, 87, kModeKindInterlaced}},
    {36, 3, false, {1024, 768, 60, kModeKindNormal}},
    {36, 2, false, {1024, 768, 70, kModeKindNormal}},
    {36, 1, false, {1024, 768, 75, kModeKindNormal}},
    {36, 0, false, {1280, 1024, 75, kModeKindNormal}},
    {37, 7, false, {1152, 870, 75, kModeKindNormal}},
    {37, 6, true, {640, 480, 85, kModeKindNormal}},
    {37, 5, true, {800, 600, 85, kModeKindNormal}},
    {37, 4, true, {1024, 768, 85, kModeKindNormal}},
    {37, 3, true, {1280, 1024, 85, kModeKindNormal}},
    {37, 2, true, {1600, 1200, 75, kModeKindNormal}},
    {37, 1, true, {1600, 1200, 85, kModeKindNormal}},
};

static_assert(sizeof kTimingBits / sizeof kTimingBits[0] + kStandardSlots == kMaxModes);

}  // namespace

void EdidManufacturerText(const uint8_t *edid, char out[4]) {
    const unsigned v = (unsigned{edid[kManufacturerOffset]} << 8) | edid[kManufacturerOffset + 1];
    out[0] = static_cast<char>(0x40 + ((v >> 10) & 0x1F));
    out[1] = static_cast<char>(0x40 + ((v >> 5) & 0x1F));
    out[2] = static_cast<char>(0x40 + (v & 0x1F));
    out[3] = '\0';
}

int EdidVersionText(const uint8_t *edid, char out[8]) {
    // At most "255.255": seven characters and the terminator.
    return std::snprintf(out, 8, "%u.%u", unsigned{edid[kVersionOffset]},
                         unsigned{edid[kRevisionOffset]});
}

int EdidDescriptorText(const uint8_t *edid, uint8_t tag, char *out) {
    int length = 0;
    for (int offset : kDescriptorOffsets) {
        const uint8_t *d = edid + offset;
        if (d[0] != 0 || d[1] != 0 || d[2] != 0 || d[3] != tag) continue;
        // A later match is separated from what came before, even when its own text is empty.
        if (length > 0) {
            out[length++] = ' ';
            out[length++] = ' ';
        }
        for (int i = 0; i < kDescriptorTextMax; ++i) {
            const uint8_t c = d[kDescriptorTextOffset + i];
            if (c == 0x0A || c == 0x0D) break;
            out[length++] = static_cast<char>(c);
        }
    }
    out[length] = '\0';
    return length;
}

void EdidBuildModes(const uint8_t *edid, ModeTable *table) {
    int32_t count = 0;
    const bool gate_open = (edid[kTimingGateOffset] & 0x01) == 0;
    for (const TimingBit &t : kTimingBits) {
        if (t.gated && !gate_open) continue;
        if (edid[t.byte] & (1u << t.bit)) table->modes[count++] = t.mode;
    }
    for (int slot = 0; slot < kStandardSlots; ++slot) {
        const uint8_t first = edid[kStandardOffset + 2 * slot];
        const uint8_t second = edid[kStandardOffset + 2 * slot + 1];
        if (first == 0x01 && second == 0x01) continue;  // unused slot
        const int32_t width = first * 8 + 248;
        int32_t height = width;  // aspect 0 means 1:1 before EDID 1.3
        switch (second >> 6) {
            case 1:
                height = width * 3 / 4;
                break;
            case 2:
                height = width * 4 / 5;
                break;
            case 3:
                height = width * 9 / 16;
                break;
            default:
                break;
        }
        table->modes[count++] = {width, height, (second & 0x3F) + 60, kModeKindNormal};
    }
    table->count = count;
}

void EdidDeliverText(char *buffer, int size, const char *text, int length) {
    if (size < 1) return;
    std::memset(buffer, 0, static_cast<size_t>(size));
    const int n = length < size - 1 ? length : size - 1;
    if (n > 0) std::memcpy(buffer, text, static_cast<size_t>(n));
}
