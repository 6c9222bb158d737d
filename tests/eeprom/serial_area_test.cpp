// The EEPROM access layer and the serial-number area primitives on a simulated bus: images
// byte for byte, the exact transfers, every result code, the mutex, and a fault sweep of every
// writing primitive.
#include "eeprom/serial/serial_area.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>

#include "eeprom/area_fixture.h"
#include "eeprom/eeprom.h"
#include "support/child.h"

using namespace area_test;

namespace {

class SerialAreaTest : public MachineTest {
  protected:
    void Place(const std::optional<qorsim::Image> &img) {
        img ? machine_.setDevice(kArea, *img) : machine_.removeDevice(kArea);
        ClearTraffic();
    }
    // Runs op once per transfer it makes, failing that transfer, on a fresh copy of `before`.
    // The result must be 1 and nothing may follow the failure; the area must then either
    // fail to load with 7 or hold exactly the image before or after the operation.
    void Sweep(const char *name, const qorsim::Image &before, const std::function<int()> &op) {
        machine_.setDevice(kArea, before);
        FailTransfer(0);
        ASSERT_EQ(op(), 0) << name;
        const auto after = machine_.device(kArea);
        const uint64_t transfers = machine_.counters().transfers;
        for (uint64_t k = 1; k <= transfers; ++k) {
            machine_.setDevice(kArea, before);
            FailTransfer(k);
            EXPECT_EQ(op(), 1) << name << " failing transfer " << k;
            EXPECT_EQ(machine_.counters().transfers, k) << name << ": went on after " << k;
            FailTransfer(0);
            const int load = Load();
            const auto now = machine_.device(kArea);
            EXPECT_TRUE(load == 7 || (load == 0 && (now == before || now == after)))
                << name << " k=" << k << " load " << load;
            EXPECT_TRUE(MutexFree()) << name << " k=" << k;
        }
    }
};

TEST(ByteToHex, TwoUpperCaseDigitsNoTerminator) {
    const uint8_t values[] = {0x0A, 0xF3, 0x00, 0x9C};
    char out[10] = "xxxxxxxxx";
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ByteToHex(out + 2 * i, values[i]), out + 2 * i);
    EXPECT_STREQ(out, "0AF3009Cx");
}

TEST_F(SerialAreaTest, WriteBlockGoesOutInFourByteChunksAscending) {
    qorsim::Image src{};
    for (int i = 0; i < 256; ++i) src[i] = static_cast<uint8_t>(i);
    const struct {
        uint8_t offset;
        int length, result;
        Lines traffic;
    } cases[] = {
        {0,
         19,
         0,
         {"W A8 00 4 00010203", "W A8 04 4 04050607", "W A8 08 4 08090A0B", "W A8 0C 4 0C0D0E0F",
          "W A8 10 3 101112"}},
        {9, 1, 0, {"W A8 09 1 09"}},
        {250, 6, 0, {"W A8 FA 4 FAFBFCFD", "W A8 FE 2 FEFF"}},
        {253, 4, 1, {}},  // past the device end: refused before the bus
        {0, 0, 1, {}},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, qorsim::Image{});
        ClearTraffic();
        EXPECT_EQ(EeWriteBlock(kArea, c.offset, src.data() + c.offset, c.length), c.result);
        EXPECT_EQ(Traffic(), c.traffic) << int(c.offset);
    }
    uint8_t buf[8] = {};
    EXPECT_EQ(EeReadBlock(kArea, 250, buf, 7), 1);
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_EQ(EeReadBlock(kArea, 248, buf, 8), 0);
}

