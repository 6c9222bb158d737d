// Serial-number queries and the dirty flag on a simulated machine: records in display form,
// the live sources (disks, modules, VPD) and every failure code.
#include <gtest/gtest.h>

#include <optional>
#include <thread>
#include <tuple>

#include "QORasstW.h"
#include "eeprom/serial/serial_text.h"
#include "platform/thread.h"
#include "serial/serial_fixture.h"

using namespace serial_test;

namespace {

// What AssetGetSerialNumber answers, what AssetGetSerialNumber2 answers, and the 24 bytes of
// a buffer filled with '#' first.
using Answer = std::tuple<int, int, std::string>;

// A text with its terminator in a 24-byte buffer filled with '#' first.
std::string Z(const std::string &text) {
    return text + '\0' + std::string(23 - text.size(), '#');
}
// A text zero-filled to 23 bytes of such a buffer, as disk entries and the monitor give it.
std::string Padded(const std::string &text) {
    return text + std::string(23 - text.size(), '\0') + '#';
}
const std::string kUntouched(24, '#');

class QueryTest : public SerialFixture {
  protected:
    // Both queries, each with its `fail`-th transfer failing; they must write alike.
    Answer Ask(int type, int index, uint64_t fail = 0) {
        std::string one(24, '#'), two(24, '#');
        FailTransfer(fail);
        const int boolean = AssetGetSerialNumber(type, index, one.data());
        FailTransfer(fail);
        const int coded = AssetGetSerialNumber2(type, index, two.data());
        EXPECT_EQ(one, two) << "the two queries wrote differently";
        return {boolean, coded, one};
    }
};

// Records in display form, the VPD for a board without a record, disk entries (one filled late
// by the background thread), and every failure that needs no live source on the bus: only the
// dirty checks touch it.
TEST_F(QueryTest, RecordsDisksAndFailures) {
    Start(Area({{0x20, Marked("ABC1234")},  // (4, 0)
                {0x79, "78CZKW9"},          // (15, 1)
                {0x89, Marked("XYZ")},      // (17, 1)
                {0x00, std::string(19, 'D')},
                {0x41, Marked("BOARD-ONE")},  // (8, 1)
                {0x10, Marked("DISK")},       // (2, 0): never answered
                {0x70, Marked("MON")}}));     // (14, 0): never answered
    g_state.vpd_loaded = 1;
    std::memcpy(g_state.vpd_block + 0x1D, "BRD12345678", 11);
    SetDisk(1, "WD-WCAV12345678", 0, 0);
    SetDisk(2, "\xE9XTENDED", 1, 3);
    SetDisk(3, "ABCDEFGHIJKLMNOPQRSTUVW", 0, 1);  // a full slot without terminator
    // The background thread fills entry 4 late: disk queries wait for it.
    g_state.worker_thread = PlatThreadStart(
        [](void *) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            std::memcpy(g_state.hdd_serial[4], "LATE-DISK", 10);
        },
        nullptr);
    ASSERT_NE(g_state.worker_thread, nullptr);
    const struct {
        const char *name;
        int type, index, coded;
        std::string buffer;
    } cases[] = {
        {"disk entry filled late", 2, 4, 0, Padded("LATE-DISK")},
        {"record, VPD not consulted", 4, 0, 0, Z("ABC1234")},
        {"record without bit 7", 15, 1, 0, Z("11S78CZKW9")},
        {"module record", 17, 1, 0, Z("XYZ")},
        {"board record, index 1", 8, 1, 0, Z("BOARD-ONE")},
        {"board VPD", 8, 0, 0, Z("BRD12345678")},
        {"disk entry", 2, 1, 0, Padded("WD-WCAV12345678")},
        {"disk entry, first byte negative", 2, 2, 0, Padded("\xE9XTENDED")},
        {"disk entry cut to 22", 2, 3, 0, Padded("ABCDEFGHIJKLMNOPQRSTUV")},
        {"empty disk entry beside a (2, 0) record", 2, 0, 1, Padded("")},
        {"board index 2: no VPD", 8, 2, 102, kUntouched},
        {"system index 1: no VPD", 4, 1, 102, kUntouched},
        {"caller type without record", 99, 0, 102, kUntouched},
        {"type 0 is no device", 0, 0, 102, kUntouched},
        {"type beyond a byte", 4 + 256, 0, 102, kUntouched},
        {"index beyond a byte", 4, 256, 102, kUntouched},
        {"negative type", -252, 0, 102, kUntouched},
        {"monitor index 1", 14, 1, 103, kUntouched},
        {"monitor without EDID", 14, 0, 51, kUntouched},
        {"UUID index 1", 257, 1, 102, kUntouched},
        {"UUID without tables", 257, 0, 1, kUntouched},
        {"disk index 24", 2, 24, 102, kUntouched},
        {"disk index -1", 2, -1, 102, kUntouched},
        {"live module, empty table entry", 256, 1, 9, kUntouched},
        {"live module index 16", 256, 16, 102, kUntouched},
    };
    for (const auto &c : cases) {
        ClearTraffic();
        // The boolean query gives a disk entry's first character, sign-extended.
        const int boolean = c.coded ? 0 : c.type == 2 ? static_cast<signed char>(c.buffer[0]) : 1;
        EXPECT_EQ(Ask(c.type, c.index), (Answer{boolean, c.coded, c.buffer})) << c.name;
        EXPECT_EQ(Traffic(), (Lines{"R A8 09 1", "R A8 09 1"})) << c.name;
    }
    g_state.vpd_loaded = 0;
    EXPECT_EQ(Ask(8, 0), (Answer{0, 61, kUntouched}));
    g_state.worker_thread = nullptr;
}

