// The serial-number area primitives on a simulated bus: images byte for byte, the exact
// transfers, every result code, the mutex, and a fault sweep of every writing primitive.
#include "eeprom/serial/serial_area.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>

#include "QORasstW.h"
#include "eeprom/area_fixture.h"
#include "eeprom/eeprom.h"
#include "support/child.h"

using namespace area_test;

namespace {

using Lines = std::vector<std::string>;

class SerialAreaTest : public MachineTest {};

std::string Text19(const std::string &s) {
    std::string t = s;
    t.resize(19, '\0');
    return t;
}

const uint8_t *U8(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}

// The twelve one-byte key reads of a full scan of a 20 x 12 area, from slot 0.
Lines KeyReads(int slots, int first = 0) {
    Lines out;
    for (int i = first; i < first + slots; ++i)
        out.push_back("R A8 " + qorsim::Hex2(16 + 20 * i) + " 1");
    return out;
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- ReadHeader ----------------------------------------------------------------------------

TEST_F(SerialAreaTest, ReadHeaderJudgesSignatureSumAndGeometry) {
    auto with = [](std::function<void(qorsim::Image &)> edit) {
        auto img = Formatted();
        edit(img);
        return img;
    };
    auto rebalance = [](qorsim::Image &img) {
        img[7] = 0;
        img[7] = static_cast<uint8_t>(0x100 - Sum(img.data(), 7));
    };
    qorsim::Image ff;
    ff.fill(0xFF);
    const struct {
        const char *name;
        qorsim::Image img;
        int result;
    } cases[] = {
        {"formatted", Formatted(), 0},
        {"all FF", ff, 2},
        {"all zero", qorsim::Image{}, 2},
        {"user area", with([](auto &i) { std::memcpy(i.data(), "USR#", 4); }), 2},
        {"wrong byte 7", with([](auto &i) { i[7] ^= 1; }), 7},
        {"version 2 balanced", with([&](auto &i) { i[6] = 2, rebalance(i); }), 0},
        {"record size 1", with([&](auto &i) { i[4] = 1, rebalance(i); }), 7},
        {"record size 22", with([&](auto &i) { i[4] = 22, i[5] = 2, rebalance(i); }), 7},
        {"record size 21", with([&](auto &i) { i[4] = 21, i[5] = 11, rebalance(i); }), 0},
        {"area past 256", with([&](auto &i) { i[5] = 13, rebalance(i); }), 7},
        {"65 slots", with([&](auto &i) { i[4] = 2, i[5] = 65, rebalance(i); }), 7},
        {"64 slots", with([&](auto &i) { i[4] = 2, i[5] = 64, rebalance(i); }), 0},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, c.img);
        ClearTraffic();
        uint8_t s = 0xEE, n = 0xEE, v = 0xEE;
        EXPECT_EQ(ReadHeader(kArea, &s, &n, &v), c.result) << c.name;
        EXPECT_EQ(Traffic(), Lines{"R A8 00 8"}) << c.name;
        if (c.result == 0) {
            EXPECT_EQ(s, c.img[4]) << c.name;
            EXPECT_EQ(n, c.img[5]) << c.name;
            EXPECT_EQ(v, c.img[6]) << c.name;
        } else {
            EXPECT_EQ(s, 0xEE) << c.name;  // outputs only on success
            EXPECT_EQ(n, 0xEE) << c.name;
            EXPECT_EQ(v, 0xEE) << c.name;
        }
        EXPECT_TRUE(MutexFree()) << c.name;
    }
}

TEST_F(SerialAreaTest, ReadHeaderWithoutDeviceOrAddress) {
    uint8_t s = 0, n = 0, v = 0;
    EXPECT_EQ(ReadHeader(0, &s, &n, &v), 1);
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_EQ(ReadHeader(kArea, &s, &n, &v), 1);  // nothing answers at A8
    EXPECT_EQ(Traffic(), Lines{"R A8 00 8!"});
    EXPECT_TRUE(MutexFree());
}

// ---- LoadSerialCache, RefreshSerialCache ----------------------------------------------------

TEST_F(SerialAreaTest, FormatThenHeaderThenLoad) {
    qorsim::Image junk;
    junk.fill(0x5A);
    machine_.setDevice(kArea, junk);
    EXPECT_EQ(FormatSerialArea(kArea), 0);
    qorsim::Image expected{};
    const uint8_t head[] = {0x53, 0x45, 0x52, 0x23, 0x14, 0x0C, 0x01, 0xD2, 0x00};
    std::memcpy(expected.data(), head, sizeof head);
    EXPECT_EQ(machine_.device(kArea), expected);
    const auto log = machine_.i2cTransfers();
    ASSERT_EQ(log.size(), 64u);
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].dir, 'W');
        EXPECT_EQ(log[i].off, 4 * i);
        EXPECT_EQ(log[i].len, 4);
    }

    uint8_t s = 0, n = 0, v = 0;
    ASSERT_EQ(ReadHeader(kArea, &s, &n, &v), 0);
    EXPECT_EQ(s, 20);
    EXPECT_EQ(n, 12);
    EXPECT_EQ(v, 1);
    LocalCache cache;
    std::memset(cache.view, 0x77, sizeof cache.view);
    ClearTraffic();
    EXPECT_EQ(LoadSerialCache(kArea, s, n, v, cache.types, cache.indexes, cache.texts), 0);
    EXPECT_EQ(Traffic(), Lines{"R A8 00 256"});
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(cache.types[i], 0);
        EXPECT_EQ(cache.indexes[i], 0);
        EXPECT_EQ(std::string(cache.texts[i], 20), std::string(20, '\0'));
    }
    EXPECT_EQ(cache.types[12], 0x77);  // nothing past the records
}