TEST_F(SerialAreaTest, LockIsTakenAgainByItsHolderAndLetGoAtScopeEnd) {
    {
        EeLock outer;
        EeLock inner;
        EXPECT_TRUE(outer.held() && inner.held());
        EXPECT_FALSE(MutexFree(std::chrono::milliseconds(200)));
    }
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, ReadHeaderJudgesSignatureSumAndGeometry) {
    auto user = Area(), bad7 = Area(), ff = Area();
    std::memcpy(user.data(), "USR#", 4);
    bad7[7] ^= 1;
    ff.fill(0xFF);
    const struct {
        const char *name;
        uint8_t address;
        std::optional<qorsim::Image> img;  // none: nothing answers at A8
        int result;
    } cases[] = {
        {"formatted", kArea, Area(), 0},
        {"all FF", kArea, ff, 2},
        {"all zero", kArea, qorsim::Image{}, 2},
        {"user area", kArea, user, 2},
        {"wrong byte 7", kArea, bad7, 7},
        {"version 2 balanced", kArea, AreaImage(20, 12, 2), 0},
        {"record size 1", kArea, AreaImage(1, 12), 7},
        {"record size 22", kArea, AreaImage(22, 2), 7},
        {"record size 21", kArea, AreaImage(21, 11), 0},
        {"area past 256", kArea, AreaImage(20, 13), 7},
        {"65 slots", kArea, AreaImage(2, 65), 7},
        {"64 slots", kArea, AreaImage(2, 64), 0},
        {"no device", kArea, std::nullopt, 1},
        {"address 0", 0, Area(), 1},
    };
    for (const auto &c : cases) {
        Place(c.img);
        uint8_t out[3] = {0xEE, 0xEE, 0xEE};
        EXPECT_EQ(ReadHeader(c.address, &out[0], &out[1], &out[2]), c.result) << c.name;
        EXPECT_EQ(Traffic(), c.address == 0 ? Lines{} : Lines{c.img ? "R A8 00 8" : "R A8 00 8!"})
            << c.name;
        // The outputs are written only on success.
        const uint8_t *geometry = c.result == 0 ? &(*c.img)[4] : nullptr;
        EXPECT_EQ(std::vector<int>(out, out + 3),
                  geometry ? std::vector<int>(geometry, geometry + 3) : std::vector<int>(3, 0xEE));
        EXPECT_TRUE(MutexFree()) << c.name;
    }
}

TEST_F(SerialAreaTest, FormatWritesTheWholeDevice) {
    qorsim::Image expected{}, junk;
    junk.fill(0x5A);
    const uint8_t head[] = {0x53, 0x45, 0x52, 0x23, 0x14, 0x0C, 0x01, 0xD2, 0x00};
    std::memcpy(expected.data(), head, sizeof head);
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
    std::fill(view_.begin(), view_.end(), 0x77);
    ASSERT_EQ(Load(), 0);
    EXPECT_EQ(Traffic(), Lines{"R A8 00 256"});
    const auto *types = g_state.serial_type, *indexes = g_state.serial_index;
    EXPECT_EQ(std::vector<int>(types, types + 13),
              (std::vector<int>{15, 0, 4, 31, 0, 0, 0, 0, 0, 0, 0, 0, 0x77}));
    EXPECT_EQ(std::vector<int>(indexes, indexes + 13),
              (std::vector<int>{1, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0x77}));
    records.resize(12, {0, ""});
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(std::string(g_state.serial_text[i], 20), Text19(records[i].text) + '\0') << i;
    }
}

TEST_F(SerialAreaTest, SmallRecordsLoadTheirAreaAndDeleteWithThePrefixOfTheFiller) {
    machine_.setDevice(kArea, AreaImage(6, 4, 1, {{0x21, "ABCDE"}}));
    LayOutSerialCache(6, 4);
    ASSERT_EQ(Load(kArea, 6, 4), 0);
    EXPECT_EQ(g_state.serial_type[0] * 8 + g_state.serial_index[0], 0x21);
    EXPECT_EQ(std::string(g_state.serial_text[0], 6), std::string("ABCDE\0", 6));
    EXPECT_EQ(DeleteEntry(kArea, 6, 1, 0), 0);
    EXPECT_EQ(Traffic(),
              (Lines{"R A8 00 40", "R A8 10 6", "W A8 10 4 00444444", "W A8 14 2 4444", "R A8 08 1",
                     "W A8 08 1 " + qorsim::Hex2(machine_.device(kArea)[8]), "R A8 10 6"}));
    EXPECT_EQ(AreaSum(machine_.device(kArea), 6, 4), 0);
}

