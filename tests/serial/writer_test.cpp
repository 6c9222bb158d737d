// AssetSetSerialNumber on a simulated machine: validation, the device image byte for byte,
// the exact transfers, the cache, and a fault sweep.
#include <gtest/gtest.h>

#include "QORasstW.h"
#include "serial/serial_fixture.h"

using namespace serial_test;

namespace {

class WriterTest : public SerialFixture {};

TEST_F(WriterTest, TextsAreValidatedAndStoredNormalised) {
    const struct {
        const char *text;
        std::string record;   // slot 0 of the device after the call (key + 19 bytes)
        const char *display;  // what a query gives back afterwards ("-": none, refused)
    } cases[] = {
        {"11S", Rec(0, ""), "-"},
        {"11SABCDEFGHIJKLMNOPQRST", Rec(0, ""), "-"},
        {"11S1", Rec(0x20, "1"), "11S1"},
        {"11sabcdefghijklmnopqrs", Rec(0x20, "ABCDEFGHIJKLMNOPQRS"), "11SABCDEFGHIJKLMNOPQRS"},
        {"ABCDEFGHIJKLMNOPQRST", Rec(0, ""), "-"},
        {"ab cdefghijklmnopqr", Rec(0x20, Marked("AB CDEFGHIJKLMNOPQR")), "AB CDEFGHIJKLMNOPQR"},
        {"AB\tCD", Rec(0, ""), "-"},
        {"ABC\x80", Rec(0, ""), "-"},
        {"AB\177CD", Rec(0, ""), "-"},
        {"1s~z", Rec(0x20, Marked("1S~Z")), "1S~Z"},
    };
    for (const auto &c : cases) {
        Start(Area());
        EXPECT_EQ(AssetSetSerialNumber(4, 0, c.text), c.display[0] == '-' ? 0 : 1) << c.text;
        const auto img = machine_.device(kArea);
        EXPECT_EQ(RecordAt(0), c.record) << c.text;
        EXPECT_EQ(AreaSum(img), 0) << c.text;
        ExpectCacheTrueToDevice(c.text);
        EXPECT_EQ(Get(4, 0), c.display) << c.text;
        // Refused texts never reach the bus beyond this call's and Get's dirty checks.
        EXPECT_TRUE(c.display[0] != '-' || Traffic().size() == 2) << c.text;
    }
}

TEST_F(WriterTest, AddRewriteAndDeleteWithExactTransfers) {
    Start(Area({{0x20, Marked("ABC")}, {0x79, "WD1"}}));
    const Lines head = {"R A8 09 1", "R A8 00 8"};  // the dirty check and the header
    // A new device: the key scan misses, the first free slot (2) is taken.
    EXPECT_EQ(AssetSetSerialNumber(17, 2, "11SMEM-0002"), 1);
    auto want = Area({{0x20, Marked("ABC")}, {0x79, "WD1"}, {0x8A, "MEM-0002"}});
    EXPECT_EQ(machine_.device(kArea), want);
    Lines write = RecordWrite(0x38, Rec(0x8A, "MEM-0002"), want[8]);
    EXPECT_EQ(Traffic(), Join({head, KeyReads(12), KeyReads(3), {"R A8 39 19"}, write}));
    EXPECT_STREQ(g_state.diag_text, "Success");
    ExpectCacheTrueToDevice("new");

    // A known device is rewritten in place, also with the same text again (no compare).
    for (int round = 0; round < 2; ++round) {
        ClearTraffic();
        EXPECT_EQ(AssetSetSerialNumber(15, 1, "wd-new"), 1);
        want = Area({{0x20, Marked("ABC")}, {0x79, Marked("WD-NEW")}, {0x8A, "MEM-0002"}});
        EXPECT_EQ(machine_.device(kArea), want);
        write = RecordWrite(0x24, Rec(0x79, Marked("WD-NEW")), want[8]);
        EXPECT_EQ(Traffic(), Join({head, KeyReads(2), {"R A8 24 20"}, write}));
        EXPECT_STREQ(g_state.diag_text, "Found");
    }

    // Deleting a device without a record: nothing to do after the header.
    ClearTraffic();
    EXPECT_EQ(AssetSetSerialNumber(15, 2, ""), 0);
    EXPECT_EQ(Traffic(), head);
    EXPECT_STREQ(g_state.diag_text, "past ReadHeader");
    // Deleting one with a record leaves key 0 and letters D; the slot is the next one taken.
    ClearTraffic();
    EXPECT_EQ(AssetSetSerialNumber(15, 1, ""), 1);
    want = Area({{0x20, Marked("ABC")}, {0, std::string(19, 'D')}, {0x8A, "MEM-0002"}});
    EXPECT_EQ(machine_.device(kArea), want);
    EXPECT_EQ(Traffic(), Join({head, {"R A8 24 20"}, RecordWrite(0x24, kDeleted, want[8])}));
    ExpectCacheTrueToDevice("deleted");
    EXPECT_EQ(Get(15, 1), "-");
    EXPECT_EQ(AssetSetSerialNumber(9, 0, "NEXT"), 1);
    EXPECT_EQ(RecordAt(1), Rec(0x48, Marked("NEXT")));
    ExpectCacheTrueToDevice("reused");
    EXPECT_TRUE(MutexFree());
}

TEST_F(WriterTest, RefusalsLeaveDeviceAndCacheAlone) {
    std::vector<Record> full;
    for (int i = 0; i < 12; ++i) full.push_back({static_cast<uint8_t>(0x21 + i), Marked("X")});
    const struct {
        const char *name;
        qorsim::Image area;
        int type, index;
        const char *text;
        size_t transfers;  // this call's bus transfers
    } cases[] = {
        {"live module type", Area(), 256, 0, "11SX1234", 1},
        {"type 0", Area(), 0, 0, "ABCD", 1},
        {"type 32", Area(), 32, 0, "ABCD", 1},
        {"index beyond a byte", Area(), 4, 257, "ABCD", 1},
        {"index 8", Area(), 4, 8, "ABCD", 2},
        {"no free slot", Area(full), 30, 0, "ABCD", 2 + 12 + 12},
        {"version 2", AreaImage(20, 12, 2), 4, 0, "ABCD", 2},
        {"bad header", qorsim::Image{}, 4, 0, "ABCD", 2},
        {"geometry not laid out", AreaImage(10, 12, 1), 4, 0, "ABCD", 2},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, c.area);
        Load();
        const auto cache = view_;
        ClearTraffic();
        EXPECT_EQ(AssetSetSerialNumber(c.type, c.index, c.text), 0) << c.name;
        EXPECT_EQ(TransferCount(), c.transfers) << c.name;
        EXPECT_EQ(Writes(), 0) << c.name;
        EXPECT_EQ(machine_.device(kArea), c.area) << c.name;
        EXPECT_EQ(view_, cache) << c.name;
        EXPECT_TRUE(MutexFree()) << c.name;
    }
}

