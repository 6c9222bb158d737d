// Decoding of EDID bytes: manufacturer, version, descriptor texts, the mode table and the
// delivery of texts into callers' buffers.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "monitor/edid.h"

namespace {

using Block = std::array<uint8_t, kEdidSize>;

// A block with no timings, all standard slots unused and no descriptors.
Block EmptyBlock() {
    Block b{};
    for (int i = 38; i < 54; ++i) b[i] = 0x01;
    return b;
}

// Descriptor d (0..3) with a tag and up to 13 payload bytes.
void SetDescriptor(Block &b, int d, uint8_t tag, const std::vector<uint8_t> &payload) {
    uint8_t *p = b.data() + 54 + 18 * d;
    std::memset(p, 0, 18);
    p[3] = tag;
    std::memcpy(p + 5, payload.data(), payload.size());
}

std::vector<uint8_t> Bytes(const std::string &s) {
    return {s.begin(), s.end()};
}

std::string Text(const Block &b, uint8_t tag) {
    char out[kEdidTextRoom];
    const int n = EdidDescriptorText(b.data(), tag, out);
    return std::string(out, static_cast<size_t>(n));
}

std::string Modes(const Block &b) {
    ModeTable t{};
    EdidBuildModes(b.data(), &t);
    std::string s;
    for (int i = 0; i < t.count; ++i) {
        const DisplayMode &m = t.modes[i];
        if (!s.empty()) s += ' ';
        s += std::to_string(m.width) + "x" + std::to_string(m.height) + "@" +
             std::to_string(m.refresh) + "/" + std::to_string(m.kind);
    }
    return s;
}

TEST(EdidDecode, ManufacturerLetters) {
    struct Case {
        uint8_t b8, b9;
        const char *expected;
    };
    const Case cases[] = {
        {0x04, 0x43, "ABC"}, {0x84, 0x43, "ABC"},  // bit 15 is ignored
        {0x00, 0x00, "@@@"}, {0x6B, 0x5A, "ZZZ"},
        {0x7F, 0xFF, "___"},  // codes of 31 are not validated
        {0x10, 0xAC, "DEL"},
    };
    for (const Case &c : cases) {
        Block b = EmptyBlock();
        b[8] = c.b8;
        b[9] = c.b9;
        char out[4];
        EdidManufacturerText(b.data(), out);
        EXPECT_STREQ(out, c.expected) << std::hex << int{c.b8} << " " << int{c.b9};
    }
}

TEST(EdidDecode, VersionText) {
    struct Case {
        uint8_t version, revision;
        const char *expected;
    };
    const Case cases[] = {{1, 3, "1.3"}, {1, 0, "1.0"}, {2, 10, "2.10"}, {255, 255, "255.255"}};
    for (const Case &c : cases) {
        Block b = EmptyBlock();
        b[18] = c.version;
        b[19] = c.revision;
        char out[8];
        const int n = EdidVersionText(b.data(), out);
        EXPECT_STREQ(out, c.expected);
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.expected)));
    }
}

TEST(EdidDecode, DescriptorTexts) {
    Block b = EmptyBlock();
    // Eight text bytes, a line feed and space padding.
    SetDescriptor(b, 1, 0xFC, Bytes("DELL1234\n    "));
    EXPECT_EQ(Text(b, 0xFC), "DELL1234");

    // Two names are joined by two spaces, in descriptor order.
    b = EmptyBlock();
    SetDescriptor(b, 0, 0xFC, Bytes("A1\n"));
    SetDescriptor(b, 3, 0xFC, Bytes("B2\n"));
    EXPECT_EQ(Text(b, 0xFC), "A1  B2");

    // Thirteen bytes without a line feed are taken whole, spaces included.
    b = EmptyBlock();
    SetDescriptor(b, 2, 0xFC, Bytes("ABCDEFGHIJ KL"));
    EXPECT_EQ(Text(b, 0xFC), "ABCDEFGHIJ KL");

    // Trailing spaces stay; a carriage return ends the text too.
    b = EmptyBlock();
    SetDescriptor(b, 0, 0xFF, Bytes("SN 12  \rXYZ"));
    EXPECT_EQ(Text(b, 0xFF), "SN 12  ");

    // A name that starts with a line feed yields nothing ...
    b = EmptyBlock();
    SetDescriptor(b, 0, 0xFC, Bytes("\nNAME"));
    EXPECT_EQ(Text(b, 0xFC), "");
    // ... and after a non-empty one still adds the separator.
    SetDescriptor(b, 0, 0xFC, Bytes("NAME\n"));
    SetDescriptor(b, 1, 0xFC, Bytes("\n"));
    EXPECT_EQ(Text(b, 0xFC), "NAME  ");

    // Four full descriptors: the longest text there is.
    b = EmptyBlock();
    for (int d = 0; d < 4; ++d) SetDescriptor(b, d, 0xFF, Bytes("0123456789ABC"));
    const std::string longest = Text(b, 0xFF);
    EXPECT_EQ(static_cast<int>(longest.size()), kEdidMaxText);
    EXPECT_EQ(longest, "0123456789ABC  0123456789ABC  0123456789ABC  0123456789ABC");

    // Bytes 0 to 2 must be zero and byte 3 the tag; byte 4 is not looked at.
    b = EmptyBlock();
    SetDescriptor(b, 0, 0xFC, Bytes("X\n"));
    b[54 + 2] = 0x01;
    SetDescriptor(b, 1, 0xFC, Bytes("Y\n"));
    b[72 + 4] = 0x55;
    SetDescriptor(b, 2, 0xFE, Bytes("Z\n"));
    EXPECT_EQ(Text(b, 0xFC), "Y");
    EXPECT_EQ(Text(b, 0xFF), "");

    // Zero bytes inside a text are kept: callers see them byte for byte.
    b = EmptyBlock();
    SetDescriptor(b, 0, 0xFF, {'A', 0x00, 'B', 0x0A});
    EXPECT_EQ(Text(b, 0xFF), std::string("A\0B", 3));
}

