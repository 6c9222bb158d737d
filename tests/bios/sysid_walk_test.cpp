// The walk of the system-ID table to its UUID structure, on memory images held in the test.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bios/sysid.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Sparse physical memory: reads succeed only inside placed pieces.
struct Memory {
    struct Piece {
        uint32_t base;
        Bytes bytes;
    };
    std::vector<Piece> pieces;
    std::vector<uint32_t> reads;  // addresses read, in order

    void Place(uint32_t base, const Bytes &bytes) { pieces.push_back({base, bytes}); }
    int Read(uint8_t *out, uint32_t address, uint32_t length) {
        reads.push_back(address);
        for (const Piece &p : pieces) {
            if (address >= p.base && address - p.base + length <= p.bytes.size()) {
                std::memcpy(out, p.bytes.data() + (address - p.base), length);
                return 0;
            }
        }
        return 1;
    }
};

uint8_t Balance(const Bytes &b, size_t skip) {
    unsigned sum = 0;
    for (size_t i = 0; i < b.size(); ++i)
        if (i != skip) sum += b[i];
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

Bytes Header(uint32_t first, int16_t count, uint16_t length = 17) {
    Bytes h = {'_',
               'S',
               'Y',
               'S',
               'I',
               'D',
               '_',
               0x00,
               static_cast<uint8_t>(length & 0xFF),
               static_cast<uint8_t>(length >> 8)};
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(first >> (8 * i)));
    const uint16_t c = static_cast<uint16_t>(count);
    h.push_back(static_cast<uint8_t>(c & 0xFF));
    h.push_back(static_cast<uint8_t>(c >> 8));
    h.push_back(0);
    h[16] = Balance(h, 16);
    return h;
}

// Another kind of structure, of the given length (only its first 25 bytes are read).
Bytes Other(int16_t length) {
    Bytes s = {'_', 'O', 'T', 'H', 'R', '_', 0};
    const uint16_t l = static_cast<uint16_t>(length);
    s.push_back(static_cast<uint8_t>(l & 0xFF));
    s.push_back(static_cast<uint8_t>(l >> 8));
    s.resize(25, 0x5A);
    return s;
}

Bytes Uuid(const Bytes &raw, uint16_t length = 25) {
    Bytes s = {'_',
               'U',
               'U',
               'I',
               'D',
               '_',
               0,
               static_cast<uint8_t>(length & 0xFF),
               static_cast<uint8_t>(length >> 8)};
    for (uint8_t b : raw) s.push_back(b);  // (insert trips a false array-bounds warning at -O2)
    s[6] = Balance(s, 6);                  // byte 6 is not examined; it balances the sum here
    return s;
}

const Bytes kRaw = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

struct WalkResult {
    int found;
    std::string text;
    Bytes raw;
};

WalkResult Walk(Memory &m, const Bytes &header) {
    uint8_t raw[kUuidSize];
    char text[kUuidTextSize];
    std::memset(raw, 0xEE, sizeof raw);
    std::memset(text, '#', sizeof text);
    const int found = SysIdWalk(
        header.data(), [&m](uint8_t *b, uint32_t a, uint32_t l) { return m.Read(b, a, l); }, raw,
        text);
    WalkResult r{found, "", Bytes(raw, raw + kUuidSize)};
    if (found) r.text.assign(text, strnlen(text, sizeof text));
    return r;
}

TEST(SysIdWalk, FindsUuidAndFormatsIt) {
    Memory m;
    m.Place(0xF1000, Uuid(kRaw));
    const WalkResult r = Walk(m, Header(0xF1000, 1));
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(r.text, "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_EQ(r.raw, kRaw);
}

TEST(SysIdWalk, UuidTextKeepsStoredOrder) {
    const uint8_t raw[16] = {0xF3, 0x0A, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB,
                             0xCD, 0xEF, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA};
    char text[kUuidTextSize];
    std::memset(text, '#', sizeof text);
    UuidText(raw, text);
    EXPECT_EQ(std::string(text, sizeof text),
              std::string("F30A0123-4567-89AB-CDEF-10325476") + "98BA" + std::string(1, '\0'));
}

TEST(SysIdWalk, FollowsStructureLengths) {
    // The second structure is the UUID: the walk moves by the first one's length.
    Memory m;
    m.Place(0xF2000, Other(0x40));
    m.Place(0xF2040, Uuid(kRaw));
    const WalkResult r = Walk(m, Header(0xF2000, 2));
    EXPECT_EQ(r.found, 1);
    EXPECT_EQ(m.reads, (std::vector<uint32_t>{0xF2000, 0xF2040}));

    // The count limits the walk: with one structure counted the UUID is never reached.
    Memory m2 = m;
    m2.reads.clear();
    EXPECT_EQ(Walk(m2, Header(0xF2000, 1)).found, 0);
    EXPECT_EQ(m2.reads, (std::vector<uint32_t>{0xF2000}));
}

TEST(SysIdWalk, RefusesBadTablesAndStructures) {
    struct Case {
        const char *name;
        std::vector<std::pair<uint32_t, Bytes>> memory;
        Bytes header;
        size_t reads;  // structure reads made before the walk gave up
    };
    Bytes bad_sum = Header(0xF3000, 1);
    bad_sum[7] ^= 0x01;
    Bytes uuid_bad_sum = Uuid(kRaw);
    uuid_bad_sum[24] ^= 0x80;
    const std::vector<Case> cases = {
        {"header length 18", {{0xF3000, Uuid(kRaw)}}, Header(0xF3000, 1, 18), 0},
        {"header sum not 0", {{0xF3000, Uuid(kRaw)}}, bad_sum, 0},
        {"count 0", {{0xF3000, Uuid(kRaw)}}, Header(0xF3000, 0), 0},
        {"negative count", {{0xF3000, Uuid(kRaw)}}, Header(0xF3000, -1), 0},
        {"uuid length 24 ends the walk",
         {{0xF3000, Uuid(kRaw, 24)}, {0xF3018, Uuid(kRaw)}},
         Header(0xF3000, 3),
         1},
        {"uuid sum not 0", {{0xF3000, uuid_bad_sum}}, Header(0xF3000, 1), 1},
        {"read fails", {}, Header(0xF3000, 1), 1},
        {"no uuid among the counted",
         {{0xF3000, Other(25)}, {0xF3019, Other(25)}},
         Header(0xF3000, 2),
         2},
        // A length that would not move the walk forward stops it at once.
        {"length 0", {{0xF3000, Other(0)}}, Header(0xF3000, 100), 1},
        {"negative length",
         {{0xF3000, Other(-25)}, {0xF3000 - 25, Uuid(kRaw)}},
         Header(0xF3000, 100),
         1},
        {"length wrapping past 4 GiB",
         {{0xFFFFFFE0, Other(0x40)}, {0x20, Uuid(kRaw)}},
         Header(0xFFFFFFE0, 5),
         1},
    };
    for (const Case &c : cases) {
        Memory m;
        for (const auto &[base, bytes] : c.memory) m.Place(base, bytes);
        const WalkResult r = Walk(m, c.header);
        EXPECT_EQ(r.found, 0) << c.name;
        EXPECT_EQ(m.reads.size(), c.reads) << c.name;
    }
}

}  // namespace
