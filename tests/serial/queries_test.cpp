// Serial-number queries and the dirty flag, on a simulated machine.
#include <gtest/gtest.h>

#include <thread>

#include "QORasstW.h"
#include "platform/thread.h"
#include "serial/serial_fixture.h"

using namespace serial_test;

namespace {

class QueryTest : public SerialFixture {};

struct Answer {
    int boolean;
    int coded;
    std::string buffer;  // the 24 bytes of a buffer filled with '#' first
};

Answer Ask(int type, int index) {
    Answer a;
    char one[24], two[24];
    std::memset(one, '#', sizeof one);
    std::memset(two, '#', sizeof two);
    a.boolean = AssetGetSerialNumber(type, index, one);
    a.coded = AssetGetSerialNumber2(type, index, two);
    a.buffer.assign(one, sizeof one);
    EXPECT_EQ(a.buffer, std::string(two, sizeof two)) << "the two queries wrote differently";
    return a;
}

std::string Z(const std::string &text, size_t fill_to = 24) {
    std::string s = text + '\0';
    s.resize(fill_to, '#');
    return s;
}

const std::string kHash(24, '#');

qorsim::Image RecordsArea() {
    return AreaImage(20, 12, 1,
                     {{0x20, Text19("\xC1"
                                    "BC1234")},   // (4, 0)
                      {0x79, Text19("78CZKW9")},  // (15, 1)
                      {0x89, Text19("\xD8"
                                    "YZ")},  // (17, 1)
                      {0x00, Text19("DDDDDDDDDDDDDDDDDDD")},
                      {0x41, Text19("\xC2"
                                    "OARD-ONE")},  // (8, 1)
                      {0x10, Text19("\xC4"
                                    "ISK")},  // (2, 0): never answered
                      {0x70, Text19("\xCD"
                                    "ON")}});  // (14, 0): never answered
}

TEST_F(QueryTest, RecordsComeBackInDisplayForm) {
    Start(RecordsArea());
    const struct {
        int type, index;
        std::string text;
    } cases[] = {{4, 0, "ABC1234"}, {15, 1, "11S78CZKW9"}, {17, 1, "XYZ"}, {8, 1, "BOARD-ONE"}};
    for (const auto &c : cases) {
        ClearTraffic();
        const Answer a = Ask(c.type, c.index);
        EXPECT_EQ(a.boolean, 1) << c.type;
        EXPECT_EQ(a.coded, 0) << c.type;
        EXPECT_EQ(a.buffer, Z(c.text)) << c.type;
        // Only the dirty checks touch the bus.
        EXPECT_EQ(Traffic(), (Lines{"R A8 09 1", "R A8 09 1"})) << c.type;
    }
}

TEST_F(QueryTest, FailureTable) {
    Start(RecordsArea());
    const struct {
        const char *name;
        int type, index;
        int boolean, coded;
    } cases[] = {
        {"type 8 index 1 record only", 8, 2, 0, 102},
        {"caller type without record", 99, 0, 0, 102},
        {"caller type 3 without record", 3, 0, 0, 102},
        {"type 0 is no device", 0, 0, 0, 102},
        {"type 4 index 1", 4, 1, 0, 102},
        {"type beyond a byte never aliases", 4 + 256, 0, 0, 102},
        {"index beyond a byte never aliases", 4, 256, 0, 102},
        {"negative type", -252, 0, 0, 102},
        {"system without VPD", 4, 7, 0, 102},
        {"board index 0 without VPD", 8, 0, 0, 61},
        {"monitor index 1", 14, 1, 0, 103},
        {"monitor without EDID", 14, 0, 0, 51},
        {"UUID index 1", 257, 1, 0, 102},
        {"UUID without tables", 257, 0, 0, 1},
        {"disk index 24", 2, 24, 0, 102},
        {"disk index -1", 2, -1, 0, 102},
        {"live module index 16", 256, 16, 0, 102},
        {"live module without address", 256, 3, 0, 9},
    };
    for (const auto &c : cases) {
        const Answer a = Ask(c.type, c.index);
        EXPECT_EQ(a.boolean, c.boolean) << c.name;
        EXPECT_EQ(a.coded, c.coded) << c.name;
    }
    // A system record answers although the VPD is missing.
    EXPECT_EQ(Ask(4, 0).coded, 0);
    // Without the record the VPD is consulted, and it is not loaded here.
    Start(Formatted());
    EXPECT_EQ(Ask(4, 0).coded, 61);
}

TEST_F(QueryTest, NotInitialisedTouchesNothing) {
    Start(RecordsArea());
    g_state.initialized = 0;
    const Answer a = Ask(4, 0);
    EXPECT_EQ(a.boolean, 0);
    EXPECT_EQ(a.coded, 101);
    EXPECT_EQ(a.buffer, kHash);
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);
    EXPECT_EQ(TransferCount(), 0u);
}