TEST_F(SerialAreaTest, LoadDecodesKeysAndTexts) {
    machine_.setDevice(kArea, AreaImage(20, 12, 1,
                                        {{0x79, Text19("ABC")},
                                         {0x00, Text19("DDDDDDDDDDDDDDDDDDD")},
                                         {0x20, Text19("\xC1"
                                                       "BC1234")},
                                         {0xFF, std::string(19, 'Z')}}));
    LocalCache cache;
    ASSERT_EQ(LoadSerialCache(kArea, 20, 12, 1, cache.types, cache.indexes, cache.texts), 0);
    const struct {
        uint8_t type, index;
        std::string text;
    } want[] = {{15, 1, Text19("ABC")},
                {0, 0, Text19("DDDDDDDDDDDDDDDDDDD")},
                {4, 0,
                 Text19("\xC1"
                        "BC1234")},
                {31, 7, std::string(19, 'Z')}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(cache.types[i], want[i].type) << i;
        EXPECT_EQ(cache.indexes[i], want[i].index) << i;
        EXPECT_EQ(std::string(cache.texts[i], 20), want[i].text + '\0') << i;
    }
}

TEST_F(SerialAreaTest, LoadSmallGeometryReadsOnlyTheArea) {
    machine_.setDevice(kArea, AreaImage(5, 3, 1, {{0x21, "WXYZ"}}));
    LocalCache cache(5, 3);
    ASSERT_EQ(LoadSerialCache(kArea, 5, 3, 1, cache.types, cache.indexes, cache.texts), 0);
    EXPECT_EQ(Traffic(), Lines{"R A8 00 31"});
    EXPECT_EQ(cache.types[0], 4);
    EXPECT_EQ(cache.indexes[0], 1);
    EXPECT_EQ(std::string(cache.texts[0], 5), std::string("WXYZ\0", 5));
}

