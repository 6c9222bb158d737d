// The system UUID read from a simulated system-ID table, and the match of the BIOS
// identification bytes with the system serial number.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "bios/sysid.h"
#include "frame/state.h"
#include "support/machine.h"

namespace {

using qorsim::Bytes;

constexpr uint32_t kTable = 0xFE300;
constexpr uint32_t kUuidAt = 0xFE320;

uint8_t Balance(const Bytes &b, size_t from, size_t count, size_t skip) {
    unsigned sum = 0;
    for (size_t i = from; i < from + count; ++i)
        if (i != skip) sum += b[i];
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

// The table header at kTable and its single UUID structure at kUuidAt.
Bytes Table(uint32_t first = kUuidAt, uint16_t count = 1) {
    Bytes b(kUuidAt - kTable + 25, 0);
    const char *sig = "_SYSID_";
    std::copy(sig, sig + 7, b.begin());
    b[8] = 17;
    for (int i = 0; i < 4; ++i) b[10 + i] = static_cast<uint8_t>(first >> (8 * i));
    b[14] = static_cast<uint8_t>(count);
    b[15] = static_cast<uint8_t>(count >> 8);
    b[16] = Balance(b, 0, 17, 16);
    const size_t u = kUuidAt - kTable;
    const char *usig = "_UUID_";
    std::copy(usig, usig + 6, b.begin() + static_cast<long>(u));
    b[u + 7] = 25;
    const uint8_t raw[16] = {0x6B, 0x29, 0xF0, 0x3E, 0x81, 0x5A, 0x4D, 0x12,
                             0x9C, 0x07, 0xE2, 0x5B, 0x31, 0xA8, 0x44, 0xD0};
    std::copy(raw, raw + 16, b.begin() + static_cast<long>(u + 9));
    b[u + 6] = Balance(b, u, 25, u + 6);
    return b;
}

std::vector<std::string> PmemLines(const TempMachine &m) {
    std::vector<std::string> lines;
    for (const std::string &line : m.log())
        if (line.rfind("PMEM", 0) == 0) lines.push_back(line);
    return lines;
}

void ExpectClosedAfterOpen(const std::vector<std::string> &lines, const std::string &name) {
    const auto opened = std::count(lines.begin(), lines.end(), "PMEM OPEN ok");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "PMEM CLOSE"), opened) << name;
    if (opened > 0) {
        EXPECT_EQ(lines.back(), "PMEM CLOSE") << name;
    }
}

class BiosIdTest : public ::testing::Test {
  protected:
    BiosIdTest() : ns_("QORASST_NAMESPACE", UniqueNamespace()), use_(machine_) {
        machine_.enableLog();
    }
    ~BiosIdTest() override {
        g_state.initialized = 0;
        g_state.vpd_loaded = 0;
        std::memset(g_state.vpd_block, 0, sizeof g_state.vpd_block);
    }

    ScopedEnv ns_;
    TempMachine machine_;
    UseMachine use_;
};

TEST_F(BiosIdTest, UuidFromTheTable) {
    machine_.placeMemory(kTable, Table());
    machine_.clearLog();
    uint8_t raw[16] = {};
    char text[40];
    std::memset(text, '#', sizeof text);
    ASSERT_EQ(ReadSystemUuid(raw, text), 1);
    EXPECT_EQ(std::string(text, 37), "6B29F03E-815A-4D12-9C07-E25B31A844D0" + std::string(1, '\0'));
    EXPECT_EQ(std::string(text + 37, 3), "###");
    const uint8_t want[16] = {0x6B, 0x29, 0xF0, 0x3E, 0x81, 0x5A, 0x4D, 0x12,
                              0x9C, 0x07, 0xE2, 0x5B, 0x31, 0xA8, 0x44, 0xD0};
    EXPECT_EQ(std::memcmp(raw, want, 16), 0);
    EXPECT_EQ(PmemLines(machine_), (std::vector<std::string>{
                                       "PMEM INIT 1",
                                       "PMEM OPEN ok",
                                       "PMEM SEARCH 5F53595349445F 000E0000 000FFFFF 16 000FE300",
                                       "PMEM READ 000FE300 17 ok",
                                       "PMEM READ 000FE320 25 ok",
                                       "PMEM CLOSE",
                                   }));
}

