// The simulated physical-memory library, through its exported functions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "platform/hwlib.h"
#include "support/machine.h"

namespace {

namespace fs = std::filesystem;

void WriteRegionFile(const TempMachine &m, const char *name, const qorsim::Bytes &bytes) {
    fs::create_directories(fs::path(m.path()) / "pmem");
    std::ofstream(fs::path(m.path()) / "pmem" / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> RegionFiles(const TempMachine &m) {
    std::vector<std::string> names;
    for (const auto &e : fs::directory_iterator(fs::path(m.path()) / "pmem")) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Memory : public ::testing::Test {
  protected:
    void SetUp() override {
        // Two files that touch (one span), a separate one, and one at the top of 4 GiB.
        WriteRegionFile(m, "00001000.bin", {1, 2, 3, 4, 5, 6, 7, 8});
        WriteRegionFile(m, "00001008.bin", {0x11, 0x12, 0x13, 0x14});
        WriteRegionFile(m, "00002000.bin", {'E', 'D', 'I'});
        WriteRegionFile(m, "FFFFFFFC.bin", {'A', 'B', 'C', 'D'});
        m.enableLog();
        ASSERT_EQ(PMemIsInitialized(), 1);
        ASSERT_EQ(PMemOpen(), 1);
    }
    void TearDown() override { PMemClose(); }
    TempMachine m;
    UseMachine use{m};
};

TEST_F(Memory, ReadsPlacedBytesAndZerosElsewhere) {
    struct Case {
        std::uint32_t address, length;
        int rc;
        const char *hex;
    } cases[] = {
        {0x0FFC, 8, 0, "0000000001020304"},  // into the first region
        {0x1006, 4, 0, "07081112"},          // across two files
        {0x100A, 4, 0, "13140000"},          // out of the span
        {0x1800, 2, 0, "0000"},              // nothing placed
        {0xFFFFFFFA, 6, 0, "000041424344"},  // up to the last byte of 4 GiB
        {0xFFFFFFFB, 6, 1, ""},              // one byte past it
        {0x1000, 0, 0, ""},
    };
    for (const auto &c : cases) {
        std::vector<std::uint8_t> buf(c.length + 1, 0xEE);
        EXPECT_EQ(PMemRead(buf.data(), c.address, c.length), c.rc) << c.address;
        if (c.rc == 0) {
            EXPECT_EQ(qorsim::Hex(buf.data(), c.length), c.hex) << c.address;
        }
        EXPECT_EQ(buf[c.length], 0xEE) << "wrote past the length at " << c.address;
    }
}

TEST_F(Memory, SearchFindsTheFirstCandidateHoldingTheSignature) {
    struct Case {
        const char *sig;
        std::uint32_t first, last, step, found;
    } cases[] = {
        {"\x07\x08\x11", 0x1000, 0x1FFF, 2, 0x1006},  // across two touching files
        {"\x07\x08\x11", 0x1000, 0x1FFF, 4, 0},       // 0x1006 is not a candidate
        {"\x07\x08\x11", 0x1002, 0x1FFF, 4, 0x1006},
        {"\x07\x08\x11", 0x1000, 0x1006, 2, 0x1006},  // last is a candidate
        {"\x07\x08\x11", 0x1000, 0x1005, 2, 0},
        {"\x13\x14", 0x1000, 0x100A, 1, 0x100A},  // may end past last
        {"\x13\x14", 0, 0xFFFFFFFF, 1, 0x100A},   // whole space, sparse cost
        {"EDID", 0x2000, 0x2FFF, 1, 0},           // runs off placed memory
        {"EDI", 0x1F00, 0x2FFF, 16, 0x2000},
        {"ABCD", 0xFFFFFF00, 0xFFFFFFFF, 4, 0xFFFFFFFC},
        {"BCDE", 0xFFFFFF00, 0xFFFFFFFF, 1, 0},  // would pass 4 GiB
        {"\x01", 0x1000, 0x1000, 0, 0},          // step 0
        {"\x01", 0x1001, 0x1000, 1, 0},          // empty range
        {"", 0x1000, 0x1FFF, 1, 0},              // nothing to look for
    };
    for (const auto &c : cases) {
        EXPECT_EQ(PMemSearch(c.sig, c.first, c.last, c.step), c.found)
            << qorsim::Hex(reinterpret_cast<const std::uint8_t *>(c.sig), std::strlen(c.sig))
            << " from " << c.first << " step " << c.step;
    }
}

TEST_F(Memory, OperationsAreLoggedExactly) {
    std::uint8_t b[4];
    PMemRead(b, 0x1006, 4);
    PMemSearch("\x07\x08\x11", 0x1000, 0x1FFF, 2);
    PMemClose();
    EXPECT_EQ(PMemSearch("\x07", 0x1000, 0x1FFF, 2), 0u);  // not open any more
    EXPECT_EQ(PMemRead(b, 0x1006, 4), 1);
    PMemOpen();
    EXPECT_EQ(m.log(),
              (std::vector<std::string>{"PMEM INIT 1", "PMEM OPEN ok", "PMEM READ 00001006 4 ok",
                                        "PMEM SEARCH 070811 00001000 00001FFF 2 00001006",
                                        "PMEM CLOSE", "PMEM SEARCH 07 00001000 00001FFF 2 00000000",
                                        "PMEM READ 00001006 4 fail", "PMEM OPEN ok"}));
    EXPECT_EQ(m.counters(), qorsim::Counters{});  // only bus transfers are counted
}

TEST_F(Memory, FaultKeys) {
    std::uint8_t b[1];
    m.conf("pmem_read", "fail");
    EXPECT_EQ(PMemRead(b, 0x1000, 1), 1);
    EXPECT_EQ(PMemSearch("\x01", 0x1000, 0x1000, 1), 0x1000u);  // searching still works
    m.clearConf("pmem_read");
    EXPECT_EQ(PMemRead(b, 0x1000, 1), 0);

    m.conf("pmem_open", "fail");
    EXPECT_EQ(PMemIsInitialized(), 1);
    EXPECT_EQ(PMemOpen(), 0);
    m.conf("pmem", "unavailable");
    m.clearConf("pmem_open");
    EXPECT_EQ(PMemIsInitialized(), 0);
    EXPECT_EQ(PMemOpen(), 0);
}

TEST(SimMemory, PlacingMergesTheRegionsItTouches) {
    TempMachine m;
    m.placeMemory(0x100, {0xA1, 0xA2, 0xA3, 0xA4});
    m.placeMemory(0x200, {0xC1});
    m.placeMemory(0x102, {0xB1, 0xB2, 0xB3, 0xB4});  // overlaps: the new bytes win
    m.placeMemory(0x0FE, {0xD1, 0xD2});              // touches: joins
    EXPECT_EQ(RegionFiles(m), (std::vector<std::string>{"000000FE.bin", "00000200.bin"}));
    auto regions = qorsim::ReadRegionFiles(m.path());
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_EQ(qorsim::Hex(regions[0].bytes), "D1D2A1A2B1B2B3B4");
    EXPECT_EQ(regions[1].base, 0x200u);
}

TEST(SimMemory, OverlappingFilesApplyInAddressOrder) {
    auto spans = qorsim::MergeRegions(
        {{0x10, {1, 1, 1, 1}}, {0x08, {2, 2, 2, 2, 2, 2, 2, 2, 2}}, {0x20, {3}}, {0x14, {4}}});
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].base, 0x08u);
    EXPECT_EQ(qorsim::Hex(spans[0].bytes), "02020202020202020101010104");
    EXPECT_EQ(spans[1].base, 0x20u);
}

}  // namespace
