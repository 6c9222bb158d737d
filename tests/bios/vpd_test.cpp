// The VPD block: loading it from the simulated F segment, every failure of the load, and the
// system and board texts cut from a loaded copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "frame/state.h"
#include "support/machine.h"

namespace {

using qorsim::Bytes;

constexpr uint32_t kAt = 0xFD000;

// A block of the given length byte with the three fields filled and the rest numbered.
Bytes VpdBlock(uint8_t length, size_t size = 0x30) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(0x80 + i);
    const Bytes sig = {0xAA, 0x55, 'V', 'P', 'D'};
    std::copy(sig.begin(), sig.end(), b.begin());
    b[5] = length;
    const std::string system = "ZX40177", board = "MB4K7Q20931", model = "6281QK9";
    std::copy(system.begin(), system.end(), b.begin() + 0x16);
    std::copy(board.begin(), board.end(), b.begin() + 0x1D);
    std::copy(model.begin(), model.end(), b.begin() + 0x28);
    return b;
}

std::vector<std::string> PmemLines(const TempMachine &m) {
    std::vector<std::string> lines;
    for (const std::string &line : m.log())
        if (line.rfind("PMEM", 0) == 0) lines.push_back(line);
    return lines;
}

class VpdTest : public ::testing::Test {
  protected:
    VpdTest() : ns_("QORASST_NAMESPACE", UniqueNamespace()), use_(machine_) {
        machine_.enableLog();
        g_state.vpd_loaded = 0;
    }
    ~VpdTest() override { g_state.vpd_loaded = 0; }

    ScopedEnv ns_;
    TempMachine machine_;
    UseMachine use_;
};

TEST_F(VpdTest, LoadCopiesUpToTheBlockLength) {
    const Bytes block = VpdBlock(0x30);
    machine_.placeMemory(kAt, block);
    struct Case {
        int size;
        int copied;
    };
    const Case cases[] = {{256, 0x30}, {0x31, 0x30}, {0x30, 0x30}, {16, 16}, {1, 1}, {0, 0}};
    for (const Case &c : cases) {
        machine_.clearLog();
        std::vector<uint8_t> buf(300, 0xEE);
        int size = c.size;
        EXPECT_EQ(VPDLoadData(buf.data(), &size), ASSET_OK) << c.size;
        EXPECT_EQ(size, c.copied) << c.size;
        for (size_t i = 0; i < buf.size(); ++i) {
            const uint8_t want = i < static_cast<size_t>(c.copied) ? block[i] : 0xEE;
            ASSERT_EQ(buf[i], want) << "size " << c.size << " byte " << i;
        }
        const std::vector<std::string> lines = PmemLines(machine_);
        ASSERT_GE(lines.size(), 5u);
        EXPECT_EQ(lines[0], "PMEM INIT 1");
        EXPECT_EQ(lines[1], "PMEM OPEN ok");
        EXPECT_EQ(lines[2], "PMEM SEARCH AA55565044 000F0000 000FFFFF 16 000FD000");
        EXPECT_EQ(lines[3], "PMEM READ 000FD000 6 ok");
        if (c.copied > 0) {
            EXPECT_EQ(lines[4], "PMEM READ 000FD000 " + std::to_string(c.copied) + " ok");
        }
        EXPECT_EQ(lines.back(), "PMEM CLOSE");
    }
    EXPECT_EQ(g_state.vpd_loaded, 1);
}

TEST_F(VpdTest, LoadFailures) {
    struct Case {
        const char *name;
        int expected;
        void (*setup)(TempMachine &);
        bool opened;
    };
    const Case cases[] = {
        {"physical memory unavailable", ASSET_ERR_VPD_PMEM,
         [](TempMachine &m) { m.conf("pmem", "unavailable"); }, false},
        {"open fails", ASSET_ERR_VPD_OPEN, [](TempMachine &m) { m.conf("pmem_open", "fail"); },
         false},
        {"no signature", ASSET_ERR_VPD_INVALID, [](TempMachine &m) { m.clearConf("pmem_open"); },
         true},
        {"signature off the 16-byte steps", ASSET_ERR_VPD_INVALID,
         [](TempMachine &m) { m.placeMemory(kAt + 8, VpdBlock(0x30)); }, true},
        {"signature below the F segment", ASSET_ERR_VPD_INVALID,
         [](TempMachine &m) { m.placeMemory(0xEFFF0, VpdBlock(0x30)); }, true},
        {"reads fail", ASSET_ERR_VPD_INVALID,
         [](TempMachine &m) {
             m.placeMemory(kAt, VpdBlock(0x30));
             m.conf("pmem_read", "fail");
         },
         true},
    };
    for (const Case &c : cases) {
        TempMachine m;
        UseMachine use(m);
        c.setup(m);
        m.enableLog();
        m.clearLog();
        std::array<uint8_t, 8> buf;
        buf.fill(0xEE);
        int size = 8;
        EXPECT_EQ(VPDLoadData(buf.data(), &size), c.expected) << c.name;
        const std::vector<std::string> lines = PmemLines(m);
        const bool opened = std::find(lines.begin(), lines.end(), "PMEM OPEN ok") != lines.end();
        EXPECT_EQ(opened, c.opened) << c.name;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "PMEM CLOSE"), opened ? 1 : 0) << c.name;
        if (opened) {
            EXPECT_EQ(lines.back(), "PMEM CLOSE") << c.name;
        }
    }
    EXPECT_EQ(g_state.vpd_loaded, 0);
}