TEST_F(SerialAreaTest, LoadRefusals) {
    auto bad = Formatted();
    bad[200] = 1;  // outside the header: only the area sum catches it
    const struct {
        const char *name;
        uint8_t address, s, n, version;
        bool device, bad_sum;
        int result;
        Lines traffic;
    } cases[] = {
        {"address 0", 0, 20, 12, 1, true, false, 1, {}},
        {"version 2", kArea, 20, 12, 2, true, false, 3, {}},
        {"version 0", kArea, 20, 12, 0, true, false, 3, {}},
        {"geometry past 256", kArea, 20, 13, 1, true, false, 7, {}},
        {"no device", kArea, 20, 12, 1, false, false, 1, {"R A8 00 256!"}},
        {"bad area sum", kArea, 20, 12, 1, true, true, 7, {"R A8 00 256"}},
    };
    for (const auto &c : cases) {
        if (c.device) {
            machine_.setDevice(kArea, c.bad_sum ? bad : Formatted());
        } else {
            machine_.removeDevice(kArea);
        }
        ClearTraffic();
        LocalCache cache;
        std::memset(cache.view, 0x77, sizeof cache.view);
        EXPECT_EQ(LoadSerialCache(c.address, c.s, c.n, c.version, cache.types, cache.indexes,
                                  cache.texts),
                  c.result)
            << c.name;
        EXPECT_EQ(Traffic(), c.traffic) << c.name;
        for (uint8_t byte : cache.view) ASSERT_EQ(byte, 0x77) << c.name << ": cache changed";
        EXPECT_TRUE(MutexFree()) << c.name;
    }
}

TEST_F(SerialAreaTest, RefreshLoadsOnlyTheGeometryLaidOut) {
    std::vector<uint8_t> view(1024, 0);
    g_state.serial_view = view.data();
    LayOutSerialCache(20, 12);
    g_state.eeprom_size = 12;

    machine_.setDevice(kArea, AreaImage(20, 12, 1,
                                        {{0x20, Text19("\xC1"
                                                       "B")}}));
    EXPECT_EQ(
        RefreshSerialCache(kArea, g_state.serial_type, g_state.serial_index, g_state.serial_text),
        0);
    EXPECT_EQ(Traffic(), (Lines{"R A8 00 8", "R A8 00 256"}));
    EXPECT_EQ(g_state.serial_type[0], 4);
    EXPECT_EQ(g_state.eeprom_size, 12);

    // Another geometry would not fit the pointers: refused, nothing changes.
    const struct { uint8_t s, n; } others[] = {{20, 11}, {10, 12}, {21, 11}};
    for (const auto &o : others) {
        const auto before = view;
        machine_.setDevice(kArea, AreaImage(o.s, o.n, 1, {{0x08, "Q"}}));
        ClearTraffic();
        EXPECT_EQ(RefreshSerialCache(kArea, g_state.serial_type, g_state.serial_index,
                                     g_state.serial_text),
                  7);
        EXPECT_EQ(Traffic(), Lines{"R A8 00 8"});
        EXPECT_EQ(view, before);
        EXPECT_EQ(g_state.eeprom_size, 12);
    }

    // Results of the two steps come through: header first, then load.
    machine_.setDevice(kArea, qorsim::Image{});
    EXPECT_EQ(
        RefreshSerialCache(kArea, g_state.serial_type, g_state.serial_index, g_state.serial_text),
        2);
    machine_.setDevice(kArea, AreaImage(20, 12, 2));
    EXPECT_EQ(
        RefreshSerialCache(kArea, g_state.serial_type, g_state.serial_index, g_state.serial_text),
        3);
    EXPECT_EQ(RefreshSerialCache(0, g_state.serial_type, g_state.serial_index, g_state.serial_text),
              1);
}

// ---- FormatSerialArea --------------------------------------------------------------------

TEST_F(SerialAreaTest, FormatRefusesAddressZero) {
    EXPECT_EQ(FormatSerialArea(0), 1);
}

// ---- AddEntry, WriteEntry, DeleteEntry ------------------------------------------------------