TEST_F(QueryTest, VpdFallbackOnlyForIndexZeroWithoutRecord) {
    Start(Formatted());
    g_state.vpd_loaded = 1;
    std::memcpy(g_state.vpd_block + 0x28, "8307ABC", 7);
    std::memcpy(g_state.vpd_block + 0x16, "99XK123", 7);
    std::memcpy(g_state.vpd_block + 0x1D, "BRD12345678", 11);
    Answer a = Ask(4, 0);
    EXPECT_EQ(a.coded, 0);
    EXPECT_EQ(a.boolean, 1);
    EXPECT_EQ(a.buffer, Z("1S8307ABC99XK123"));
    a = Ask(8, 0);
    EXPECT_EQ(a.coded, 0);
    EXPECT_EQ(a.buffer, Z("BRD12345678"));
    EXPECT_EQ(Ask(8, 1).coded, 102);
    Start(RecordsArea());
    EXPECT_EQ(Ask(4, 0).buffer, Z("ABC1234"));  // the record wins
}

TEST_F(QueryTest, LiveModuleReadsItsSpdEeprom) {
    Start(Formatted());
    g_state.module_addr[0] = 0xA0;
    g_state.module_addr[1] = 0xA2;
    g_state.module_addr[2] = 0xA4;
    qorsim::Image good{};
    const std::string block = "11SFRU12345678901234AB";
    std::memcpy(&good[128], block.data(), 22);
    good[150] = static_cast<uint8_t>(~Sum(&good[128], 22));
    machine_.setDevice(0xA0, good);
    qorsim::Image jedec{};
    jedec[64] = 0x2C;
    const uint8_t tail[] = {0x01, 0x00, 0x98, 0x12, 0x00, 0x12, 0x34, 0x56};
    std::memcpy(&jedec[91], tail, 8);
    machine_.setDevice(0xA2, jedec);
    auto bad_sum = good;
    bad_sum[150] ^= 1;
    machine_.setDevice(0xA4, bad_sum);
    // A6: no module answers.
    g_state.module_addr[3] = 0xA6;

    Answer a = Ask(256, 0);
    EXPECT_EQ(a.coded, 0);
    EXPECT_EQ(a.boolean, 1);
    EXPECT_EQ(a.buffer, Z(block));
    a = Ask(256, 1);
    EXPECT_EQ(a.coded, 0);
    EXPECT_EQ(a.buffer, Z("2C0100981200123456"));
    a = Ask(256, 2);
    EXPECT_EQ(a.coded, 7);
    EXPECT_EQ(a.boolean, 0);
    EXPECT_EQ(a.buffer, Z(block));  // what the source wrote before it failed
    EXPECT_EQ(Ask(256, 3).coded, 1);
    machine_.setDevice(0xA6, qorsim::Image{});
    EXPECT_EQ(Ask(256, 3).coded, 2);

    // An empty table entry fails without addressing any module.
    ClearTraffic();
    EXPECT_EQ(Ask(256, 4).coded, 9);
    for (const auto &t : machine_.i2cTransfers()) EXPECT_EQ(t.dev, kArea);
}

TEST_F(QueryTest, DiskEntriesComeFromTheHddCache) {
    Start(RecordsArea());
    SetDisk(0, "WD-WCAV12345678", 0, 0);
    SetDisk(1,
            "\xE9"
            "XTENDED",
            1, 3);
    SetDisk(2, "ABCDEFGHIJKLMNOPQRSTUVW", 0, 1);  // a full slot without terminator
    Answer a = Ask(2, 0);
    EXPECT_EQ(a.boolean, 'W');
    EXPECT_EQ(a.coded, 0);
    EXPECT_EQ(a.buffer, std::string("WD-WCAV12345678") + std::string(8, '\0') + "#");
    a = Ask(2, 1);
    EXPECT_EQ(a.boolean, static_cast<int>(static_cast<signed char>('\xE9')));
    EXPECT_EQ(a.coded, 0);
    a = Ask(2, 2);
    EXPECT_EQ(a.buffer, std::string("ABCDEFGHIJKLMNOPQRSTUV") + '\0' + "#");
    // Empty entry: 23 zero bytes, and a failure, though a (2, 0)-like record exists.
    a = Ask(2, 5);
    EXPECT_EQ(a.boolean, 0);
    EXPECT_EQ(a.coded, 1);
    EXPECT_EQ(a.buffer, std::string(23, '\0') + "#");
}

