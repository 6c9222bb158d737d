// AssetSetSerialNumber on a simulated machine: validation, the device image byte for byte,
// the exact transfers, the cache, and a fault sweep.
#include <gtest/gtest.h>

#include "QORasstW.h"
#include "serial/serial_fixture.h"

using namespace serial_test;

namespace {

class WriterTest : public SerialFixture {};

// Texts are validated and stored normalised in the first free slot (key 0x20 for (4, 0));
// refusals leave device and cache alone and reach the bus only as far as the row says.
TEST_F(WriterTest, ValidationAndRefusals) {
    std::vector<Record> full;
    for (int i = 0; i < 12; ++i) full.push_back({static_cast<uint8_t>(0x21 + i), Marked("X")});
    const struct {
        int type, index;
        const char *text;
        std::string stored;   // in slot 0 after the call ("": refused)
        const char *display;  // what a query then gives back
        size_t transfers;     // a refusal's bus transfers
        qorsim::Image area = Area();
    } cases[] = {
        {4, 0, "11S", "", "", 1},
        {4, 0, "11SABCDEFGHIJKLMNOPQRST", "", "", 1},
        {4, 0, "11S1", "1", "11S1", 0},
        {4, 0, "11sabcdefghijklmnopqrs", "ABCDEFGHIJKLMNOPQRS", "11SABCDEFGHIJKLMNOPQRS", 0},
        {4, 0, "ABCDEFGHIJKLMNOPQRST", "", "", 1},
        {4, 0, "ab cdefghijklmnopqr", Marked("AB CDEFGHIJKLMNOPQR"), "AB CDEFGHIJKLMNOPQR", 0},
        {4, 0, "AB\tCD", "", "", 1},
        {4, 0, "ABC\x80", "", "", 1},
        {4, 0, "AB\177CD", "", "", 1},
        {4, 0, "1s~z", Marked("1S~Z"), "1S~Z", 0},
        {256, 0, "11SX1234", "", "", 1},  // a live module
        {0, 0, "ABCD", "", "", 1},
        {32, 0, "ABCD", "", "", 1},
        {4, 257, "ABCD", "", "", 1},
        {4, 8, "ABCD", "", "", 2},
        {15, 2, "", "", "", 2},  // a delete without a record: nothing after the header
        {30, 0, "ABCD", "", "", 2 + 12 + 12, Area(full)},  // no free slot
        {4, 0, "ABCD", "", "", 2, AreaImage(20, 12, 2)},   // version 2
        {4, 0, "ABCD", "", "", 2, qorsim::Image{}},        // no header
        {4, 0, "ABCD", "", "", 2, AreaImage(10, 12, 1)},   // geometry not laid out
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.type << " " << c.index << " " << c.text);
        machine_.setDevice(kArea, c.area);
        Load();
        const auto cache = view_;
        ClearTraffic();
        const bool stored = !c.stored.empty();
        EXPECT_EQ(AssetSetSerialNumber(c.type, c.index, c.text), stored ? 1 : 0);
        EXPECT_EQ(machine_.device(kArea), stored ? Area({{0x20, c.stored}}) : c.area);
        EXPECT_TRUE(stored || TransferCount() == c.transfers) << TransferCount();
        EXPECT_TRUE(stored || view_ == cache);
        ExpectCacheTrueToDevice("", stored);
        EXPECT_TRUE(!stored || Get(4, 0) == c.display) << Get(4, 0);
        EXPECT_TRUE(MutexFree());
    }
}

