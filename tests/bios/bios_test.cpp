// The BIOS tables on a simulated machine: the system-ID walk to the UUID, the match of the
// BIOS identification bytes with the system serial number, and the VPD block and its texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "QORasstW.h"
#include "bios/sysid.h"
#include "state/state.h"
#include "support/machine.h"

namespace {

using namespace std::string_view_literals;
using qorsim::Bytes;

constexpr uint32_t kTable = 0xFE300;
constexpr uint32_t kVpdAt = 0xFD000;
const Bytes kRaw = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

void PutLe(Bytes &b, size_t at, uint32_t value, size_t count) {
    for (size_t i = 0; i < count; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Sets b[at] so that all of b sums to 0.
void Balance(Bytes &b, size_t at) {
    b[at] = static_cast<uint8_t>(b[at] - std::accumulate(b.begin(), b.end(), 0u));
}

// A "_SYSID_" header, balanced by its byte 16.
Bytes Header(uint32_t first, int16_t count, uint16_t length = 17) {
    Bytes h = {'_', 'S', 'Y', 'S', 'I', 'D', '_', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    PutLe(h, 8, length, 2);
    PutLe(h, 10, first, 4);
    PutLe(h, 14, static_cast<uint16_t>(count), 2);
    Balance(h, 16);
    return h;
}

// The first 25 bytes of a structure; a "_UUID_" one holds kRaw and is balanced by byte 6.
Bytes Structure(const char *signature, int16_t length) {
    Bytes s(signature, signature + 6);
    s.resize(9, 0);
    PutLe(s, 7, static_cast<uint16_t>(length), 2);
    for (uint8_t b : kRaw) s.push_back(b);
    if (std::string_view(signature) == "_UUID_") Balance(s, 6);
    return s;
}

// A machine of its own, used by this process, with a fault in machine.conf ("key=value") and
// the log on.
struct Sim {
    explicit Sim(const std::string &fault) {
        const size_t eq = fault.find('=');
        if (eq != std::string::npos) m.conf(fault.substr(0, eq), fault.substr(eq + 1));
        m.enableLog();
    }
    TempMachine m;
    UseMachine use{m};
};

struct BiosTest : MachineFixture {
    ~BiosTest() override { g_state = saved_; }
    AssetState saved_ = g_state;
};

TEST_F(BiosTest, SystemIdWalk) {
    using Placed = std::vector<std::pair<uint32_t, Bytes>>;
    struct Case {
        const char *name;
        int found;
        std::vector<uint32_t> reads;  // structures read, in order
        Bytes header;                 // none: no table
        Placed structures = {};
        const char *fault = "";
    };
    const Bytes uuid = Structure("_UUID_", 25), o25 = Structure("_OTHR_", 25);
    Bytes bad_header = Header(0xF3000, 1), bad_uuid = uuid;
    bad_header[7] ^= 0x01;
    bad_uuid[24] ^= 0x80;
    const Bytes h1 = Header(0xF1000, 1), back = Structure("_OTHR_", -25);
    const Placed one = {{0xF1000, uuid}}, at3 = {{0xF3000, uuid}};
    const Bytes o40 = Structure("_OTHR_", 0x40), u24 = Structure("_UUID_", 24);
    const uint32_t top = 0xFFFFFFE0u;
    const Placed two = {{0xF2000, o40}, {0xF2040, uuid}};
    const Case cases[] = {
        {"first structure", 1, {0xF1000}, h1, one},
        {"second, by the first one's length", 1, {0xF2000, 0xF2040}, Header(0xF2000, 2), two},
        {"count reached first", 0, {0xF2000}, Header(0xF2000, 1), two},
        {"header length 18", 0, {}, Header(0xF3000, 1, 18), at3},
        {"header sum not 0", 0, {}, bad_header, at3},
        {"count 0", 0, {}, Header(0xF3000, 0), at3},
        {"negative count", 0, {}, Header(0xF3000, -1), at3},
        {"uuid length 24", 0, {0xF3000}, Header(0xF3000, 3), {{0xF3000, u24}, {0xF3018, uuid}}},
        {"uuid sum not 0", 0, {0xF3000}, Header(0xF3000, 1), {{0xF3000, bad_uuid}}},
        {"structure read fails", 0, {0xFFFFFFF0u}, Header(0xFFFFFFF0u, 1)},
        {"no uuid", 0, {0xF3000, 0xF3019}, Header(0xF3000, 2), {{0xF3000, o25}, {0xF3019, o25}}},
        // A length that would not move the walk forward stops it at once.
        {"length 0", 0, {0xF3000}, Header(0xF3000, 100), {{0xF3000, Structure("_OTHR_", 0)}}},
        {"negative length", 0, {0xF3000}, Header(0xF3000, 9), {{0xF3000, back}, {0xF2FE7, uuid}}},
        {"past 4 GiB", 0, {top}, Header(top, 5), {{top, o40}, {0x20, uuid}}},
        {"reads fail", 0, {}, h1, one, "pmem_read=fail"},
        {"no table", 0, {}, {}},
    };
    for (const Case &c : cases) {
        Sim sim(c.fault);
        if (!c.header.empty()) sim.m.placeMemory(kTable, c.header);
        for (const auto &[address, bytes] : c.structures) sim.m.placeMemory(address, bytes);
        uint8_t raw[16];
        std::string text(40, '#');
        EXPECT_EQ(ReadSystemUuid(raw, text.data()), c.found) << c.name;
        const std::vector<std::string> lines = sim.m.pmemLog();
        EXPECT_TRUE(PmemClosedAfterEveryOpen(lines)) << c.name;
        std::vector<uint32_t> reads;
        for (const std::string &line : lines)
            if (line.rfind("PMEM READ ", 0) == 0 && line.find(" 25 ") == 18)
                reads.push_back(static_cast<uint32_t>(std::stoul(line.substr(10, 8), nullptr, 16)));
        EXPECT_EQ(reads, c.reads) << c.name;
        if (!c.found) continue;
        EXPECT_EQ(text, std::string("00112233-4455-6677-8899-AABBCCDDEEFF\0###", 40));
        EXPECT_EQ(Bytes(raw, raw + 16), kRaw);
        EXPECT_EQ(lines.at(2), "PMEM SEARCH 5F53595349445F 000E0000 000FFFFF 16 000FE300");
    }
}

TEST_F(BiosTest, VpdMatch) {
    const std::vector<std::string> read_ok = {"PMEM INIT 1", "PMEM OPEN ok",
                                              "PMEM READ 000FFFB6 7 ok", "PMEM CLOSE"};
    std::vector<std::string> read_fail = read_ok;
    read_fail[2] = "PMEM READ 000FFFB6 7 fail";
    struct Case {
        const char *name;
        std::string_view ident;  // the 7 bytes at 0xFFFB6
        int expected;
        std::vector<std::string> log;
        const char *fault = "";
        int initialized = 1;
    } const cases[] = {
        {"type-model", "6281QK9"sv, 1, read_ok},
        {"across fields", "QK9ZX40"sv, 1, read_ok},
        {"lower-case prefix", "1s6281Q"sv, 1, read_ok},
        {"ends at a zero byte", "1S6\0xyz"sv, 1, read_ok},
        {"one character short of a match", "6281QK8"sv, 0, read_ok},
        {"empty identification", "\0QK9ZX4"sv, 0, read_ok},
        {"not initialised", "6281QK9"sv, 0, {}, "", 0},
        {"physical memory unavailable", "6281QK9"sv, 0, {"PMEM INIT 0"}, "pmem=unavailable"},
        {"open fails", "6281QK9"sv, 0, {"PMEM INIT 1", "PMEM OPEN fail"}, "pmem_open=fail"},
        {"read fails", "6281QK9"sv, 0, read_fail, "pmem_read=fail"},
    };
    // The serial comes from the VPD copy: no record, no other source.
    std::memset(g_state.vpd_block, 0, sizeof g_state.vpd_block);
    std::memcpy(g_state.vpd_block + 0x16, "ZX40177", 7);
    std::memcpy(g_state.vpd_block + 0x28, "6281QK9", 7);
    g_state.vpd_loaded = 1;
    g_state.eeprom_addr = g_state.eeprom_size = 0;
    for (const Case &c : cases) {
        Sim sim(c.fault);
        sim.m.placeMemory(0xFFFB6, Bytes(c.ident.begin(), c.ident.end()));
        g_state.initialized = c.initialized;
        EXPECT_EQ(AssetIsVPDMatch(), c.expected) << c.name;
        EXPECT_EQ(sim.m.pmemLog(), c.log) << c.name;
    }
    // Without a serial (no VPD loaded, no record) nothing matches.
    machine_.placeMemory(0xFFFB6, {'6', '2', '8', '1', 'Q', 'K', '9'});
    g_state.initialized = 1;
    g_state.vpd_loaded = 0;
    EXPECT_EQ(AssetIsVPDMatch(), 0);
}

TEST_F(BiosTest, VpdLoad) {
    Bytes block(0x40);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(0x80 + i);
    std::memcpy(block.data(), "\xAA\x55VPD\x30", 6);  // length 0x30
    struct Case {
        const char *name;
        int expected;
        const char *last;  // the last physical-memory line before the close
        int size = 256;
        int copied = -1;  // bytes copied and the size left, or -1: not looked at
        const char *fault = "";
        uint32_t at = kVpdAt;
    };
    const char *kNotFound = "PMEM SEARCH AA55565044 000F0000 000FFFFF 16 00000000";
    const Case cases[] = {
        {"length one below", ASSET_OK, "PMEM READ 000FD000 48 ok", 49, 48},
        {"size below the length", ASSET_OK, "PMEM READ 000FD000 16 ok", 16, 16},
        {"size 0", ASSET_OK, "PMEM READ 000FD000 6 ok", 0, 0},
        {"no physical memory", ASSET_ERR_VPD_PMEM, "PMEM INIT 0", 8, 0, "pmem=unavailable"},
        {"open fails", ASSET_ERR_VPD_OPEN, "PMEM OPEN fail", 8, 0, "pmem_open=fail"},
        {"negative size, refused untouched", ASSET_ERR_VPD_INVALID, "", -1, 0},
        {"no signature", ASSET_ERR_VPD_INVALID, kNotFound, 8, -1, "", 0},
        {"reads fail", ASSET_ERR_VPD_INVALID, "PMEM READ 000FD000 6 fail", 8, -1, "pmem_read=fail"},
    };
    for (const Case &c : cases) {
        Sim sim(c.fault);
        if (c.at != 0) sim.m.placeMemory(c.at, block);
        g_state.vpd_loaded = 0;
        std::vector<uint8_t> buf(300, 0xEE), want(300, 0xEE);
        int size = c.size;
        EXPECT_EQ(VPDLoadData(buf.data(), &size), c.expected) << c.name;
        EXPECT_EQ(g_state.vpd_loaded, c.expected == ASSET_OK ? 1 : 0) << c.name;
        std::vector<std::string> lines = sim.m.pmemLog();
        EXPECT_TRUE(PmemClosedAfterEveryOpen(lines)) << c.name;
        if (!lines.empty() && lines.back() == "PMEM CLOSE") lines.pop_back();
        EXPECT_EQ(lines.empty() ? "" : lines.back(), c.last) << c.name;
        if (c.copied < 0) continue;
        std::copy_n(block.begin(), c.copied, want.begin());
        EXPECT_EQ(buf, want) << c.name;
        EXPECT_EQ(size, c.expected == ASSET_OK ? c.copied : c.size) << c.name;
    }
}

TEST_F(BiosTest, VpdTexts) {
    // Fields copied byte for byte: blanks and zero bytes inside them stay.
    Bytes block(256, 0);
    std::memcpy(block.data() + 0x16, "ZX4\0 77", 7);
    std::memcpy(block.data() + 0x1D, "MB4K7 20931", 11);
    std::memcpy(block.data() + 0x28, "6281QK9", 7);
    const auto F = [](size_t n) { return std::string(n, '#'); };
    const std::string z(1, '\0'), system("1S6281QK9ZX4\0 77", 16);
    // The text, the size given, the result and the first 20 bytes afterwards ('#' untouched).
    const std::tuple<decltype(&VPDGetSystem), int, int, std::string> cases[] = {
        {VPDGetSystem, 64, 0, system + z + F(3)},
        {VPDGetSystem, 16, 0, system.substr(0, 15) + z + F(4)},
        {VPDGetSystem, 1, 0, z + F(19)},
        {VPDGetSystem, -4, ASSET_ERR_VPD_NOT_LOADED, F(20)},
        {VPDGetMotherboard, 23, 0, "MB4K7 20931" + z + F(8)},
        {VPDGetMotherboard, 11, 0, "MB4K7 2093" + z + F(9)},
        {VPDGetMotherboard, 0, ASSET_ERR_VPD_NOT_LOADED, F(20)},
    };
    for (int loaded = 0; loaded < 2; ++loaded) {
        g_state.vpd_loaded = loaded;
        for (const auto &[get, size, result, bytes] : cases) {
            std::string buf(20, '#');
            // Nothing loaded in this process: refused, nothing written.
            EXPECT_EQ(get(buf.data(), size, block.data()),
                      loaded ? result : ASSET_ERR_VPD_NOT_LOADED);
            EXPECT_EQ(buf, loaded ? bytes : F(20)) << size;
        }
    }
}

}  // namespace