TEST_F(BiosIdTest, UuidFailures) {
    struct Case {
        const char *name;
        void (*setup)(TempMachine &);
    };
    const Case cases[] = {
        {"physical memory unavailable",
         [](TempMachine &m) {
             m.placeMemory(kTable, Table());
             m.conf("pmem", "unavailable");
         }},
        {"open fails",
         [](TempMachine &m) {
             m.placeMemory(kTable, Table());
             m.conf("pmem_open", "fail");
         }},
        {"no table", [](TempMachine &) {}},
        {"table below the search range", [](TempMachine &m) { m.placeMemory(0xDFFF0, Table()); }},
        {"reads fail",
         [](TempMachine &m) {
             m.placeMemory(kTable, Table());
             m.conf("pmem_read", "fail");
         }},
        {"structure read fails", [](TempMachine &m) { m.placeMemory(kTable, Table(0xFFFFFFF0u)); }},
        {"count 0", [](TempMachine &m) { m.placeMemory(kTable, Table(kUuidAt, 0)); }},
        {"header damaged",
         [](TempMachine &m) {
             Bytes t = Table();
             t[12] ^= 0x01;
             m.placeMemory(kTable, t);
         }},
        {"uuid damaged",
         [](TempMachine &m) {
             Bytes t = Table();
             t.back() ^= 0x01;
             m.placeMemory(kTable, t);
         }},
    };
    for (const Case &c : cases) {
        TempMachine m;
        UseMachine use(m);
        c.setup(m);
        m.enableLog();
        m.clearLog();
        uint8_t raw[16];
        char text[37];
        EXPECT_EQ(ReadSystemUuid(raw, text), 0) << c.name;
        ExpectClosedAfterOpen(PmemLines(m), c.name);
    }
}

TEST_F(BiosIdTest, VpdMatch) {
    struct Case {
        const char *name;
        std::array<uint8_t, 7> ident;
        int expected;
    };
    const Case cases[] = {
        {"type-model", {'6', '2', '8', '1', 'Q', 'K', '9'}, 1},
        {"lower case", {'6', '2', '8', '1', 'q', 'k', '9'}, 1},
        {"across fields", {'Q', 'K', '9', 'Z', 'X', '4', '0'}, 1},
        {"the prefix", {'1', 'S', '6', '2', '8', '1', 'Q'}, 1},
        {"ends at a zero byte", {'1', 'S', '6', 0, 'x', 'y', 'z'}, 1},
        {"one character short of a match", {'6', '2', '8', '1', 'Q', 'K', '8'}, 0},
        {"lower-case prefix", {'1', 's', '6', '2', '8', '1', 'Q'}, 1},
        {"not in the serial", {'A', 'B', 'C', 'D', 'E', 'F', 'G'}, 0},
        {"empty identification", {0, '6', '2', '8', '1', 'Q', 'K'}, 0},
    };
    // The serial comes from the VPD copy: no record, no other source.
    const std::string system = "ZX40177", model = "6281QK9";
    std::memset(g_state.vpd_block, 0, sizeof g_state.vpd_block);
    std::memcpy(g_state.vpd_block + 0x16, system.data(), 7);
    std::memcpy(g_state.vpd_block + 0x28, model.data(), 7);
    g_state.vpd_loaded = 1;
    g_state.eeprom_addr = 0;
    g_state.eeprom_size = 0;
    g_state.initialized = 1;
    for (const Case &c : cases) {
        machine_.placeMemory(0xFFFB6, Bytes(c.ident.begin(), c.ident.end()));
        machine_.clearLog();
        EXPECT_EQ(AssetIsVPDMatch(), c.expected) << c.name;
        EXPECT_EQ(PmemLines(machine_),
                  (std::vector<std::string>{"PMEM INIT 1", "PMEM OPEN ok",
                                            "PMEM READ 000FFFB6 7 ok", "PMEM CLOSE"}))
            << c.name;
    }

    // Without a serial (no VPD loaded, no record) nothing matches.
    machine_.placeMemory(0xFFFB6, {'6', '2', '8', '1', 'Q', 'K', '9'});
    g_state.vpd_loaded = 0;
    EXPECT_EQ(AssetIsVPDMatch(), 0);
}

TEST_F(BiosIdTest, VpdMatchFailures) {
    std::memcpy(g_state.vpd_block + 0x28, "6281QK9", 7);
    g_state.vpd_loaded = 1;
    g_state.eeprom_addr = 0;
    g_state.eeprom_size = 0;
    struct Case {
        const char *name;
        bool initialized;
        const char *key;
        const char *value;
        std::vector<std::string> log;
    };
    const Case cases[] = {
        {"not initialised", false, nullptr, nullptr, {}},
        {"physical memory unavailable", true, "pmem", "unavailable", {"PMEM INIT 0"}},
        {"open fails", true, "pmem_open", "fail", {"PMEM INIT 1", "PMEM OPEN fail"}},
        {"read fails",
         true,
         "pmem_read",
         "fail",
         {"PMEM INIT 1", "PMEM OPEN ok", "PMEM READ 000FFFB6 7 fail", "PMEM CLOSE"}},
    };
    for (const Case &c : cases) {
        TempMachine m;
        UseMachine use(m);
        m.placeMemory(0xFFFB6, {'6', '2', '8', '1', 'Q', 'K', '9'});
        if (c.key != nullptr) m.conf(c.key, c.value);
        m.enableLog();
        m.clearLog();
        g_state.initialized = c.initialized ? 1 : 0;
        EXPECT_EQ(AssetIsVPDMatch(), 0) << c.name;
        EXPECT_EQ(PmemLines(m), c.log) << c.name;
    }
}

}  // namespace