TEST_F(WriterTest, CacheOutOfStepIsBroughtBack) {
    // The cache claims slot 3 for (5, 0) while the device has it free, and claims (6, 1) in
    // slot 4 while the device keeps it in slot 5.
    Start(Area({{0x20, "A"}, {0x21, "B"}, {0x22, "C"}, {0, ""}, {0, ""}, {0x31, Marked("SIX")}}));
    g_state.serial_type[3] = 5;
    g_state.serial_type[4] = 6;
    g_state.serial_index[4] = 1;
    g_state.serial_type[5] = 0;
    g_state.serial_index[5] = 0;
    for (int i = 6; i < 12; ++i) g_state.serial_type[i] = 9;  // no free cache slot at all

    EXPECT_EQ(AssetSetSerialNumber(7, 0, "SEVEN"), 1);  // device slot 3
    EXPECT_EQ(RecordAt(3), Rec(0x38, Marked("SEVEN")));
    EXPECT_EQ(g_state.serial_type[3] * 8 + g_state.serial_index[3], 0x38);
    EXPECT_EQ(std::string(g_state.serial_text[3]), Marked("SEVEN"));

    EXPECT_EQ(AssetSetSerialNumber(6, 1, "SIX-2"), 1);  // device slot 5, cache said 4
    ExpectCacheTrueToDevice("rewrite elsewhere");
    EXPECT_EQ(Get(6, 1), "SIX-2");
}

// Fails each transfer of a set in turn, singly and from there on: the answer is 0 whenever
// the failure hits the write (the dirty check's own read failing only skips the check), and
// the cache never claims what the device does not hold.
TEST_F(WriterTest, FaultSweep) {
    const auto before = Area({{0x20, Marked("OLD")}, {0x79, "D1"}});
    const struct {
        const char *name;
        int type, index;
        const char *text;
    } ops[] = {{"rewrite", 4, 0, "NEW-SYSTEM-SERIAL"},
               {"add", 17, 3, "11SMODULE-THREE"},
               {"delete", 15, 1, ""}};
    for (const auto &op : ops) {
        Start(before);
        ASSERT_EQ(AssetSetSerialNumber(op.type, op.index, op.text), 1) << op.name;
        const auto after = machine_.device(kArea);
        const uint64_t transfers = machine_.counters().transfers;
        for (const std::string mode : {"fail_transfer", "fail_from"}) {
            for (uint64_t k = 1; k <= transfers; ++k) {
                const std::string ctx = op.name + (" " + mode + " ") + std::to_string(k);
                Start(before);
                machine_.conf(mode, std::to_string(k));
                const int result = AssetSetSerialNumber(op.type, op.index, op.text);
                machine_.clearConf(mode);
                const bool single = mode == "fail_transfer";
                EXPECT_EQ(result, single && k == 1 ? 1 : 0) << ctx;
                const auto now = machine_.device(kArea);
                EXPECT_TRUE(result == 0 || now == after) << ctx;
                // A single failure lets the cache be reloaded from a device left as it was;
                // otherwise only the slots that claim a record must hold it.
                ExpectCacheTrueToDevice(ctx, result == 1 || (single && now == before));
                EXPECT_TRUE(MutexFree()) << ctx;
            }
        }
    }
}

}  // namespace