TEST_F(SerialAreaTest, AddToFormattedAreaWritesSlotZero) {
    machine_.setDevice(kArea, Formatted());
    const std::string text = Text19("ABC");
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(text)), 0);
    auto want = Formatted();
    want[16] = 0x79;
    want[17] = 'A', want[18] = 'B', want[19] = 'C';
    want[8] = 0xC1;
    EXPECT_EQ(machine_.device(kArea), want);
    EXPECT_EQ(AreaSum(want), 0);
    EXPECT_EQ(Traffic(), Join({KeyReads(12),
                               {"R A8 10 1", "R A8 11 19", "W A8 10 4 79414243",
                                "W A8 14 4 00000000", "W A8 18 4 00000000", "W A8 1C 4 00000000",
                                "W A8 20 4 00000000", "R A8 08 1", "W A8 08 1 C1", "R A8 10 20"}}));
    EXPECT_TRUE(MutexFree());

    // The same device again: found in the first key read and overwritten in place.
    ClearTraffic();
    const std::string other = Text19("XY");
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(other)), 0);
    want[17] = 'X', want[18] = 'Y', want[19] = 0;
    want[8] = static_cast<uint8_t>(0 - (0x79 + 'X' + 'Y'));
    EXPECT_EQ(machine_.device(kArea), want);
    EXPECT_EQ(Traffic(),
              (Lines{"R A8 10 1", "R A8 10 20", "W A8 10 4 79585900", "W A8 14 4 00000000",
                     "W A8 18 4 00000000", "W A8 1C 4 00000000", "W A8 20 4 00000000", "R A8 08 1",
                     "W A8 08 1 " + qorsim::Hex2(want[8]), "R A8 10 20"}));
}

TEST_F(SerialAreaTest, AddGoesToFirstFreeSlotAndOverwritesItsOldText) {
    // Slot 0 taken, slot 1 deleted (key 0, letters D), slot 2 free.
    machine_.setDevice(kArea, AreaImage(20, 12, 1,
                                        {{0x20, Text19("\xC1"
                                                       "BC")},
                                         {0x00, Text19("DDDDDDDDDDDDDDDDDDD")}}));
    const std::string text = Text19(
        "\xB1"
        "23");
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 8, 0, U8(text)), 0);
    const auto img = machine_.device(kArea);
    EXPECT_EQ(img[36], 0x40);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&img[37]), 19), text);
    EXPECT_EQ(AreaSum(img), 0);
    EXPECT_EQ(Traffic(), Join({KeyReads(12),
                               {"R A8 10 1", "R A8 24 1", "R A8 25 19", "W A8 24 4 40B13233",
                                "W A8 28 4 00000000", "W A8 2C 4 00000000", "W A8 30 4 00000000",
                                "W A8 34 4 00000000", "R A8 08 1",
                                "W A8 08 1 " + qorsim::Hex2(img[8]), "R A8 24 20"}}));
}

TEST_F(SerialAreaTest, AddWithKeyZeroFillsTheFirstFreeSlotWhichStaysFree) {
    machine_.setDevice(kArea, AreaImage(20, 12, 1, {{0x20, Text19("\xC1")}}));
    const std::string text = Text19("FREE");
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 0, 0, U8(text)), 0);
    const auto img = machine_.device(kArea);
    EXPECT_EQ(img[36], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&img[37]), 4), "FREE");
    EXPECT_EQ(AreaSum(img), 0);
    // The first scan (for key 0) stops at slot 1 and the record is rewritten there.
    const auto t = Traffic();
    EXPECT_EQ(Lines(t.begin(), t.begin() + 3), (Lines{"R A8 10 1", "R A8 24 1", "R A8 24 20"}));
}

TEST_F(SerialAreaTest, AddRefusals) {
    std::vector<Record> full;
    for (int i = 0; i < 12; ++i) full.push_back({static_cast<uint8_t>(0x20 + i), Text19("X")});
    const std::string text = Text19("ABC");
    const struct {
        const char *name;
        qorsim::Image img;
        uint8_t address, s, n, version, type, index;
        int result;
        size_t transfers;
    } cases[] = {
        {"no free slot", AreaImage(20, 12, 1, full), kArea, 20, 12, 1, 15, 1, 4, 24},
        {"index 8", Formatted(), kArea, 20, 12, 1, 15, 8, 8, 0},
        {"version 2", AreaImage(20, 12, 2), kArea, 20, 12, 2, 15, 1, 3, 0},
        {"address 0", Formatted(), 0, 20, 12, 1, 15, 1, 1, 0},
        {"record size 22", Formatted(), kArea, 22, 10, 1, 15, 1, 7, 0},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, c.img);
        ClearTraffic();
        EXPECT_EQ(AddEntry(c.address, c.s, c.n, c.version, c.type, c.index, U8(text)), c.result)
            << c.name;
        EXPECT_EQ(TransferCount(), c.transfers) << c.name;
        for (const auto &t : machine_.i2cTransfers()) EXPECT_EQ(t.dir, 'R') << c.name;
        EXPECT_EQ(machine_.device(kArea), c.img) << c.name;
        EXPECT_TRUE(MutexFree()) << c.name;
    }
}