TEST_F(VpdTest, NegativeSizeIsRefusedBeforeMemoryIsTouched) {
    machine_.placeMemory(kAt, VpdBlock(0x30));
    machine_.clearLog();
    std::array<uint8_t, 8> buf;
    buf.fill(0xEE);
    int size = -1;
    EXPECT_EQ(VPDLoadData(buf.data(), &size), ASSET_ERR_VPD_INVALID);
    EXPECT_EQ(size, -1);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_TRUE(PmemLines(machine_).empty());
    EXPECT_EQ(VPDLoadData(buf.data(), nullptr), ASSET_ERR_VPD_INVALID);
    EXPECT_EQ(g_state.vpd_loaded, 0);
}

TEST_F(VpdTest, GettersCutTheTexts) {
    const Bytes block = VpdBlock(0x30);
    using Get = int (*)(char *, int, const unsigned char *);
    struct Case {
        const char *name;
        Get get;
        int size;
        int result;
        std::string bytes;  // the first 20 bytes afterwards ('#' untouched)
    };
    const std::string z(1, '\0');
    const Case cases[] = {
        {"system", VPDGetSystem, 17, 0, "1S6281QK9ZX40177" + z + "###"},
        {"system, room to spare", VPDGetSystem, 64, 0, "1S6281QK9ZX40177" + z + "###"},
        {"system size 16", VPDGetSystem, 16, 0, "1S6281QK9ZX4017" + z + "####"},
        {"system size 10", VPDGetSystem, 10, 0, "1S6281QK9" + z + std::string(10, '#')},
        {"system size 1", VPDGetSystem, 1, 0, z + std::string(19, '#')},
        {"system size 0", VPDGetSystem, 0, ASSET_ERR_VPD_NOT_LOADED, std::string(20, '#')},
        {"system size -4", VPDGetSystem, -4, ASSET_ERR_VPD_NOT_LOADED, std::string(20, '#')},
        {"board", VPDGetMotherboard, 12, 0, "MB4K7Q20931" + z + std::string(8, '#')},
        {"board, room to spare", VPDGetMotherboard, 23, 0, "MB4K7Q20931" + z + std::string(8, '#')},
        {"board size 11", VPDGetMotherboard, 11, 0, "MB4K7Q2093" + z + std::string(9, '#')},
        {"board size 1", VPDGetMotherboard, 1, 0, z + std::string(19, '#')},
        {"board size 0", VPDGetMotherboard, 0, ASSET_ERR_VPD_NOT_LOADED, std::string(20, '#')},
    };
    for (int loaded = 0; loaded < 2; ++loaded) {
        g_state.vpd_loaded = loaded;
        for (const Case &c : cases) {
            std::array<char, 20> buf;
            buf.fill('#');
            const int result = c.get(buf.data(), c.size, block.data());
            if (loaded) {
                EXPECT_EQ(result, c.result) << c.name;
                EXPECT_EQ(std::string(buf.data(), buf.size()), c.bytes) << c.name;
            } else {
                // Nothing loaded in this process: refused, nothing written.
                EXPECT_EQ(result, ASSET_ERR_VPD_NOT_LOADED) << c.name;
                EXPECT_EQ(std::string(buf.data(), buf.size()), std::string(20, '#')) << c.name;
            }
        }
    }
}

TEST_F(VpdTest, FieldsAreCopiedByteForByte) {
    // Blanks and zero bytes inside the fields stay; bytes past a short load read as zeros.
    Bytes block(256, 0);
    const std::string model("62 1\0K9", 7), serial("Z\0 0177", 7);
    std::copy(model.begin(), model.end(), block.begin() + 0x28);
    std::copy(serial.begin(), serial.end(), block.begin() + 0x16);
    g_state.vpd_loaded = 1;
    std::array<char, 20> buf;
    buf.fill('#');
    EXPECT_EQ(VPDGetSystem(buf.data(), 20, block.data()), ASSET_OK);
    EXPECT_EQ(std::string(buf.data(), 17), "1S" + model + serial + std::string(1, '\0'));
    buf.fill('#');
    EXPECT_EQ(VPDGetMotherboard(buf.data(), 20, block.data()), ASSET_OK);
    EXPECT_EQ(std::string(buf.data(), 12), std::string(12, '\0'));
}

}  // namespace
