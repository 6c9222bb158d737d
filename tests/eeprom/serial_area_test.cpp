// The EEPROM access layer and the serial-number area primitives on a simulated bus: images
// byte for byte, the exact transfers, every result code and the mutex.
#include "eeprom/serial/serial_area.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "eeprom/area_fixture.h"
#include "eeprom/eeprom.h"

using namespace area_test;

namespace {

using SerialAreaTest = MachineTest;

TEST_F(SerialAreaTest, ReadHeaderJudgesSignatureSumAndGeometry) {
    auto user = Area(), bad7 = Area(), ff = Area();
    std::memcpy(user.data(), "USR#", 4);
    bad7[7] ^= 1;
    ff.fill(0xFF);
    const struct {
        const char *name;
        std::optional<qorsim::Image> img;  // none: nothing answers at A8
        int result;
    } cases[] = {
        {"formatted", Area(), 0},
        {"all FF", ff, 2},
        {"all zero", qorsim::Image{}, 2},
        {"user area", user, 2},
        {"wrong byte 7", bad7, 7},
        {"version 2 balanced", AreaImage(20, 12, 2), 0},
        {"record size 1", AreaImage(1, 12), 7},
        {"record size 22", AreaImage(22, 2), 7},
        {"record size 21", AreaImage(21, 11), 0},
        {"area past 256", AreaImage(20, 13), 7},
        {"65 slots", AreaImage(2, 65), 7},
        {"64 slots", AreaImage(2, 64), 0},
        {"no device", std::nullopt, 1},
    };
    for (const auto &c : cases) {
        c.img ? machine_.setDevice(kArea, *c.img) : machine_.removeDevice(kArea);
        ClearTraffic();
        uint8_t out[3] = {0xEE, 0xEE, 0xEE};  // written only on success
        EXPECT_EQ(ReadHeader(kArea, &out[0], &out[1], &out[2]), c.result) << c.name;
        EXPECT_EQ(Traffic(), Lines{c.img ? "R A8 00 8" : "R A8 00 8!"}) << c.name;
        const std::string geometry = c.result ? "EEEEEE" : qorsim::Hex(&(*c.img)[4], 3);
        EXPECT_EQ(qorsim::Hex(out, 3), geometry) << c.name;
        EXPECT_TRUE(MutexFree()) << c.name;
    }
}

TEST_F(SerialAreaTest, FormatWritesTheWholeDevice) {
    qorsim::Image junk, expected = Area();
    junk.fill(0x5A);
    EXPECT_EQ(qorsim::Hex(expected.data(), 9), "53455223140C01D200");  // then all zero
    machine_.setDevice(kArea, junk);
    EXPECT_EQ(FormatSerialArea(kArea), 0);
    EXPECT_EQ(machine_.device(kArea), expected);
    Lines want;
    for (int i = 0; i < 256; i += 4)
        want.push_back("W A8 " + qorsim::Hex2(i) + " 4 " + qorsim::Hex(&expected[i], 4));
    EXPECT_EQ(Traffic(), want);
}

TEST_F(SerialAreaTest, LoadDecodesKeysAndTextsInOneRead) {
    std::vector<Record> records = {
        {0x79, "ABC"}, {0x00, std::string(19, 'D')}, {0x20, Marked("ABC1234")}, {0xFF, "Z"}};
    machine_.setDevice(kArea, Area(records));
    std::fill_n(view_.begin(), kSharedExtrasOffset, 0x77);
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(Traffic(), Lines{"R A8 00 256"});
    records.resize(12, {0, ""});
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(g_state.serial_type[i] * 8 + g_state.serial_index[i], records[i].key) << i;
        EXPECT_EQ(std::string(g_state.serial_text[i], 20), Text19(records[i].text) + '\0') << i;
    }
    const std::vector<int> past = {g_state.serial_type[12], g_state.serial_index[12]};
    EXPECT_EQ(past, (std::vector<int>{0x77, 0x77}));  // nothing written past the last slot
}

TEST_F(SerialAreaTest, SmallRecordsLoadTheirAreaAndDeleteWithThePrefixOfTheFiller) {
    machine_.setDevice(kArea, AreaImage(7, 4, 1, {{0x21, "ABCDEF"}}));
    LayOutSerialCache(7, 4);
    ASSERT_EQ(Load(kArea, 7, 4), 0);
    EXPECT_EQ(g_state.serial_type[0] * 8 + g_state.serial_index[0], 0x21);
    EXPECT_EQ(std::string(g_state.serial_text[0], 7), std::string("ABCDEF\0", 7));
    EXPECT_EQ(DeleteEntry(kArea, 7, 1, 0), 0);
    EXPECT_EQ(Traffic(), (Lines{"R A8 00 44", "R A8 10 7", "W A8 10 4 00444444", "W A8 14 3 444444",
                                "R A8 08 1", "W A8 08 1 " + qorsim::Hex2(machine_.device(kArea)[8]),
                                "R A8 10 7"}));
    EXPECT_EQ(AreaSum(machine_.device(kArea), 7, 4), 0);
}