TEST_F(WriterTest, AddRewriteAndDeleteWithExactTransfers) {
    std::vector<Record> recs = {{0x20, Marked("ABC")}, {0x79, "WD1"}};
    Start(Area(recs));
    const Lines head = {"R A8 09 1", "R A8 00 8"};  // the dirty check and the header
    // After a call the device holds recs; the call's transfers were head, `scan` and the write
    // of record `slot`; the cache agrees.
    const auto expect = [&](const char *diag, const Lines &scan, int slot) {
        const auto want = Area(recs);
        const std::string rec = Rec(recs[slot].key, recs[slot].text);
        EXPECT_EQ(machine_.device(kArea), want) << diag;
        EXPECT_EQ(
            Traffic(),
            Join({head, scan, RecordWrite(static_cast<uint8_t>(16 + 20 * slot), rec, want[8])}));
        EXPECT_STREQ(g_state.diag_text, diag);
        ExpectCacheTrueToDevice(diag);
        ClearTraffic();
    };
    // A new device: the key scan misses, the first free slot (2) is taken.
    EXPECT_EQ(AssetSetSerialNumber(17, 2, "11SMEM-0002"), 1);
    recs.push_back({0x8A, "MEM-0002"});
    expect("Success", Join({KeyReads(12), KeyReads(3), {"R A8 39 19"}}), 2);
    // A known device is rewritten in place, also with the same text again (no compare).
    recs[1] = {0x79, Marked("WD-NEW")};
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(AssetSetSerialNumber(15, 1, "wd-new"), 1);
        expect("Found", Join({KeyReads(2), {"R A8 24 20"}}), 1);
    }
    // Deleting one with a record leaves key 0 and letters D; the slot is the next one taken.
    EXPECT_EQ(AssetSetSerialNumber(15, 1, ""), 1);
    recs[1] = {0, std::string(19, 'D')};
    expect("Found", {"R A8 24 20"}, 1);
    EXPECT_EQ(AssetSetSerialNumber(9, 0, "NEXT"), 1);
    recs[1] = {0x48, Marked("NEXT")};
    expect("Success", Join({KeyReads(12), KeyReads(2), {"R A8 25 19"}}), 1);
    EXPECT_TRUE(MutexFree());
}

TEST_F(WriterTest, CacheOutOfStepIsBroughtBack) {
    // The cache claims slot 3 for (5, 0) while the device has it free, and claims (6, 1) in
    // slot 4 while the device keeps it in slot 5.
    std::vector<Record> recs = {{0x20, "A"}, {0x21, "B"}, {0x22, "C"},
                                {0, ""},     {0, ""},     {0x31, Marked("SIX")}};
    Start(Area(recs));
    g_state.serial_type[3] = 5;
    g_state.serial_type[4] = 6;
    g_state.serial_index[4] = 1;
    g_state.serial_type[5] = 0;
    g_state.serial_index[5] = 0;
    for (int i = 6; i < 12; ++i) g_state.serial_type[i] = 9;  // no free cache slot beyond 5

    EXPECT_EQ(AssetSetSerialNumber(7, 0, "SEVEN"), 1);  // device slot 3, and so cache slot 3
    EXPECT_EQ(AssetSetSerialNumber(6, 1, "SIX-2"), 1);  // device slot 5, cache said 4
    recs[3] = {0x38, Marked("SEVEN")};
    recs[5] = {0x31, Marked("SIX-2")};
    EXPECT_EQ(machine_.device(kArea), Area(recs));
    ExpectCacheTrueToDevice("rewrite elsewhere");
    EXPECT_EQ(Get(6, 1), "SIX-2");
}

// Fails each transfer of a set in turn, once (a refused write is tried again) and from there
// on until the bus answers again. Meanwhile a query answers the record only while the device
// holds it; the answer is 1 only when the write went through; the next access leaves the area
// balanced with every other record intact and the written one old or new, the cache true to
// it, and a new first process loads it.
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
                const std::string during = Get(op.type, op.index);
                EXPECT_TRUE(during == "-" || result == 1 || machine_.device(kArea) == before)
                    << ctx;
                machine_.clearConf(mode);
                EXPECT_TRUE(result == 0 || machine_.device(kArea) == after) << ctx;
                Get(4, 0);
                const auto now = machine_.device(kArea);
                EXPECT_TRUE(now == before || now == after) << ctx;
                ExpectCacheTrueToDevice(ctx);
                EXPECT_EQ(Load(), 0) << ctx;
                EXPECT_TRUE(MutexFree()) << ctx;
            }
        }
    }
}

}  // namespace
