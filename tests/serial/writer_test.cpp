// AssetSetSerialNumber on a simulated machine: validation, the device image byte for byte,
// the exact transfers, the cache, the diagnostic texts, and a fault sweep.
#include <gtest/gtest.h>

#include "QORasstW.h"
#include "serial/serial_fixture.h"

using namespace serial_test;

namespace {

class WriterTest : public SerialFixture {};

std::string Get(int type, int index) {
    char buf[24] = {};
    return AssetGetSerialNumber2(type, index, buf) == 0 ? std::string(buf) : std::string("-");
}

std::string RecordAt(const qorsim::Image &img, int slot) {
    return std::string(reinterpret_cast<const char *>(&img[16 + 20 * slot]), 20);
}

std::string Rec(uint8_t key, const std::string &text) {
    return std::string(1, static_cast<char>(key)) + Text19(text);
}

TEST_F(WriterTest, TextsAreValidatedAndStoredNormalised) {
    const struct {
        const char *text;
        int result;
        std::string record;   // slot 0 of the device after the call (key + 19 bytes)
        const char *display;  // what a query gives back afterwards
    } cases[] = {
        {"11S", 0, Rec(0, ""), "-"},
        {"11S1", 1, Rec(0x20, "1"), "11S1"},
        {"11sabcdefghijklmnopqrs", 1, Rec(0x20, "ABCDEFGHIJKLMNOPQRS"), "11SABCDEFGHIJKLMNOPQRS"},
        {"ABCDEFGHIJKLMNOPQRST", 0, Rec(0, ""), "-"},
        {"abcdefghijklmnopqrs", 1,
         Rec(0x20,
             "\xC1"
             "BCDEFGHIJKLMNOPQRS"),
         "ABCDEFGHIJKLMNOPQRS"},
        {"AB\tCD", 0, Rec(0, ""), "-"},
        {"ABC\x80", 0, Rec(0, ""), "-"},
        {"AB\x7F"
         "CD",
         0, Rec(0, ""), "-"},
        {"1s~z", 1,
         Rec(0x20,
             "\xB1"
             "S~Z"),
         "1S~Z"},
        {"ABC\xFF"
         "D",
         0, Rec(0, ""), "-"},
        {"ab c", 1,
         Rec(0x20,
             "\xC1"
             "B C"),
         "AB C"},
    };
    for (const auto &c : cases) {
        Start(Formatted());
        EXPECT_EQ(AssetSetSerialNumber(4, 0, c.text), c.result) << c.text;
        const auto img = machine_.device(kArea);
        EXPECT_EQ(RecordAt(img, 0), c.record) << c.text;
        EXPECT_EQ(AreaSum(img), 0) << c.text;
        ExpectCacheEqualsDevice(c.text);
        EXPECT_EQ(Get(4, 0), c.display) << c.text;
        if (c.result == 0) {
            // Refused texts never reach the bus beyond the dirty check.
            EXPECT_EQ(Traffic().size(), 2u) << c.text;  // this call's and Get's dirty checks
        }
    }
}

TEST_F(WriterTest, NewDeviceTakesFirstFreeSlotWithExactTransfers) {
    Start(AreaImage(20, 12, 1,
                    {{0x20, Text19("\xC1"
                                   "BC")}}));
    EXPECT_EQ(AssetSetSerialNumber(17, 2, "11SMEM-0002"), 1);
    Lines want{"R A8 09 1", "R A8 00 8"};
    for (int i = 0; i < 12; ++i) want.push_back("R A8 " + qorsim::Hex2(16 + 20 * i) + " 1");
    const auto img = machine_.device(kArea);
    for (const auto &l :
         Lines{"R A8 10 1", "R A8 24 1", "R A8 25 19", "W A8 24 4 8A4D454D", "W A8 28 4 2D303030",
               "W A8 2C 4 32000000", "W A8 30 4 00000000", "W A8 34 4 00000000", "R A8 08 1",
               "W A8 08 1 " + qorsim::Hex2(img[8]), "R A8 24 20"}) {
        want.push_back(l);
    }
    EXPECT_EQ(Traffic(), want);
    EXPECT_EQ(RecordAt(img, 1), Rec(0x8A, "MEM-0002"));
    EXPECT_EQ(AreaSum(img), 0);
    ExpectCacheEqualsDevice("new");
    EXPECT_STREQ(g_state.diag_text, "Success");
    EXPECT_TRUE(MutexFree());
}

TEST_F(WriterTest, KnownDeviceIsRewrittenInPlace) {
    Start(AreaImage(20, 12, 1,
                    {{0x20, Text19("\xC1"
                                   "BC")},
                     {0x00, Text19("")},
                     {0x41, Text19("\xC2"
                                   "1")}}));
    EXPECT_EQ(AssetSetSerialNumber(8, 1, "b2-new"), 1);
    const auto img = machine_.device(kArea);
    EXPECT_EQ(RecordAt(img, 2), Rec(0x41,
                                    "\xC2"
                                    "2-NEW"));
    EXPECT_EQ(RecordAt(img, 1), Rec(0, ""));
    ExpectCacheEqualsDevice("in place");
    EXPECT_STREQ(g_state.diag_text, "Found");
    const auto t = Traffic();
    // Dirty check, header, the key scan finds slot 2 on its third read, then the rewrite.
    EXPECT_EQ(Lines(t.begin(), t.begin() + 6), (Lines{"R A8 09 1", "R A8 00 8", "R A8 10 1",
                                                      "R A8 24 1", "R A8 38 1", "R A8 38 20"}));
    EXPECT_EQ(t.size(), 6u + 5 + 2 + 1);
    // The same text again is written again: no compare-before-write.
    ClearTraffic();
    EXPECT_EQ(AssetSetSerialNumber(8, 1, "b2-new"), 1);
    EXPECT_EQ(TransferCount(), 14u);
}

TEST_F(WriterTest, DeleteRequests) {
    Start(AreaImage(20, 12, 1,
                    {{0x20, Text19("\xC1"
                                   "BC")},
                     {0x79, Text19("WD1")}}));
    EXPECT_EQ(AssetSetSerialNumber(15, 2, ""), 0);  // no record: nothing to delete
    EXPECT_EQ(Traffic(), (Lines{"R A8 09 1", "R A8 00 8"}));
    EXPECT_STREQ(g_state.diag_text, "past ReadHeader");

    ClearTraffic();
    EXPECT_EQ(AssetSetSerialNumber(15, 1, ""), 1);
    const auto img = machine_.device(kArea);
    EXPECT_EQ(RecordAt(img, 1), std::string(1, '\0') + std::string(19, 'D'));
    EXPECT_EQ(AreaSum(img), 0);
    EXPECT_EQ(Traffic(), (Lines{"R A8 09 1", "R A8 00 8", "R A8 24 20", "W A8 24 4 00444444",
                                "W A8 28 4 44444444", "W A8 2C 4 44444444", "W A8 30 4 44444444",
                                "W A8 34 4 44444444", "R A8 08 1",
                                "W A8 08 1 " + qorsim::Hex2(img[8]), "R A8 24 20"}));
    ExpectCacheEqualsDevice("deleted");
    EXPECT_EQ(Get(15, 1), "-");
    EXPECT_EQ(Get(4, 0), "ABC");

    // The freed slot is the first one taken next.
    EXPECT_EQ(AssetSetSerialNumber(9, 0, "NEXT"), 1);
    EXPECT_EQ(machine_.device(kArea)[36], 0x48);
    ExpectCacheEqualsDevice("reused");
}

TEST_F(WriterTest, RefusalsLeaveDeviceAndCacheAlone) {
    std::vector<Record> full;
    for (int i = 0; i < 12; ++i) full.push_back({static_cast<uint8_t>(0x21 + i), Text19("\xD8")});
    const struct {
        const char *name;
        qorsim::Image area;
        int type, index;
        const char *text;
        size_t transfers;  // this call's bus transfers
    } cases[] = {
        {"live module type", Formatted(), 256, 0, "11SX1234", 1},
        {"type 0", Formatted(), 0, 0, "ABCD", 1},
        {"type 32", Formatted(), 32, 0, "ABCD", 1},
        {"negative type", Formatted(), -1, 0, "ABCD", 1},
        {"index beyond a byte", Formatted(), 4, 257, "ABCD", 1},
        {"delete of a live module", Formatted(), 256, 0, "", 1},
        {"index 8", Formatted(), 4, 8, "ABCD", 2},
        {"no free slot", AreaImage(20, 12, 1, full), 30, 0, "ABCD", 2 + 12 + 12},
        {"version 2", AreaImage(20, 12, 2), 4, 0, "ABCD", 2},
        {"bad header", qorsim::Image{}, 4, 0, "ABCD", 2},
        {"geometry not laid out", AreaImage(10, 12, 1), 4, 0, "ABCD", 2},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, c.area);
        LoadSerialCache(kArea, 20, 12, 1, g_state.serial_type, g_state.serial_index,
                        g_state.serial_text);
        const auto cache = serial_view_;
        ClearTraffic();
        EXPECT_EQ(AssetSetSerialNumber(c.type, c.index, c.text), 0) << c.name;
        EXPECT_EQ(TransferCount(), c.transfers) << c.name;
        for (const auto &t : machine_.i2cTransfers()) EXPECT_EQ(t.dir, 'R') << c.name;
        EXPECT_EQ(machine_.device(kArea), c.area) << c.name;
        EXPECT_EQ(serial_view_, cache) << c.name;
        EXPECT_TRUE(MutexFree()) << c.name;
    }
    Start(Formatted());
    g_state.initialized = 0;
    EXPECT_EQ(AssetSetSerialNumber(4, 0, "ABCD"), 0);
    g_state.initialized = 1;
    EXPECT_EQ(AssetSetSerialNumber(4, 0, nullptr), 0);
    EXPECT_EQ(TransferCount(), 0u);
}

