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
    void Run(uint8_t s = 20, uint8_t version = 1, PlatThread *collector = nullptr) {
        SerialSyncParams params{collector, 1, kArea, s, 12, version};
        SerialSyncThread(&params);
    }
};

struct Disk {
    std::string text;
    uint32_t interface, address;
};
// kInLine: the area already holds the records, so a run makes no transfer at all, not even a
// reload; kSettles: a second run writes nothing; kWritesAgain: it writes again.
enum Runs { kInLine, kSettles, kWritesAgain };

TEST_F(SyncTest, DiskRecordsFollowTheHddCache) {
    const struct {
        const char *name;
        std::vector<Disk> disks;    // HDD cache entries from 0 on
        std::vector<Record> after;  // the records the area holds after a run
        Runs runs;
    } cases[] = {
        // Module addresses are 0: not even a module read.
        {"nothing present", {}, {{0x20, Marked("ABC")}}, kInLine},
        {"matching record", {{"WD-123", 0, 0}}, {{0x78, Marked("WD-123")}}, kInLine},
        // Stored forms keep the case; a text of just "11S" stays whole; a longer text is
        // compared as far as the record holds it.
        {"groups kept apart by interface",
         {{"SCSI-ONE", 1, 2},
          {"IDE-ONE", 0, 0},
          {"11sibm-disk", 1, 5},
          {"11S", 0, 1},
          {"ABCDEFGHIJKLMNOPQRSTUV", 1, 7}},
         {{0x78, Marked("IDE-ONE")},
          {0x79, Marked("11S")},
          {0x9A, Marked("SCSI-ONE")},
          {0x9D, "ibm-disk"},
          {0x9F, Marked("ABCDEFGHIJKLMNOPQRS")}},
         kSettles},
        // The walk compares the empty entry: mismatch and rewrite at every start-up.
        {"empty entry first", {{"", 0, 0}, {"WD-9", 0, 3}}, {{0x7B, Marked("WD-9")}}, kWritesAgain},
        {"address above 7 is refused", {{"NOADDR", 0, 0xFFFFFFFF}}, {}, kSettles},
        {"two disks, one address",
         {{"FIRST", 0, 2}, {"SECOND", 0, 2}},
         {{0x7A, Marked("SECOND")}},
         kWritesAgain},
    };
    for (const auto &c : cases) {
        Start(Area(c.runs == kInLine ? c.after : std::vector<Record>{}));
        std::fill(hdd_view_.begin(), hdd_view_.end(), 0);
        for (size_t i = 0; i < c.disks.size(); ++i)
            SetDisk(static_cast<int>(i), c.disks[i].text, c.disks[i].interface, c.disks[i].address);
        Run();
        EXPECT_EQ(machine_.device(kArea), Area(c.after)) << c.name;
        EXPECT_TRUE(c.runs != kInLine || TransferCount() == 0) << c.name;
        ExpectCacheTrueToDevice(c.name);
        ClearTraffic();
        Run();
        EXPECT_EQ(Writes() > 0, c.runs == kWritesAgain) << c.name;
        EXPECT_EQ(machine_.device(kArea), Area(c.after)) << c.name;
    }
}

// A disk collector that fills the HDD cache late: the thread waits for it.
void LateCollector(void *) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::memcpy(g_state.hdd_serial[0], "WD-123", 7);
    g_state.hdd_address[0] = 1;
}

TEST_F(SyncTest, DiskAtAnotherAddressIsDeletedThenAddedThenTheCacheReloaded) {
    Start(Area({{0x78, Marked("WD-123")}}));
    Run(20, 1, PlatThreadStart(LateCollector, nullptr));
    const auto deleted = Area({{0, std::string(19, 'D')}});
    const auto after = Area({{0x79, Marked("WD-123")}});
    EXPECT_EQ(machine_.device(kArea), after);
    EXPECT_EQ(Traffic(), Join({{"R A8 10 20"},
                               RecordWrite(0x10, Rec(0, std::string(19, 'D')), deleted[8]),
                               KeyReads(12),
                               {"R A8 10 1", "R A8 11 19"},
                               RecordWrite(0x10, Rec(0x79, Marked("WD-123")), after[8]),
                               {"R A8 00 256"}}));
    ExpectCacheTrueToDevice("reloaded");
    // The bus refusing from transfer k on: once it answers, the next access leaves the area
    // balanced (a new first process loads it) and the cache true to it.
    for (uint64_t k = 1, transfers = Traffic().size(); k <= transfers; ++k) {
        Start(Area({{0x78, Marked("WD-123")}}));
        machine_.conf("fail_from", std::to_string(k));
        Run();  // the collector's entry is in place by now
        machine_.clearConf("fail_from");
        Get(4, 0);
        ExpectCacheTrueToDevice(std::to_string(k));
        EXPECT_EQ(Load(), 0) << k;
    }
}

