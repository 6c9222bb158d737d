// AssetGetRFID on a simulated RF device: the twelve register reads, and every result code.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "frame/state.h"
#include "support/machine.h"

namespace {

using Block = std::array<uint8_t, 12>;

// The letters-and-digits block worked out by hand (see the decoding tests).
constexpr Block kGood = {0x0A, 0x04, 0x0E, 0x45, 0xE4, 0x92, 0x4D, 0xB7, 0x1D, 0x79, 0x76, 0x19};

qorsim::Image Registers(const Block &block) {
    qorsim::Image image{};
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0xC0 ^ i);
    for (size_t i = 0; i < block.size(); ++i) image[0x10 + i] = block[i];
    return image;
}

class RfidTest : public ::testing::Test {
  protected:
    RfidTest() : ns_("QORASST_NAMESPACE", UniqueNamespace()), use_(machine_) {
        machine_.enableLog();
        g_state.initialized = 1;
    }
    ~RfidTest() override { g_state.initialized = 0; }

    std::string Call(int expected) {
        machine_.resetCounters();
        machine_.clearLog();
        buf_.fill('#');
        EXPECT_EQ(AssetGetRFID(buf_.data()), expected);
        return std::string(buf_.data(), buf_.size());
    }

    ScopedEnv ns_;
    TempMachine machine_;
    UseMachine use_;
    std::array<char, 40> buf_;
};

std::string Padded(const std::string &text) {
    return text + std::string(32 - text.size(), '\0') + std::string(8, '#');
}

TEST_F(RfidTest, ReadsTwelveRegistersOneByOne) {
    machine_.setDevice(0xB8, Registers(kGood));
    EXPECT_EQ(Call(ASSET_OK), Padded("QOR4SST1234XYZ"));
    const std::vector<I2cTransfer> transfers = machine_.i2cTransfers();
    ASSERT_EQ(transfers.size(), 12u);
    for (size_t i = 0; i < transfers.size(); ++i) {
        EXPECT_EQ(transfers[i].dir, 'R');
        EXPECT_EQ(transfers[i].dev, 0xB8);
        EXPECT_EQ(transfers[i].off, 0x10 + i);
        EXPECT_EQ(transfers[i].len, 1);
        EXPECT_TRUE(transfers[i].ok);
        EXPECT_EQ(transfers[i].data, qorsim::Bytes{kGood[i]});
    }

    // Every call reads the device again: a changed identifier is seen at once.
    Block other{};
    machine_.setDevice(0xB8, Registers(other));
    EXPECT_EQ(Call(ASSET_OK), Padded("AAAAAAAAAAAAAA"));
    EXPECT_EQ(machine_.i2cTransfers().size(), 12u);

    // The preset's RF board carries an identifier the same way.
    machine_.setDevice(0xB8, qorsim::RfRegisterBlock(qorsim::demo::kRfIdentifier));
    EXPECT_EQ(Call(ASSET_OK), Padded(qorsim::demo::kRfIdentifier));
}

TEST_F(RfidTest, Failures) {
    struct Case {
        const char *name;
        Block block;
        bool device;
        const char *key;
        const char *value;
        int expected;
        std::string text;
        size_t transfers;
    };
    const Block bad_sum = {0x0B, 0x04, 0x0E, 0x45, 0xE4, 0x92, 0x4D, 0xB7, 0x1D, 0x79, 0x76, 0x19};
    const Block bad_group = {0x0D, 0x14, 0x0E, 0x45, 0xE4, 0xA8, 0, 0, 0, 0, 0, 0};
    const Case cases[] = {
        {"sum not 0", bad_sum, true, nullptr, nullptr, ASSET_ERR_CHECKSUM, "", 12},
        {"group above 35", bad_group, true, nullptr, nullptr, ASSET_ERR_RFID_GROUP, "QOR4S", 12},
        {"no device", kGood, false, nullptr, nullptr, 1, "", 1},
        // The bus library's own failure value comes back unchanged.
        {"device fault", kGood, true, "fail_device", "B8", qorsim::kDeviceFault, "", 1},
        {"read of register 0x15 fails", kGood, true, "fail_transfer", "6", qorsim::kFail, "", 6},
        {"read of register 0x1B fails", kGood, true, "fail_transfer", "12", qorsim::kFail, "", 12},
    };
    for (const Case &c : cases) {
        TempMachine m;
        UseMachine use(m);
        if (c.device) m.setDevice(0xB8, Registers(c.block));
        if (c.key != nullptr) m.conf(c.key, c.value);
        m.enableLog();
        m.resetCounters();
        m.clearLog();
        std::array<char, 40> buf;
        buf.fill('#');
        EXPECT_EQ(AssetGetRFID(buf.data()), c.expected) << c.name;
        EXPECT_EQ(std::string(buf.data(), buf.size()), Padded(c.text)) << c.name;
        const std::vector<I2cTransfer> transfers = m.i2cTransfers();
        EXPECT_EQ(transfers.size(), c.transfers) << c.name;
        for (size_t i = 0; i + 1 < transfers.size(); ++i) EXPECT_TRUE(transfers[i].ok) << c.name;
    }
}

TEST_F(RfidTest, NotInitialisedTouchesNothing) {
    machine_.setDevice(0xB8, Registers(kGood));
    g_state.initialized = 0;
    EXPECT_EQ(Call(ASSET_ERR_NOT_INITIALIZED), std::string(40, '#'));
    EXPECT_TRUE(machine_.i2cTransfers().empty());
}

}  // namespace