TEST_F(WriterTest, LiveTypesAreStoredButAnsweredLive) {
    Start(Formatted());
    EXPECT_EQ(AssetSetSerialNumber(2, 0, "DISK-REC"), 1);
    EXPECT_EQ(AssetSetSerialNumber(14, 0, "MON-REC"), 1);
    EXPECT_EQ(machine_.device(kArea)[16], 0x10);
    EXPECT_EQ(machine_.device(kArea)[36], 0x70);
    EXPECT_EQ(Get(2, 0), "-");  // the HDD cache entry is empty
    char buf[24];
    EXPECT_EQ(AssetGetSerialNumber2(14, 0, buf), 51);  // no EDID in this process
}

TEST_F(WriterTest, DiagnosticTexts) {
    Start(Formatted());
    const struct {
        int type;
        const char *text;
        const char *diag;
    } cases[] = {
        {4, "AB", "len = |2|"},
        {4, "AB\tC", "past len check"},
        {4, "ABCDEFGHIJKLMNOPQRST", "no 11S"},
        {4, "", "delete"},  // no record: ends after the header
        {256, "ABCD", "past 19 check"},
        {4, "ABCD", "Success"},
        {4, "ABCE", "Found"},
        {5, "11SXYZ", "Success"},
    };
    for (const auto &c : cases) {
        AssetSetSerialNumber(c.type, 0, c.text);
        if (std::string(c.text).empty()) {
            EXPECT_STREQ(g_state.diag_text, "past ReadHeader");
        } else {
            EXPECT_STREQ(g_state.diag_text, c.diag) << c.text;
        }
    }
    // A failed add leaves its result and "bad".
    machine_.conf("fail_device", "A8");
    EXPECT_EQ(AssetSetSerialNumber(6, 0, "QQQQ"), 0);
    EXPECT_STREQ(g_state.diag_text, "past 19 check");  // the header read failed first
}