// Module records follow the SPD EEPROMs of the first four module addresses: A0 with a serial
// block, A2 with JEDEC bytes only, A4 where nothing answers.
TEST_F(SyncTest, ModuleRecordsFollowTheSpdEeproms) {
    const std::vector<Record> after = {{0x88, "ABCDEFGHIJKLMNOPQRS"},
                                       {0x89, Marked("2C0100981200123456")}};
    const struct {
        const char *name;
        std::vector<Record> before;
    } cases[] = {
        {"no records", {}},
        {"record for a fifth module", {after[0], after[1], {0x8C, "Z"}}},
        {"record for a module that does not answer", {after[0], after[1], {0x8A, "Z"}}},
        {"changed text", {{0x88, "ABCDEFGHIJKLMNOPQRT"}, after[1]}},
    };
    for (const auto &c : cases) {
        Start(Area(c.before));
        const uint8_t addresses[] = {0xA0, 0xA2, 0xA4, 0, 0xA6};  // only four are looked at
        std::memcpy(g_state.module_addr, addresses, sizeof addresses);
        machine_.setDevice(0xA0, Module("11SABCDEFGHIJKLMNOPQRS"));
        machine_.setDevice(0xA2, Module("", 0, kRealJedec));
        machine_.setDevice(0xA6, Module("11SXXXXXXXXXXXXXXXXXXX"));
        Run();
        // Every type-17 record deleted, then the modules' records written from slot 0 on.
        auto want = after;
        want.resize(std::max(after.size(), c.before.size()), {0, std::string(19, 'D')});
        EXPECT_EQ(machine_.device(kArea), Area(want)) << c.name;
        ExpectCacheTrueToDevice(c.name);
        for (const auto &t : machine_.i2cTransfers()) EXPECT_NE(t.dev, 0xA6) << c.name;
        ClearTraffic();
        Run();
        EXPECT_EQ(Writes(), 0) << c.name;  // in line now
    }
}

TEST_F(SyncTest, UnusableAreaLeavesEverything) {
    // Formatting failed at start-up: version 0 is refused by every primitive.
    Start(Area());
    SetDisk(0, "WD-1", 0, 0);
    const auto cache = view_;
    Run(20, 0);
    EXPECT_EQ(view_, cache);
    // A geometry other than the cache's layout is not walked at all.
    Run(10, 1);
    EXPECT_EQ(TransferCount(), 0u);
}

// A writer in another process that takes a slot of the group between the thread's decision and
// its delete keeps its record: the thread decides under the EEPROM mutex, and deletes only the
// key it decided on.
TEST_F(SyncTest, AWriterThatTakesAGroupSlotMeanwhileKeepsItsRecord) {
    Start(Area({{0x78, Marked("OLD-DISK")}}));
    SetDisk(0, "WD-123", 0, 0);
    ASSERT_TRUE(PlatMutexAcquire(g_state.ee_mutex));
    std::thread sync([this] { Run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the thread meets the mutex
    EXPECT_EQ(AssetSetSerialNumber(15, 0, ""), 1);
    EXPECT_EQ(AssetSetSerialNumber(4, 0, "SYSTEM-1"), 1);  // into the slot just freed
    PlatMutexRelease(g_state.ee_mutex);
    sync.join();
    EXPECT_EQ(machine_.device(kArea), Area({{0x20, Marked("SYSTEM-1")}, {0x78, Marked("WD-123")}}));
    ExpectCacheTrueToDevice("after the thread");
}

}  // namespace