// Without the library, the area's address or the mutex, no serial export reaches the bus.
TEST_F(QueryTest, NothingReachesTheBusWithoutLibraryAddressOrMutex) {
    Start(AreaImage(20, 12, 1, {{0x20, Marked("ABC")}}, 0x01));
    g_state.initialized = 0;
    EXPECT_EQ(Ask(4, 0), (Answer{0, 101, kUntouched}));
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);
    EXPECT_EQ(AssetSetSerialNumber(4, 0, "ABCD"), 0);
    g_state.initialized = 1;
    EXPECT_EQ(AssetSetSerialNumber(4, 0, nullptr), 0);
    g_state.eeprom_addr = 0;
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);
    g_state.eeprom_addr = kArea;
    PlatMutex *mutex = std::exchange(g_state.ee_mutex, nullptr);
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);
    EXPECT_EQ(AssetSetSerialNumber(4, 0, "ABCD"), 0);
    g_state.ee_mutex = mutex;
    EXPECT_EQ(TransferCount(), 0u);
}

// A live module query hands on what ReadModuleSerial found on the module's SPD EEPROM: its
// text or JEDEC digits, or its failure with what it wrote before it failed.
TEST_F(QueryTest, LiveModuleBlockOrJedecFallback) {
    const std::string block = "11S1234567890123456789";
    const Lines jedec = {"R A0 80 23", "R A0 40 1", "R A0 5B 8"};
    const struct {
        const char *name;
        std::optional<qorsim::Image> img;
        uint64_t fail;  // the transfer that fails, counting the dirty check's
        int coded;
        std::string out;
        Lines traffic;  // after the dirty check
    } cases[] = {
        {"good block", Module(block), 0, 0, Z(block), {"R A0 80 23"}},
        {"bad sum, JEDEC bytes", Module(block, 1, kRealJedec), 0, 0,
         Z("2C0100981200123456" + std::string(1, '\0') + "789"), jedec},
        {"bad sum, JEDEC all zero", Module(block, 1), 0, 7, Z(block), jedec},
        {"no block, JEDEC all FF", Module("", 0, 0xFF), 0, 2, kUntouched, jedec},
        {"no module", std::nullopt, 0, 1, kUntouched, {"R A0 80 23!"}},
        {"JEDEC fails", Module("", 0, kRealJedec), 3, 1, kUntouched, {"R A0 80 23", "R A0 40 1!"}},
    };
    Start(Area());
    g_state.module_addr[0] = 0xA0;
    for (const auto &c : cases) {
        c.img ? machine_.setDevice(0xA0, *c.img) : machine_.removeDevice(0xA0);
        ClearTraffic();
        EXPECT_EQ(Ask(256, 0, c.fail), (Answer{c.coded == 0, c.coded, c.out})) << c.name;
        const Lines one = Join({{"R A8 09 1"}, c.traffic});
        EXPECT_EQ(Traffic(), Join({one, one})) << c.name;
    }
}