TEST_F(SerialAreaTest, LoadRefusalsLeaveTheCache) {
    auto bad = Area();
    bad[200] = 1;  // outside the header: only the area sum catches it
    const struct {
        const char *name;
        uint8_t address, n, version;
        std::optional<qorsim::Image> img;
        int result;
        Lines traffic;
    } cases[] = {
        {"address 0", 0, 12, 1, Area(), 1, {}},
        {"version 2", kArea, 12, 2, Area(), 3, {}},
        {"geometry past 256", kArea, 13, 1, Area(), 7, {}},
        {"no device", kArea, 12, 1, std::nullopt, 1, {"R A8 00 256!"}},
        {"bad area sum", kArea, 12, 1, bad, 7, {"R A8 00 256"}},
    };
    std::fill(view_.begin(), view_.end(), 0x77);
    for (const auto &c : cases) {
        Place(c.img);
        EXPECT_EQ(Load(c.address, 20, c.n, c.version), c.result) << c.name;
        EXPECT_EQ(Traffic(), c.traffic) << c.name;
        EXPECT_EQ(view_, std::vector<uint8_t>(1024, 0x77)) << c.name;
        EXPECT_TRUE(MutexFree()) << c.name;
    }
}

TEST_F(SerialAreaTest, AddOverwriteDeleteAndReuseWithExactTransfers) {
    // A new record goes to the first free slot after a full scan for its key.
    machine_.setDevice(kArea, Area());
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(Text19("ABC"))), 0);
    auto want = Area({{0x79, "ABC"}});
    EXPECT_EQ(want[8], 0xC1);
    EXPECT_EQ(machine_.device(kArea), want);
    EXPECT_EQ(Traffic(), Join({KeyReads(12),
                               {"R A8 10 1", "R A8 11 19"},
                               RecordWrite(0x10, Rec(0x79, "ABC"), 0xC1)}));
    // The same device again: found in the first key read and overwritten in place.
    ClearTraffic();
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(Text19("XY"))), 0);
    want = Area({{0x79, "XY"}});
    EXPECT_EQ(machine_.device(kArea), want);
    EXPECT_EQ(Traffic(),
              Join({{"R A8 10 1", "R A8 10 20"}, RecordWrite(0x10, Rec(0x79, "XY"), want[8])}));
    // Deleted: key 0 and letters D.
    ClearTraffic();
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 0), 0);
    want = Area({{0, std::string(19, 'D')}});
    EXPECT_EQ(machine_.device(kArea), want);
    EXPECT_EQ(Traffic(), Join({{"R A8 10 20"}, RecordWrite(0x10, kDeleted, want[8])}));
    // The deleted slot is the first free one again; its old text counts in the checksum.
    ClearTraffic();
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 4, 0, U8(Text19(Marked("Q")))), 0);
    want = Area({{0x20, Marked("Q")}});
    EXPECT_EQ(machine_.device(kArea), want);
    EXPECT_EQ(Traffic(), Join({KeyReads(12),
                               {"R A8 10 1", "R A8 11 19"},
                               RecordWrite(0x10, Rec(0x20, Marked("Q")), want[8])}));
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, AddWithKeyZeroFillsTheFirstFreeSlotWhichStaysFree) {
    machine_.setDevice(kArea, Area({{0x20, Marked("A")}}));
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 0, 0, U8(Text19("FREE"))), 0);
    const auto want = Area({{0x20, Marked("A")}, {0, "FREE"}});
    EXPECT_EQ(machine_.device(kArea), want);
    // The first scan (for key 0) stops at slot 1 and the record is rewritten there.
    EXPECT_EQ(Traffic(), Join({{"R A8 10 1", "R A8 24 1", "R A8 24 20"},
                               RecordWrite(0x24, Rec(0, "FREE"), want[8])}));
}