TEST_F(WriterTest, NoRoomLeavesAddEntryResultInTheDiagnostics) {
    std::vector<Record> full;
    for (int i = 0; i < 12; ++i) full.push_back({static_cast<uint8_t>(0x21 + i), Text19("\xD8")});
    Start(AreaImage(20, 12, 1, full));
    EXPECT_EQ(AssetSetSerialNumber(30, 0, "ABCD"), 0);
    EXPECT_STREQ(g_state.diag_text, "bad");
}

TEST_F(WriterTest, CacheOutOfStepIsBroughtBack) {
    // The cache claims slot 3 for (5, 0) while the device has it free, and claims (6, 1) in
    // slot 4 while the device keeps it in slot 5.
    Start(AreaImage(20, 12, 1,
                    {{0x20, Text19("\xC1")},
                     {0x21, Text19("\xC2")},
                     {0x22, Text19("\xC3")},
                     {0x00, Text19("")},
                     {0x00, Text19("")},
                     {0x31, Text19("\xD3"
                                   "IX")}}));
    g_state.serial_type[3] = 5;
    g_state.serial_type[4] = 6;
    g_state.serial_index[4] = 1;
    g_state.serial_type[5] = 0;
    g_state.serial_index[5] = 0;
    for (int i = 6; i < 12; ++i) g_state.serial_type[i] = 9;  // no free cache slot at all

    EXPECT_EQ(AssetSetSerialNumber(7, 0, "SEVEN"), 1);  // device slot 3
    EXPECT_EQ(machine_.device(kArea)[16 + 60], 0x38);
    EXPECT_EQ(g_state.serial_type[3], 7);
    EXPECT_EQ(g_state.serial_index[3], 0);
    EXPECT_STREQ(g_state.serial_text[3],
                 "\xD3"
                 "EVEN");

    EXPECT_EQ(AssetSetSerialNumber(6, 1, "SIX-2"), 1);  // device slot 5, cache said 4
    ExpectCacheEqualsDevice("rewrite elsewhere");
    EXPECT_EQ(Get(6, 1), "SIX-2");
}

