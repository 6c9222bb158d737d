// The serial synchronisation thread on a simulated machine: the disk and memory-module
// records follow the HDD cache and the modules' SPD EEPROMs.
#include <gtest/gtest.h>

#include <thread>

#include "QORasstW.h"
#include "eeprom/serial/serial_numbers.h"
#include "platform/thread.h"
#include "serial/serial_fixture.h"

using namespace serial_test;

namespace {

class SyncTest : public SerialFixture {
  protected:
    void Run() {
        SerialSyncParams params{nullptr, 1, kArea, 20, 12, 1};
        SerialSyncThread(&params);
    }
    static qorsim::Image Module(const std::string &block) {
        qorsim::Image img{};
        std::memcpy(&img[128], block.data(), block.size());
        img[150] = static_cast<uint8_t>(~Sum(&img[128], 22));
        return img;
    }
    static qorsim::Image JedecModule() {
        qorsim::Image img{};
        img[64] = 0x2C;
        const uint8_t tail[] = {0x01, 0x00, 0x98, 0x12, 0x00, 0x12, 0x34, 0x56};
        std::memcpy(&img[91], tail, 8);
        return img;
    }
    std::string RecordAt(int slot) const {
        const auto img = machine_.device(kArea);
        return std::string(reinterpret_cast<const char *>(&img[16 + 20 * slot]), 20);
    }
    size_t Writes() const {
        size_t n = 0;
        for (const auto &t : machine_.i2cTransfers()) n += t.dir == 'W';
        return n;
    }
};

std::string Rec(uint8_t key, const std::string &text) {
    return std::string(1, static_cast<char>(key)) + Text19(text);
}

TEST_F(SyncTest, NothingPresentNothingRecordedNothingDone) {
    Start(AreaImage(20, 12, 1,
                    {{0x20, Text19("\xC1"
                                   "BC")}}));
    Run();
    EXPECT_EQ(TransferCount(), 0u);  // module addresses 0: not even a module read
}

TEST_F(SyncTest, MatchingDiskRecordIsLeftAlone) {
    Start(AreaImage(20, 12, 1,
                    {{0x78, Text19("\xD7"
                                   "D-123")}}));
    SetDisk(0, "WD-123", 0, 0);
    Run();
    EXPECT_EQ(TransferCount(), 0u);
}

TEST_F(SyncTest, DiskAtAnotherAddressIsDeletedAndRewritten) {
    Start(AreaImage(20, 12, 1,
                    {{0x78, Text19("\xD7"
                                   "D-123")}}));
    SetDisk(0, "WD-123", 0, 1);
    Run();
    EXPECT_EQ(RecordAt(0), Rec(0x79,
                               "\xD7"
                               "D-123"));
    EXPECT_EQ(AreaSum(machine_.device(kArea)), 0);
    ExpectCacheEqualsDevice("after sync");
    const auto t = Traffic();
    // Delete slot 0, add (15, 1) into the slot just freed, reload.
    Lines want{"R A8 10 20",         "W A8 10 4 00444444", "W A8 14 4 44444444",
               "W A8 18 4 44444444", "W A8 1C 4 44444444", "W A8 20 4 44444444",
               "R A8 08 1"};
    ASSERT_GT(t.size(), want.size() + 1);
    EXPECT_EQ(Lines(t.begin(), t.begin() + 7), want);
    EXPECT_EQ(t.back(), "R A8 00 256");
    char buf[24];
    EXPECT_EQ(AssetGetSerialNumber2(15, 1, buf), 0);
    EXPECT_STREQ(buf, "WD-123");
    EXPECT_EQ(AssetGetSerialNumber2(15, 0, buf), 102);
}

TEST_F(SyncTest, DiskGroupsAreKeptApartByInterface) {
    Start(Formatted());
    SetDisk(0, "SCSI-ONE", 1, 2);
    SetDisk(1, "IDE-ONE", 0, 0);
    SetDisk(2, "11Sibm-disk", 1, 5);
    Run();
    EXPECT_EQ(RecordAt(0), Rec(0x78,
                               "\xC9"
                               "DE-ONE"));
    EXPECT_EQ(RecordAt(1), Rec(0x9A,
                               "\xD3"
                               "CSI-ONE"));
    EXPECT_EQ(RecordAt(2), Rec(0x9D, "ibm-disk"));  // case kept, prefix dropped
    ExpectCacheEqualsDevice("first");
    // A second start-up with the same hardware writes nothing.
    ClearTraffic();
    Run();
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(SyncTest, EmptyEntryBeforeAPresentOneMismatchesEveryTime) {
    Start(Formatted());
    SetDisk(0, "", 0, 0);
    SetDisk(1, "WD-9", 0, 3);
    Run();
    EXPECT_EQ(RecordAt(0), Rec(0x7B,
                               "\xD7"
                               "D-9"));
    ClearTraffic();
    Run();
    EXPECT_GT(Writes(), 0u);
    EXPECT_EQ(RecordAt(0), Rec(0x7B,
                               "\xD7"
                               "D-9"));
    ExpectCacheEqualsDevice("again");
}

TEST_F(SyncTest, DiskAddressAboveSevenIsRefusedAndTriedAgain) {
    Start(Formatted());
    SetDisk(0, "NOADDR", 0, 0xFFFFFFFF);
    Run();
    EXPECT_EQ(machine_.device(kArea), Formatted());
    EXPECT_EQ(Writes(), 0u);
}

TEST_F(SyncTest, TwoDisksWithOneAddressShareOneRecord) {
    Start(Formatted());
    SetDisk(0, "FIRST", 0, 2);
    SetDisk(1, "SECOND", 0, 2);
    Run();
    EXPECT_EQ(RecordAt(0), Rec(0x7A,
                               "\xD3"
                               "ECOND"));
    EXPECT_EQ(RecordAt(1), Rec(0, ""));
}

TEST_F(SyncTest, ModulesAreRecordedFromTheirSpdEeproms) {
    Start(Formatted());
    g_state.module_addr[0] = 0xA0;
    g_state.module_addr[1] = 0xA2;
    g_state.module_addr[2] = 0xA4;  // nothing answers there
    g_state.module_addr[4] = 0xA6;  // only four modules are looked at
    machine_.setDevice(0xA0, Module("11SABCDEFGHIJKLMNOPQRS"));
    machine_.setDevice(0xA2, JedecModule());
    machine_.setDevice(0xA6, Module("11SXXXXXXXXXXXXXXXXXXX"));
    Run();
    EXPECT_EQ(RecordAt(0), Rec(0x88, "ABCDEFGHIJKLMNOPQRS"));
    EXPECT_EQ(RecordAt(1), Rec(0x89,
                               "\xB2"
                               "C0100981200123456"));
    EXPECT_EQ(RecordAt(2), Rec(0, ""));
    ExpectCacheEqualsDevice("modules");
    for (const auto &t : machine_.i2cTransfers()) EXPECT_NE(t.dev, 0xA6);
    char buf[24];
    EXPECT_EQ(AssetGetSerialNumber2(17, 0, buf), 0);
    EXPECT_STREQ(buf, "11SABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(AssetGetSerialNumber2(17, 1, buf), 0);
    EXPECT_STREQ(buf, "2C0100981200123456");

    ClearTraffic();
    Run();
    EXPECT_EQ(Writes(), 0u);  // in line now
}

TEST_F(SyncTest, ModuleRecordMismatches) {
    const struct {
        const char *name;
        std::vector<area_test::Record> records;
    } cases[] = {
        {"record for a fifth module", {{0x88, Text19("ABCDEFGHIJKLMNOPQRS")}, {0x8C, Text19("Z")}}},
        {"record for a removed module",
         {{0x88, Text19("ABCDEFGHIJKLMNOPQRS")}, {0x8A, Text19("Z")}}},
        {"changed text", {{0x88, Text19("ABCDEFGHIJKLMNOPQRT")}}},
        {"missing record", {}},
    };
    for (const auto &c : cases) {
        Start(AreaImage(20, 12, 1, c.records));
        g_state.module_addr[0] = 0xA0;
        machine_.setDevice(0xA0, Module("11SABCDEFGHIJKLMNOPQRS"));
        Run();
        EXPECT_GT(Writes(), 0u) << c.name;
        // Only module 0's record is left, wherever the first free slot was.
        int found = 0;
        for (int i = 0; i < 12; ++i) {
            const std::string r = RecordAt(i);
            if (static_cast<uint8_t>(r[0]) >> 3 == 17) {
                EXPECT_EQ(r, Rec(0x88, "ABCDEFGHIJKLMNOPQRS")) << c.name;
                ++found;
            }
        }
        EXPECT_EQ(found, 1) << c.name;
        EXPECT_EQ(AreaSum(machine_.device(kArea)), 0) << c.name;
        ExpectCacheEqualsDevice(c.name);
    }
}

TEST_F(SyncTest, WaitsForTheCollectorFirst) {
    Start(Formatted());
    PlatThread *collector = PlatThreadStart(
        [](void *) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            std::memcpy(g_state.hdd_serial[0], "LATE", 5);
            g_state.hdd_interface[0] = 0;
            g_state.hdd_address[0] = 4;
        },
        nullptr);
    SerialSyncParams params{collector, 1, kArea, 20, 12, 1};
    PlatThread *sync = PlatThreadStart(SerialSyncThread, &params);
    PlatThreadWait(sync);
    EXPECT_EQ(RecordAt(0), Rec(0x7C,
                               "\xCC"
                               "ATE"));
}

TEST_F(SyncTest, UnusableAreaLeavesEverything) {
    // Formatting failed at start-up: version 0 is refused by every primitive.
    Start(Formatted());
    SetDisk(0, "WD-1", 0, 0);
    const auto cache = serial_view_;
    SerialSyncParams params{nullptr, 1, kArea, 20, 12, 0};
    SerialSyncThread(&params);
    EXPECT_EQ(machine_.device(kArea), Formatted());
    EXPECT_EQ(serial_view_, cache);
    // A geometry other than the cache's layout is not walked at all.
    SerialSyncParams other{nullptr, 1, kArea, 10, 12, 1};
    SerialSyncThread(&other);
    EXPECT_EQ(TransferCount(), 0u);
}

}  // namespace