TEST_F(SerialAreaTest, RefusalsBeforeAnyWrite) {
    const std::string abc = Text19("ABC");
    machine_.setDevice(kArea, Area());
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 8, U8(abc)), 8);
    EXPECT_EQ(AddEntry(kArea, 20, 12, 2, 15, 1, U8(abc)), 3);
    EXPECT_EQ(AddEntry(0, 20, 12, 1, 15, 1, U8(abc)), 1);
    EXPECT_EQ(AddEntry(kArea, 22, 10, 1, 15, 1, U8(abc)), 7);  // a geometry no buffer holds
    EXPECT_EQ(WriteEntry(0, 20, 1, 0, 4, 0, U8(abc)), 1);
    EXPECT_EQ(WriteEntry(kArea, 20, 2, 0, 4, 0, U8(abc)), 3);
    EXPECT_EQ(WriteEntry(kArea, 20, 1, 0, 4, 9, U8(abc)), 8);
    EXPECT_EQ(DeleteEntry(0, 20, 1, 0), 1);
    EXPECT_EQ(DeleteEntry(kArea, 20, 0, 0), 3);
    EXPECT_EQ(FormatSerialArea(0), 1);
    // Without the mutex nothing goes to the bus either.
    PlatMutex *mutex = std::exchange(g_state.ee_mutex, nullptr);
    uint8_t s, n, v;
    EXPECT_EQ(ReadHeader(kArea, &s, &n, &v), 1);
    EXPECT_EQ(Load(), 1);
    EXPECT_EQ(FormatSerialArea(kArea), 1);
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 4, 0, U8(abc)), 1);
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 0), 1);
    g_state.ee_mutex = mutex;
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_TRUE(MutexFree());
    // No free slot: the two scans, nothing written.
    std::vector<Record> full;
    for (int i = 0; i < 12; ++i) full.push_back({static_cast<uint8_t>(0x20 + i), "X"});
    machine_.setDevice(kArea, Area(full));
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(abc)), 4);
    EXPECT_EQ(Traffic(), Join({KeyReads(12), KeyReads(12)}));
    EXPECT_EQ(machine_.device(kArea), Area(full));
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, ReadBackMismatchesAreReported) {
    // Slot numbers beyond the area wrap modulo 256 onto the header, where the checksum
    // update lands inside the record just written: the read-back then differs.
    machine_.setDevice(kArea, Area());
    // 16 + 20 * 38 = 776 = 8 (mod 256): the key sits on byte 8.
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 38), 5);
    // 16 + 20 * 12 = 256 = 0 (mod 256): byte 8 is the eighth text byte.
    Place(Area());
    EXPECT_EQ(WriteEntry(kArea, 20, 1, 12, 4, 0, U8(Text19("ABCDEFGHIJ"))), 6);
    EXPECT_EQ(Traffic().back(), "R A8 00 20");
    machine_.setDevice(kArea, Area());
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 12), 6);
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, PrimitivesWaitForAnotherHolderAndTakeOverFromADeadOne) {
    machine_.setDevice(kArea, Area());
    // Another process holds the mutex for 600 ms; the header read waits for it.
    TempDir dir;
    Child holder(BinPath("qor_lockdie"), {"hold", "600", dir.file("ready")}, {});
    for (int i = 0; i < 500 && !std::filesystem::exists(dir.file("ready")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto start = std::chrono::steady_clock::now();
    uint8_t s, n, v;
    EXPECT_EQ(ReadHeader(kArea, &s, &n, &v), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(holder.Wait().exit_code, 0);

    Child dead(BinPath("qor_lockdie"), {"die"}, {});
    EXPECT_EQ(dead.Wait().signal, SIGKILL);
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 4, 0, U8(Text19("ABC"))), 0);
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, FaultSweepOfEveryWritingPrimitive) {
    const auto two = Area({{0x79, "ABC"}, {0x20, Marked("X")}});
    const std::string text = Text19("NEWTEXT-1234567");
    Sweep("add new", two, [&] { return AddEntry(kArea, 20, 12, 1, 17, 2, U8(text)); });
    Sweep("add in place", two, [&] { return AddEntry(kArea, 20, 12, 1, 4, 0, U8(text)); });
    Sweep("write slot 5", two, [&] {
        EeLock lock;
        return WriteEntry(kArea, 20, 1, 5, 8, 3, U8(text));
    });
    Sweep("delete", two, [&] { return DeleteEntry(kArea, 20, 1, 0); });

    // Formatting keeps what it wrote before the failure and the old bytes after it.
    const auto formatted = Area();
    for (uint64_t k = 1; k <= 64; ++k) {
        machine_.setDevice(kArea, two);
        FailTransfer(k);
        EXPECT_EQ(FormatSerialArea(kArea), 1) << k;
        EXPECT_EQ(machine_.counters().transfers, k);
        auto want = two;
        std::copy_n(formatted.begin(), 4 * (k - 1), want.begin());
        EXPECT_EQ(machine_.device(kArea), want) << k;
        EXPECT_TRUE(MutexFree()) << k;
    }
}

}  // namespace