TEST_F(QueryTest, DiskQueryWaitsForTheWorkerThread) {
    Start(Formatted());
    g_state.worker_thread = PlatThreadStart(
        [](void *) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::memcpy(g_state.hdd_serial[4], "LATE-DISK", 10);
        },
        nullptr);
    ASSERT_NE(g_state.worker_thread, nullptr);
    const Answer a = Ask(2, 4);
    EXPECT_EQ(a.coded, 0);
    EXPECT_EQ(a.buffer, std::string("LATE-DISK") + std::string(14, '\0') + "#");
    g_state.worker_thread = nullptr;
}

// ---- dirty flag ----------------------------------------------------------------------------

TEST_F(QueryTest, OutsideChangeIsSeenOnceAndTheCacheRefreshed) {
    Start(Formatted());
    // An outside writer adds (4, 0) and sets the flag, keeping the area balanced.
    auto changed = AreaImage(20, 12, 1,
                             {{0x20, Text19("\xC1"
                                            "BC1234")}},
                             0x81);
    machine_.setDevice(kArea, changed);
    const uint8_t old8 = changed[8];
    Answer a = Ask(4, 0);
    EXPECT_EQ(a.buffer, Z("ABC1234"));
    const auto t = Traffic();
    ASSERT_GE(t.size(), 6u);
    EXPECT_EQ(Lines(t.begin(), t.begin() + 6),
              (Lines{"R A8 09 1", "R A8 08 1", "W A8 09 1 80",
                     "W A8 08 1 " + qorsim::Hex2(static_cast<uint8_t>(old8 + 1)), "R A8 00 8",
                     "R A8 00 256"}));
    // The second query of Ask found the flag clear: one read, no refresh.
    EXPECT_EQ(Lines(t.begin() + 6, t.end()), Lines{"R A8 09 1"});
    const auto img = machine_.device(kArea);
    EXPECT_EQ(img[9], 0x80);  // the other bits stay
    EXPECT_EQ(img[8], static_cast<uint8_t>(old8 + 1));
    EXPECT_EQ(AreaSum(img), 0);
    ExpectCacheEqualsDevice("after refresh");
}

TEST_F(QueryTest, DirtyCheckReportsOnceThenClear) {
    Start(AreaImage(20, 12, 1, {}, 0x01));
    EXPECT_EQ(AssetIsSerialCacheDirty(), 1);
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);
    const auto img = machine_.device(kArea);
    EXPECT_EQ(img[9], 0);
    EXPECT_EQ(img[8], static_cast<uint8_t>(AreaImage(20, 12, 1, {}, 1)[8] + 1));
    EXPECT_EQ(AreaSum(img), 0);
    EXPECT_TRUE(MutexFree());
}

TEST_F(QueryTest, DirtyCheckFailures) {
    const auto dirty = AreaImage(20, 12, 1, {}, 0x01);
    const struct {
        const char *name;
        uint64_t fail;  // transfer that fails
        int result;
        uint8_t byte9;
        bool balanced;
        size_t transfers;
    } cases[] = {
        {"byte 9 unreadable", 1, 0, 0x01, true, 1},
        {"byte 8 unreadable", 2, 1, 0x01, true, 2},
        {"byte 9 not written", 3, 1, 0x01, true, 3},
        // Byte 8 not written: byte 9 is put back so that the area still balances.
        {"byte 8 not written", 4, 1, 0x01, true, 5},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, dirty);
        machine_.resetCounters();
        machine_.conf("fail_transfer", std::to_string(c.fail));
        EXPECT_EQ(AssetIsSerialCacheDirty(), c.result) << c.name;
        const auto img = machine_.device(kArea);
        EXPECT_EQ(img[9], c.byte9) << c.name;
        EXPECT_EQ(AreaSum(img) == 0, c.balanced) << c.name;
        EXPECT_EQ(machine_.counters().transfers, c.transfers) << c.name;
        EXPECT_TRUE(MutexFree()) << c.name;
    }
    machine_.clearConf("fail_transfer");
    g_state.eeprom_addr = 0;
    ClearTraffic();
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);
    EXPECT_EQ(TransferCount(), 0u);
}

TEST_F(QueryTest, DirtyCheckWithoutMutexStaysOffTheBus) {
    Start(AreaImage(20, 12, 1, {}, 0x01));
    PlatMutex *mutex = g_state.ee_mutex;
    g_state.ee_mutex = nullptr;
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);
    g_state.ee_mutex = mutex;
    EXPECT_EQ(TransferCount(), 0u);
}

}  // namespace