TEST_F(QueryTest, OutsideChangeIsSeenOnceAndTheCacheRefreshed) {
    Start(Area());
    // An outside writer adds (4, 0) and sets the flag, keeping the area balanced.
    const auto changed = AreaImage(20, 12, 1, {{0x20, Marked("ABC1234")}}, 0x81);
    machine_.setDevice(kArea, changed);
    EXPECT_EQ(Ask(4, 0), (Answer{1, 0, Z("ABC1234")}));
    // Bit 0 of byte 9 cleared, the other bits kept, byte 8 one up: balanced.
    const auto want = AreaImage(20, 12, 1, {{0x20, Marked("ABC1234")}}, 0x80);
    EXPECT_EQ(machine_.device(kArea), want);
    // The second query of Ask finds the flag clear: one read, no refresh.
    EXPECT_EQ(Traffic(),
              (Lines{"R A8 09 1", "R A8 08 1", "W A8 09 1 80", "W A8 08 1 " + qorsim::Hex2(want[8]),
                     "R A8 00 8", "R A8 00 256", "R A8 09 1"}));
    ExpectCacheTrueToDevice("after refresh");
    EXPECT_EQ(AssetIsSerialCacheDirty(), 0);

    // An area of another geometry is not loaded into the cache laid out for this one.
    const auto cache = view_;
    machine_.setDevice(kArea, AreaImage(20, 11, 1, {{0x21, Marked("NEW")}}, 0x01));
    EXPECT_EQ(std::get<1>(Ask(4, 1)), 102);
    EXPECT_EQ(view_, cache);
    EXPECT_EQ(g_state.eeprom_size, 12);
}

// Transfer k of the check failing once (a refused write is tried again) or until the bus
// answers again: what a refused write left is put back by the next check, which sees the flag
// again, and the area balances after it.
TEST_F(QueryTest, DirtyCheckFailuresLeaveTheAreaBalanced) {
    const auto dirty = AreaImage(20, 12, 1, {}, 0x01), clean = AreaImage(20, 12, 1, {}, 0);
    for (const std::string mode : {"fail_transfer", "fail_from"}) {
        for (uint64_t k = 1; k <= 4; ++k) {  // reads of bytes 9 and 8, writes of 9 and 8
            machine_.setDevice(kArea, dirty);
            machine_.resetCounters();
            machine_.conf(mode, std::to_string(k));
            EXPECT_EQ(AssetIsSerialCacheDirty(), k == 1 ? 0 : 1) << mode << k;
            machine_.clearConf(mode);
            EXPECT_EQ(AssetIsSerialCacheDirty(), mode == "fail_transfer" && k > 2 ? 0 : 1);
            EXPECT_EQ(machine_.device(kArea), clean) << mode << k;
            EXPECT_TRUE(MutexFree()) << mode << k;
        }
    }
}

TEST(SerialDisplayForm, NeverPassesTheCallersBuffer) {
    char out[kSerialBufferSize + 1];
    out[kSerialBufferSize] = 'x';
    SerialDisplayForm("ABCDEFGHIJKLMNOPQRST", out);  // 20 characters: record size 21
    EXPECT_EQ(std::string(out, sizeof out), std::string("11SABCDEFGHIJKLMNOPQRS\0x", 24));
}

}  // namespace