// (Deleting and taking the deleted slot again: tests/serial, through the export.)
TEST_F(SerialAreaTest, AddWithExactTransfers) {
    // The device holds recs, and the transfers were `scan` and the write of record `slot`.
    const auto expect = [&](const std::vector<Record> &recs, int slot, const Lines &scan) {
        const auto want = Area(recs);
        const std::string rec = Rec(recs[slot].key, recs[slot].text);
        EXPECT_EQ(machine_.device(kArea), want);
        EXPECT_EQ(Traffic(), Join({scan, RecordWrite(uint8_t(16 + 20 * slot), rec, want[8])}));
        ClearTraffic();
    };
    machine_.setDevice(kArea, Area());
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(Text19("ABC"))), 0);
    EXPECT_EQ(machine_.device(kArea)[8], 0xC1);
    expect({{0x79, "ABC"}}, 0, Join({KeyReads(12), {"R A8 10 1", "R A8 11 19"}}));
    // Key 0 finds the first free slot in its first scan; the slot stays free.
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 0, 0, U8(Text19("FREE"))), 0);
    expect({{0x79, "ABC"}, {0, "FREE"}}, 1, {"R A8 10 1", "R A8 24 1", "R A8 24 20"});
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, RefusalsLeaveDeviceAndCache) {
    const std::string abc = Text19("ABC");
    auto bad = Area();
    bad[200] = 1;  // outside the header: only the area sum catches it
    machine_.setDevice(kArea, bad);
    std::fill_n(view_.begin(), kSharedExtrasOffset, 0x77);
    const auto poisoned = view_;
    uint8_t s, n, v;
    // Address 0, and a missing mutex, are refused before the bus.
    for (const bool no_mutex : {false, true}) {
        PlatMutex *mutex = no_mutex ? std::exchange(g_state.ee_mutex, nullptr) : nullptr;
        const uint8_t address = no_mutex ? kArea : 0;
        const std::vector<int> refused = {
            ReadHeader(address, &s, &n, &v), Load(address), FormatSerialArea(address),
            AddEntry(address, 20, 12, 1, 4, 0, U8(abc)), DeleteEntry(address, 20, 1, 0)};
        EXPECT_EQ(refused, std::vector<int>(5, 1)) << no_mutex;
        if (no_mutex) g_state.ee_mutex = mutex;
    }
    EXPECT_EQ(Load(kArea, 20, 12, 2), 3);
    EXPECT_EQ(Load(kArea, 20, 13), 7);  // a geometry no buffer holds
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 8, U8(abc)), 8);
    EXPECT_EQ(AddEntry(kArea, 20, 12, 2, 15, 1, U8(abc)), 3);
    EXPECT_EQ(AddEntry(kArea, 22, 10, 1, 15, 1, U8(abc)), 7);
    EXPECT_EQ(WriteEntry(0, 20, 1, 0, 4, 0, U8(abc)), 1);
    EXPECT_EQ(WriteEntry(kArea, 20, 2, 0, 4, 0, U8(abc)), 3);
    EXPECT_EQ(WriteEntry(kArea, 20, 1, 0, 4, 9, U8(abc)), 8);
    EXPECT_EQ(DeleteEntry(kArea, 20, 0, 0), 3);
    EXPECT_EQ(TransferCount(), 0u);
    // A load that fails on the bus or on the area sum leaves the cache as it was.
    EXPECT_EQ(Load(), 7);
    machine_.removeDevice(kArea);
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(Traffic(), (Lines{"R A8 00 256", "R A8 00 256!"}));
    EXPECT_EQ(view_, poisoned);
    // No free slot: the two scans, nothing written.
    ClearTraffic();
    std::vector<Record> full;
    for (int i = 0; i < 12; ++i) full.push_back({static_cast<uint8_t>(0x20 + i), "X"});
    machine_.setDevice(kArea, Area(full));
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(abc)), 4);
    EXPECT_EQ(Traffic(), Join({KeyReads(12), KeyReads(12)}));
    EXPECT_TRUE(MutexFree());
}

// Slot numbers beyond the area wrap modulo 256: onto the header, where the checksum update
// lands inside the record just written and the read-back differs, or past the device end.
TEST_F(SerialAreaTest, SlotsBeyondTheAreaWrapOntoTheHeader) {
    machine_.setDevice(kArea, Area());
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 37), 1);  // 16 + 20 * 37 = 244 (mod 256)
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 38), 5);  // 16 + 20 * 38 = 8 (mod 256): the key
    machine_.setDevice(kArea, Area());            // 16 + 20 * 12 = 0 (mod 256): byte 8 in the text
    EXPECT_EQ(WriteEntry(kArea, 20, 1, 12, 4, 0, U8(Text19("ABCDEFGHIJ"))), 6);
    EXPECT_EQ(machine_.device(kArea), Area());  // put back as it was
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, PrimitivesWaitForAnotherHolder) {
    machine_.setDevice(kArea, Area());
    // Another process holds the mutex for 600 ms; a load waits for it.
    TempDir dir;
    Child holder(BinPath("qor_lockdie"), {"hold", "600", dir.file("ready")}, {});
    AppearsWithin(dir.file("ready"), 5);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Load(), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(holder.Wait().exit_code, 0);
    EXPECT_TRUE(MutexFree());
}

}  // namespace