TEST_F(SerialAreaTest, DeleteLeavesKeyZeroAndLettersD) {
    machine_.setDevice(kArea, Formatted());
    const std::string text = Text19("ABC");
    ASSERT_EQ(AddEntry(kArea, 20, 12, 1, 15, 1, U8(text)), 0);
    ClearTraffic();
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 0), 0);
    auto img = machine_.device(kArea);
    EXPECT_EQ(img[16], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&img[17]), 19), std::string(19, 'D'));
    EXPECT_EQ(AreaSum(img), 0);
    EXPECT_EQ(Traffic(), (Lines{"R A8 10 20", "W A8 10 4 00444444", "W A8 14 4 44444444",
                                "W A8 18 4 44444444", "W A8 1C 4 44444444", "W A8 20 4 44444444",
                                "R A8 08 1", "W A8 08 1 " + qorsim::Hex2(img[8]), "R A8 10 20"}));
    EXPECT_TRUE(MutexFree());

    // The deleted slot is the first free one again.
    const std::string other = Text19("Q");
    ASSERT_EQ(AddEntry(kArea, 20, 12, 1, 4, 0, U8(other)), 0);
    img = machine_.device(kArea);
    EXPECT_EQ(img[16], 0x20);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(&img[17]), 19), other);
    EXPECT_EQ(AreaSum(img), 0);
}

TEST_F(SerialAreaTest, DeleteWithSmallRecordsUsesThePrefixOfTheFiller) {
    machine_.setDevice(kArea, AreaImage(6, 4, 1, {{0x21, "ABCDE"}}));
    EXPECT_EQ(DeleteEntry(kArea, 6, 1, 0), 0);
    EXPECT_EQ(Traffic(),
              (Lines{"R A8 10 6", "W A8 10 4 00444444", "W A8 14 2 4444", "R A8 08 1",
                     "W A8 08 1 " + qorsim::Hex2(machine_.device(kArea)[8]), "R A8 10 6"}));
    EXPECT_EQ(AreaSum(machine_.device(kArea), 6, 4), 0);
}

TEST_F(SerialAreaTest, WriteAndDeleteRefusals) {
    const std::string text = Text19("ABC");
    machine_.setDevice(kArea, Formatted());
    EXPECT_EQ(WriteEntry(0, 20, 1, 0, 4, 0, U8(text)), 1);
    EXPECT_EQ(WriteEntry(kArea, 20, 2, 0, 4, 0, U8(text)), 3);
    EXPECT_EQ(WriteEntry(kArea, 20, 1, 0, 4, 9, U8(text)), 8);
    EXPECT_EQ(DeleteEntry(0, 20, 1, 0), 1);
    EXPECT_EQ(DeleteEntry(kArea, 20, 0, 0), 3);
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_TRUE(MutexFree());
    machine_.removeDevice(kArea);
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 0), 1);
    EXPECT_EQ(Traffic(), Lines{"R A8 10 20!"});
}

TEST_F(SerialAreaTest, ReadBackMismatchesAreReported) {
    // Slot numbers beyond the area wrap modulo 256 onto the header, where the checksum
    // update lands inside the record just written: the read-back then differs.
    const std::string text = Text19("ABCDEFGHIJ");
    machine_.setDevice(kArea, Formatted());
    // 16 + 20 * 38 = 776 = 8 (mod 256): the key sits on byte 8.
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 38), 5);
    EXPECT_TRUE(MutexFree());
    machine_.setDevice(kArea, Formatted());
    // 16 + 20 * 12 = 256 = 0 (mod 256): byte 8 is the eighth text byte.
    EXPECT_EQ(WriteEntry(kArea, 20, 1, 12, 4, 0, U8(text)), 6);
    const auto t = Traffic();
    EXPECT_EQ(t.back(), "R A8 00 20");
    machine_.setDevice(kArea, Formatted());
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 12), 6);
    EXPECT_TRUE(MutexFree());
}