// Fails each transfer of a set in turn: the answer is 0 whenever the failure hits the write
// (the dirty check's own read failing only skips the check), and the cache never claims what
// the device does not hold.
TEST_F(WriterTest, FaultSweep) {
    const auto before = AreaImage(20, 12, 1,
                                  {{0x20, Text19("\xC1"
                                                 "OLD")},
                                   {0x79, Text19("D1")}});
    const struct {
        const char *name;
        int type, index;
        const char *text;
    } ops[] = {{"rewrite", 4, 0, "NEW-SYSTEM-SERIAL"},
               {"add", 17, 3, "11SMODULE-THREE"},
               {"delete", 15, 1, ""}};
    for (const auto &op : ops) {
        for (const char *mode : {"fail_transfer", "fail_from"}) {
            Start(before);
            machine_.resetCounters();
            ASSERT_EQ(AssetSetSerialNumber(op.type, op.index, op.text), 1) << op.name;
            const auto after = machine_.device(kArea);
            const uint64_t transfers = machine_.counters().transfers;
            for (uint64_t k = 1; k <= transfers; ++k) {
                const std::string ctx = std::string(op.name) + " " + mode + " " + std::to_string(k);
                Start(before);
                machine_.resetCounters();
                machine_.conf(mode, std::to_string(k));
                const int result = AssetSetSerialNumber(op.type, op.index, op.text);
                machine_.clearConf(mode);
                const bool single = std::string(mode) == "fail_transfer";
                EXPECT_EQ(result, single && k == 1 ? 1 : 0) << ctx;
                ExpectCacheTrueToDevice(ctx);
                const auto now = machine_.device(kArea);
                if (result == 1) {
                    EXPECT_EQ(now, after) << ctx;
                    ExpectCacheEqualsDevice(ctx);
                }
                // A single failure lets the cache be reloaded from a device left as it was.
                if (single && now == before) ExpectCacheEqualsDevice(ctx + " (unchanged)");
                EXPECT_TRUE(MutexFree()) << ctx;
            }
        }
    }
}

}  // namespace