TEST(EdidDecode, TimingBitsInListedOrder) {
    Block b = EmptyBlock();
    b[35] = 0xFF;
    b[36] = 0xFF;
    b[37] = 0xFF;
    EXPECT_EQ(Modes(b),
              "720x400@70/4 720x400@88/4 640x480@60/4 640x480@67/4 640x480@72/4 640x480@75/4 "
              "800x600@56/4 800x600@60/4 800x600@72/4 800x600@75/4 832x624@75/4 1024x768@87/5 "
              "1024x768@60/4 1024x768@70/4 1024x768@75/4 1280x1024@75/4 1152x870@75/4 "
              "640x480@85/4 800x600@85/4 1024x768@85/4 1280x1024@85/4 1600x1200@75/4 "
              "1600x1200@85/4");

    // Bit 0 of byte 33 closes bits 6 to 1 of byte 37; bit 7 still counts.
    b = EmptyBlock();
    b[33] = 0x01;
    b[37] = 0xFF;
    EXPECT_EQ(Modes(b), "1152x870@75/4");
    b[33] = 0xFE;  // only bit 0 counts
    EXPECT_EQ(Modes(b),
              "1152x870@75/4 640x480@85/4 800x600@85/4 1024x768@85/4 1280x1024@85/4 "
              "1600x1200@75/4 1600x1200@85/4");
    b[37] = 0x01;
    EXPECT_EQ(Modes(b), "");

    // Single bits pick single modes.
    b = EmptyBlock();
    b[36] = 0x10;
    EXPECT_EQ(Modes(b), "1024x768@87/5");
}

TEST(EdidDecode, StandardTimingSlots) {
    struct Case {
        uint8_t first, second;
        const char *expected;
    };
    const Case cases[] = {
        {0x01, 0x01, ""},                // unused slot
        {0x00, 0x00, "248x248@60/4"},    // not skipped; aspect 0 is 1:1
        {0x81, 0x80, "1280x1024@60/4"},  // 5:4
        {0x31, 0x40, "640x480@60/4"},    // 4:3
        {0xD1, 0xC0, "1920x1080@60/4"},  // 16:9
        {0xA9, 0x4F, "1600x1200@75/4"},
        {0x01, 0x00, "256x256@60/4"},  // only both bytes 0x01 mark an unused slot
        {0x00, 0x01, "248x248@61/4"},
        {0xFF, 0xFF, "2288x1287@123/4"},  // 2288 * 9 / 16 = 1287 (truncated)
        {0x3B, 0x80, "720x576@60/4"},     // 720 * 4 / 5 = 576
        {0x45, 0x40, "800x600@60/4"},
        {0x3F, 0xC0, "752x423@60/4"},  // 752 * 9 / 16 = 423 (truncated)
    };
    for (const Case &c : cases) {
        Block b = EmptyBlock();
        b[38 + 6] = c.first;  // the fourth slot
        b[39 + 6] = c.second;
        EXPECT_EQ(Modes(b), c.expected) << std::hex << int{c.first} << " " << int{c.second};
    }

    // Timing bits come first, then the slots in order; nothing is sorted or merged.
    Block b = EmptyBlock();
    b[35] = 0x20;  // 640x480@60
    b[38] = 0x31;
    b[39] = 0x40;  // 640x480@60 again
    b[52] = 0x81;
    b[53] = 0x80;
    b[40] = 0xD1;
    b[41] = 0xC0;
    EXPECT_EQ(Modes(b), "640x480@60/4 640x480@60/4 1920x1080@60/4 1280x1024@60/4");

    // Nothing announced: no modes.
    EXPECT_EQ(Modes(EmptyBlock()), "");

    // Everything announced: the table's full size.
    b.fill(0);
    b[35] = b[36] = b[37] = 0xFF;
    ModeTable t{};
    EdidBuildModes(b.data(), &t);
    EXPECT_EQ(t.count, kMaxModes);
}

TEST(EdidDecode, TextDelivery) {
    struct Case {
        int size;
        const char *text;
        int length;
        std::vector<uint8_t> expected;  // the first 8 buffer bytes afterwards
    };
    constexpr uint8_t F = 0xEE;  // untouched
    const Case cases[] = {
        {8, "1.3", 3, {'1', '.', '3', 0, 0, 0, 0, 0}},
        {2, "1.3", 3, {'1', 0, F, F, F, F, F, F}},
        {1, "ABC", 3, {0, F, F, F, F, F, F, F}},
        {0, "ABC", 3, {F, F, F, F, F, F, F, F}},
        {-5, "ABC", 3, {F, F, F, F, F, F, F, F}},
        {4, "ABC", 3, {'A', 'B', 'C', 0, F, F, F, F}},
        {3, "ABC", 3, {'A', 'B', 0, F, F, F, F, F}},
        {6, "", 0, {0, 0, 0, 0, 0, 0, F, F}},
        {6, "A\0B", 3, {'A', 0, 'B', 0, 0, 0, F, F}},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> buf(8, F);
        EdidDeliverText(reinterpret_cast<char *>(buf.data()), c.size, c.text, c.length);
        EXPECT_EQ(buf, c.expected) << "size " << c.size;
    }
}

}  // namespace