TEST_F(SerialAreaTest, NoMutexRefusesBeforeTheBus) {
    machine_.setDevice(kArea, Formatted());
    PlatMutex *mutex = g_state.ee_mutex;
    g_state.ee_mutex = nullptr;
    uint8_t s, n, v;
    LocalCache cache;
    const std::string text = Text19("ABC");
    EXPECT_EQ(ReadHeader(kArea, &s, &n, &v), 1);
    EXPECT_EQ(LoadSerialCache(kArea, 20, 12, 1, cache.types, cache.indexes, cache.texts), 1);
    EXPECT_EQ(FormatSerialArea(kArea), 1);
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 4, 0, U8(text)), 1);
    EXPECT_EQ(DeleteEntry(kArea, 20, 1, 0), 1);
    g_state.ee_mutex = mutex;
    EXPECT_EQ(TransferCount(), 0u);
}

TEST_F(SerialAreaTest, PrimitivesWaitForAnotherHolder) {
    machine_.setDevice(kArea, Formatted());
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
}

TEST_F(SerialAreaTest, AHolderThatDiedDoesNotBlock) {
    machine_.setDevice(kArea, Formatted());
    Child holder(BinPath("qor_lockdie"), {"die"}, {});
    EXPECT_EQ(holder.Wait().signal, SIGKILL);
    const std::string text = Text19("ABC");
    EXPECT_EQ(AddEntry(kArea, 20, 12, 1, 4, 0, U8(text)), 0);
    EXPECT_TRUE(MutexFree());
}

// ---- ReadModuleSerial ----------------------------------------------------------------------

TEST_F(SerialAreaTest, ModuleSerialBlockOrJedecFallback) {
    auto module = [](const std::string &block, int checksum_fix, uint8_t jedec_fill,
                     bool jedec_real) {
        qorsim::Image img{};
        std::memcpy(&img[128], block.data(), block.size());
        if (block.size() >= 22) {
            img[150] = static_cast<uint8_t>(~Sum(&img[128], 22) + checksum_fix);
        }
        img[64] = jedec_fill;
        for (int i = 91; i < 99; ++i) img[i] = jedec_fill;
        if (jedec_real) {
            const uint8_t tail[] = {0x01, 0x00, 0x98, 0x12, 0x00, 0x12, 0x34, 0x56};
            img[64] = 0x2C;
            std::memcpy(&img[91], tail, sizeof tail);
        }
        return img;
    };
    const std::string block = "11S12345678901234567890";  // 22 characters + 1 extra
    const std::string block22 = block.substr(0, 22);
    const struct {
        const char *name;
        qorsim::Image img;
        int result;
        std::string out;  // what the 24-byte buffer holds (filled with '#' first)
        Lines traffic;
    } cases[] = {
        {"good block", module(block22, 0, 0, false), 0, block22 + '\0' + "#", {"R A0 80 23"}},
        {"bad sum, JEDEC bytes",
         module(block22, 1, 0, true),
         0,
         std::string("2C0100981200123456") + '\0' + block22.substr(19) + '\0' + "#",
         {"R A0 80 23", "R A0 40 1", "R A0 5B 8"}},
        {"bad sum, JEDEC all zero",
         module(block22, 1, 0x00, false),
         7,
         block22 + '\0' + "#",
         {"R A0 80 23", "R A0 40 1", "R A0 5B 8"}},
        {"no block, JEDEC all FF",
         module("", 0, 0xFF, false),
         2,
         std::string(24, '#'),
         {"R A0 80 23", "R A0 40 1", "R A0 5B 8"}},
        {"lower-case prefix is no block",
         module("11s" + block22.substr(3), 0, 0xFF, false),
         2,
         std::string(24, '#'),
         {"R A0 80 23", "R A0 40 1", "R A0 5B 8"}},
    };
    for (const auto &c : cases) {
        machine_.setDevice(0xA0, c.img);
        ClearTraffic();
        char out[24];
        std::memset(out, '#', sizeof out);
        EXPECT_EQ(ReadModuleSerial(0xA0, out), c.result) << c.name;
        EXPECT_EQ(std::string(out, sizeof out), c.out) << c.name;
        EXPECT_EQ(Traffic(), c.traffic) << c.name;
    }
}

