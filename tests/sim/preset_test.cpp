// The presets, checked byte by byte through the simulated hardware as the product reads it,
// and the qorsim tool.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "platform/hwlib.h"
#include "support/machine.h"

#ifndef _WIN32
#include "support/child.h"
#endif

namespace {

namespace demo = qorsim::demo;

std::uint8_t Sum(const std::uint8_t *p, std::size_t n) {
    return static_cast<std::uint8_t>(std::accumulate(p, p + n, 0u));
}

std::string Text(const std::uint8_t *p, std::size_t n) {
    return std::string(reinterpret_cast<const char *>(p), n);
}

qorsim::Bytes Bus(std::uint8_t dev, std::uint8_t off, int len) {
    qorsim::Bytes b(static_cast<std::size_t>(len));
    EXPECT_EQ(I2C_SendCommandThenRead(dev, off, b.data(), len), 0) << qorsim::Hex2(dev);
    return b;
}

qorsim::Bytes Phys(std::uint32_t address, std::uint32_t len) {
    qorsim::Bytes b(len);
    EXPECT_EQ(PMemRead(b.data(), address, len), 0) << address;
    return b;
}

std::uint32_t LE(const std::uint8_t *p, int n) {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

TEST(Presets, DevicesPerPreset) {
    struct Case {
        Preset preset;
        std::vector<std::uint8_t> devices;
    } cases[] = {
        {Preset::kEmpty, {}},
        {Preset::kBlank, {0xA0, 0xA2, 0xA8, 0xAA}},
        {Preset::kRf, {0xA0, 0xA2, 0xA8, 0xAA, 0xB8}},
        {Preset::kDemo, {0xA0, 0xA2, 0xA8, 0xAA, 0xB8}},
    };
    for (const auto &c : cases) {
        TempMachine m(c.preset);
        EXPECT_EQ(qorsim::ListDevices(m.path()), c.devices);
        EXPECT_FALSE(qorsim::ReadConf(m.path()).log);
        if (c.preset == Preset::kRf || c.preset == Preset::kBlank) {
            // Fitted but never written, so that start-up finds no area and formats one.
            EXPECT_EQ(m.device(0xA8), qorsim::ErasedImage());
            EXPECT_EQ(m.device(0xAA), qorsim::ErasedImage());
        }
    }
}

TEST(Presets, BlankModulesHaveJedecBytesButNoSerialBlock) {
    TempMachine m(Preset::kBlank);
    UseMachine use(m);
    for (int i = 0; i < 2; ++i) {
        auto spd = Bus(demo::kModuleAddresses[i], 0, 256);
        EXPECT_EQ(spd[63], Sum(spd.data(), 63));
        EXPECT_NE(Text(&spd[128], 3), "11S");
        EXPECT_EQ(spd[64], demo::kSpdManufacturer);
        EXPECT_EQ(qorsim::Hex(&spd[91], 8), i == 0 ? "0100011200123456" : "0100011200123457");
    }
}

TEST(Presets, DemoSerialAreaMatchesTheModules) {
    TempMachine m(Preset::kDemo);
    UseMachine use(m);
    auto area = Bus(0xA8, 0, 256);
    EXPECT_EQ(qorsim::Hex(area.data(), 8), "53455223140C01D2");
    EXPECT_EQ(Sum(area.data(), 256), 0);
    EXPECT_EQ(area[9], 0);  // not marked as changed from outside
    const std::uint8_t keys[12] = {0x20, 0x40, 0x88, 0x89};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(area[16 + 20 * i], keys[i]) << "slot " << i;
    // System and board: stored with bit 7 of the first character set.
    EXPECT_EQ(area[17], '1' | 0x80);
    EXPECT_EQ(Text(&area[18], 18), std::string("S6281QK9ZX40177\0\0\0", 18));
    EXPECT_EQ(area[37], 'M' | 0x80);
    EXPECT_EQ(Text(&area[38], 18), std::string("B4K7Q20931") + std::string(8, '\0'));
    // Modules: the "11S" block's 19 characters, as the module itself holds them.
    for (int i = 0; i < 2; ++i) {
        auto block = Bus(demo::kModuleAddresses[i], 128, 23);
        EXPECT_EQ(Text(block.data(), 22), demo::kModuleSerials[i]);
        EXPECT_EQ(block[22], static_cast<std::uint8_t>(~Sum(block.data(), 22)));
        EXPECT_EQ(Text(&area[57 + 20 * i], 19), Text(&block[3], 19));
    }
}

TEST(Presets, RfIdentifierBlockDecodes) {
    TempMachine m(Preset::kRf);
    UseMachine use(m);
    auto block = Bus(0xB8, 0x10, 12);
    EXPECT_EQ(Sum(block.data(), 12), 0);
    std::string id;
    for (int g = 0; g < 14; ++g) {
        int v = 0;
        for (int bit = 12 + 6 * g; bit < 18 + 6 * g; ++bit) {
            v = v * 2 + (block[static_cast<std::size_t>(bit / 8)] >> (7 - bit % 8) & 1);
        }
        ASSERT_LE(v, 35);
        id += static_cast<char>(v < 26 ? 'A' + v : '0' + v - 26);
    }
    EXPECT_EQ(id, demo::kRfIdentifier);
}

TEST(Presets, DemoBiosTablesAreWhereFirmwarePutsThem) {
    TempMachine m(Preset::kDemo);
    UseMachine use(m);
    ASSERT_EQ(PMemOpen(), 1);

    // EDID: BIOS data area -> EBDA -> "EDID" record -> block.
    std::uint32_t ebda = LE(Phys(0x40E, 2).data(), 2) * 16;
    EXPECT_EQ(ebda, demo::kEbdaBase);
    std::uint8_t kib = Phys(ebda, 1)[0];
    EXPECT_TRUE(kib >= 1 && kib <= 16);
    std::uint32_t record = PMemSearch("EDID", ebda, ebda + kib * 1024u - 1, 16);
    ASSERT_NE(record, 0u);
    std::uint32_t block = LE(Phys(record + 4, 4).data(), 4);
    auto edid = Phys(block, 128);
    EXPECT_EQ(qorsim::Hex(edid.data(), 8), "00FFFFFFFFFFFF00");
    EXPECT_EQ(Sum(edid.data(), 128), 0);
    EXPECT_EQ(qorsim::Hex(&edid[8], 2), "45F2");  // Q O R in 5-bit letters

    // VPD block.
    std::uint32_t vpd = PMemSearch("\xAA\x55VPD", 0xF0000, 0xFFFFF, 16);
    ASSERT_EQ(vpd, demo::kVpdAddress);
    auto v = Phys(vpd, 0x30);
    EXPECT_EQ(v[5], 0x30);
    EXPECT_EQ("1S" + Text(&v[0x28], 7) + Text(&v[0x16], 7), demo::kSystemText);
    EXPECT_EQ(Text(&v[0x1D], 11), demo::kBoardSerial);

    // System-ID table and its UUID structure.
    std::uint32_t sysid = PMemSearch("_SYSID_", 0xE0000, 0xFFFFF, 16);
    ASSERT_NE(sysid, 0u);
    auto h = Phys(sysid, 17);
    EXPECT_EQ(Sum(h.data(), 17), 0);
    EXPECT_EQ(LE(&h[8], 2), 17u);
    ASSERT_EQ(LE(&h[14], 2), 1u);
    auto u = Phys(LE(&h[10], 4), 25);
    EXPECT_EQ(Text(u.data(), 6), "_UUID_");
    EXPECT_EQ(LE(&u[7], 2), 25u);
    EXPECT_EQ(Sum(u.data(), 25), 0);
    EXPECT_EQ(std::memcmp(&u[9], demo::kUuid, 16), 0);

    // The BIOS identification bytes occur in the system serial number.
    auto ident = Phys(demo::kBiosIdentAddress, 7);
    EXPECT_NE(std::string(demo::kSystemText).find(Text(ident.data(), 7)), std::string::npos);
    PMemClose();
}

#ifndef _WIN32
TEST(QorsimTool, CreatesShowsAndAdjustsAMachine) {
    TempMachine scratch;
    const std::string dir = scratch.path() + "/m";
    ASSERT_EQ(RunChildProgram("qorsim", {"create", dir, "--preset", "demo"}).exit_code, 0);
    EXPECT_EQ(RunChildProgram("qorsim", {"create", dir, "--preset", "blank"}).exit_code, 1);
    EXPECT_EQ(RunChildProgram("qorsim", {"create", dir + "2", "--preset", "odd"}).exit_code, 1);

    auto show = RunChildProgram("qorsim", {"show", dir});
    EXPECT_EQ(show.exit_code, 0);
    EXPECT_NE(show.out.find("header checksum OK, area checksum OK"), std::string::npos);
    EXPECT_NE(show.out.find("slot  2: key 0x88 type 17 index 0  11S09N4321YH10AB2C3D4E"),
              std::string::npos);
    EXPECT_NE(show.out.find("QOR7K2M9X4TB8A, checksum OK"), std::string::npos);
    auto dump = RunChildProgram("qorsim", {"dump", dir, "A8"});
    EXPECT_EQ(LinesStartingWith(dump.out, "00:"),
              std::vector<std::string>{
                  "00: 53 45 52 23 14 0C 01 D2 3E 00 00 00 00 00 00 00  SER#....>......."});

    EXPECT_EQ(RunChildProgram("qorsim", {"conf", dir, "fail_transfer", "3", "9"}).exit_code, 0);
    EXPECT_EQ(RunChildProgram("qorsim", {"log", dir, "on"}).exit_code, 0);
    auto conf = qorsim::ReadConf(dir);
    EXPECT_EQ(conf.fail_transfer, (std::vector<std::uint64_t>{3, 9}));
    EXPECT_TRUE(conf.log);
    EXPECT_EQ(RunChildProgram("qorsim", {"conf", dir, "fail_transfer"}).exit_code, 0);
    EXPECT_TRUE(qorsim::ReadConf(dir).fail_transfer.empty());

    {
        ScopedEnv env(qorsim::kMachineEnv, dir);
        std::uint8_t b;
        I2C_SendCommandThenRead(0xA8, 0, &b, 1);
    }
    EXPECT_EQ(qorsim::ReadLog(dir).size(), 1u);
    EXPECT_EQ(qorsim::ReadCounters(dir).transfers, 1u);
    EXPECT_EQ(RunChildProgram("qorsim", {"log", dir, "clear"}).exit_code, 0);
    EXPECT_EQ(RunChildProgram("qorsim", {"counter", dir, "reset"}).exit_code, 0);
    EXPECT_TRUE(qorsim::ReadLog(dir).empty());
    EXPECT_EQ(qorsim::ReadCounters(dir), qorsim::Counters{});
}
#endif

}  // namespace