TEST_F(SerialAreaTest, ModuleSerialBusFailures) {
    char out[24];
    EXPECT_EQ(ReadModuleSerial(0, out), 1);
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_EQ(ReadModuleSerial(0xA0, out), 1);  // no module there
    qorsim::Image img{};
    img[64] = 0x2C;
    machine_.setDevice(0xA0, img);
    for (uint64_t k : {2, 3}) {  // either fallback read
        machine_.resetCounters();
        machine_.conf("fail_transfer", std::to_string(k));
        EXPECT_EQ(ReadModuleSerial(0xA0, out), 1) << k;
    }
}

// ---- fault sweep -----------------------------------------------------------------------------

// Runs op on a fresh copy of `before` once per transfer it makes, failing that transfer.
// The result must be 1; the area must then either fail to load with 7 or hold exactly the
// image before or after the operation.
void Sweep(MachineTest &t, TempMachine &m, const char *name, const qorsim::Image &before,
           const std::function<int()> &op) {
    m.setDevice(kArea, before);
    m.clearConf("fail_transfer");
    m.resetCounters();
    ASSERT_EQ(op(), 0) << name;
    const auto after = m.device(kArea);
    const uint64_t transfers = m.counters().transfers;
    ASSERT_GT(transfers, 0u);
    for (uint64_t k = 1; k <= transfers; ++k) {
        m.setDevice(kArea, before);
        m.resetCounters();
        m.conf("fail_transfer", std::to_string(k));
        EXPECT_EQ(op(), 1) << name << " failing transfer " << k;
        EXPECT_EQ(m.counters().transfers, k) << name << ": went on after failure " << k;
        m.clearConf("fail_transfer");
        LocalCache cache;
        const int load = LoadSerialCache(kArea, 20, 12, 1, cache.types, cache.indexes, cache.texts);
        const auto now = m.device(kArea);
        if (load == 0) {
            EXPECT_TRUE(now == before || now == after) << name << " k=" << k;
        } else {
            EXPECT_EQ(load, 7) << name << " k=" << k;
        }
    }
    (void)t;
}

TEST_F(SerialAreaTest, FaultSweepOfEveryWritingPrimitive) {
    const auto two = AreaImage(20, 12, 1,
                               {{0x79, Text19("ABC")},
                                {0x20, Text19("\xC1"
                                              "X")}});
    const std::string text = Text19("NEWTEXT-1234567");
    Sweep(*this, machine_, "add new", two,
          [&] { return AddEntry(kArea, 20, 12, 1, 17, 2, U8(text)); });
    Sweep(*this, machine_, "add in place", two,
          [&] { return AddEntry(kArea, 20, 12, 1, 4, 0, U8(text)); });
    Sweep(*this, machine_, "write slot 5", two, [&] {
        EeLock lock;
        return WriteEntry(kArea, 20, 1, 5, 8, 3, U8(text));
    });
    Sweep(*this, machine_, "delete", two, [&] { return DeleteEntry(kArea, 20, 1, 0); });
}

TEST_F(SerialAreaTest, FormatSweepLeavesFormattedPrefixAndOldRest) {
    const auto old = AreaImage(20, 12, 1,
                               {{0x79, Text19("ABC")},
                                {0x20, Text19("\xC1"
                                              "X")}});
    const auto formatted = Formatted();
    for (uint64_t k = 1; k <= 64; ++k) {
        machine_.setDevice(kArea, old);
        machine_.resetCounters();
        machine_.conf("fail_transfer", std::to_string(k));
        EXPECT_EQ(FormatSerialArea(kArea), 1) << k;
        EXPECT_EQ(machine_.counters().transfers, k);
        const auto now = machine_.device(kArea);
        for (size_t i = 0; i < 256; ++i) {
            ASSERT_EQ(now[i], i < 4 * (k - 1) ? formatted[i] : old[i]) << "k=" << k << " i=" << i;
        }
        EXPECT_TRUE(MutexFree()) << k;
    }
}

}  // namespace
