// AssetGetRFID on a simulated RF device: the twelve register reads, the decoding of the
// identifier block and every result code.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "state/state.h"
#include "support/machine.h"

namespace {

class RfidTest : public MachineFixture {
  protected:
    RfidTest() { g_state.initialized = 1; }
    ~RfidTest() override { g_state.initialized = 0; }
};

TEST_F(RfidTest, ReadsDecodesAndReports) {
    struct Case {
        const char *name;
        const char *block;  // hex, then zeros to 12 bytes
        int result;
        std::string text;  // the characters expected before the zeros
        const char *fault = "";
        size_t transfers = 12;  // register reads made, the last one failing on a bus fault
    };
    // Blocks worked out by hand from the bit layout (bits 0-11 chosen to balance the sum).
    const char *good = "0A040E45E4924DB71D797619";
    const Case cases[] = {
        {"letters and digits", good, ASSET_OK, "QOR4SST1234XYZ"},
        {"all zero", "", ASSET_OK, "AAAAAAAAAAAAAA"},
        {"first group 26 is 0", "7A0680", ASSET_OK, "0AAAAAAAAAAAAA"},
        {"first group 35 is 9", "3808C0", ASSET_OK, "9AAAAAAAAAAAAA"},
        {"last group 25 is Z", "E70000000000000000000019", ASSET_OK, "AAAAAAAAAAAAAZ"},
        {"bits 0-11 only balance the sum", "FFF000000000000000000011", ASSET_OK, "AAAAAAAAAAAAAR"},
        {"first group 36", "F70900", ASSET_ERR_RFID_GROUP, ""},
        {"sixth group 40 keeps five", "0D140E45E4A8", ASSET_ERR_RFID_GROUP, "QOR4S"},
        {"last group 63 keeps thirteen", "C1000000000000000000003F", ASSET_ERR_RFID_GROUP,
         "AAAAAAAAAAAAA"},
        {"sum off by one", "01", ASSET_ERR_CHECKSUM, ""},
        // The bus library's own failure value comes back unchanged.
        {"no device", good, qorsim::kFail, "", "absent", 1},
        {"device fault", good, qorsim::kDeviceFault, "", "fail_device B8", 1},
        {"register 0x15 fails", good, qorsim::kFail, "", "fail_transfer 6", 6},
        {"register 0x1B fails", good, qorsim::kFail, "", "fail_transfer 12", 12},
        {"not initialised: buffer and bus untouched", good, ASSET_ERR_NOT_INITIALIZED, "",
         "uninitialised", 0},
    };
    for (const Case &c : cases) {
        qorsim::Bytes block = *qorsim::ParseHex(c.block);
        block.resize(12);
        qorsim::Image image{};  // other registers hold other bytes
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(0xC0 ^ i);
        std::copy(block.begin(), block.end(), image.begin() + 0x10);
        machine_.setDevice(0xB8, image);
        machine_.clearConf("fail_device");
        machine_.clearConf("fail_transfer");
        const std::string fault = c.fault;
        g_state.initialized = fault != "uninitialised";
        if (fault == "absent") machine_.removeDevice(0xB8);
        if (fault.find(' ') != std::string::npos)
            machine_.conf(fault.substr(0, fault.find(' ')), fault.substr(fault.find(' ') + 1));
        machine_.resetCounters();  // fail_transfer counts from here
        machine_.clearLog();
        std::array<char, 40> buf;
        buf.fill('#');
        EXPECT_EQ(AssetGetRFID(buf.data()), c.result) << c.name;
        const std::string filled = c.text + std::string(32 - c.text.size(), '\0');
        EXPECT_EQ(std::string(buf.data(), buf.size()),
                  (c.transfers == 0 ? std::string(32, '#') : filled) + std::string(8, '#'))
            << c.name;
        // One single-byte read per register, every call (nothing is cached).
        std::vector<I2cTransfer> want;
        for (size_t i = 0; i < c.transfers; ++i) {
            const bool ok = i + 1 < c.transfers || c.fault[0] == '\0';
            want.push_back({i + 1, 'R', 0xB8, static_cast<uint8_t>(0x10 + i), 1, ok,
                            ok ? qorsim::Bytes{block[i]} : qorsim::Bytes{}});
        }
        EXPECT_EQ(machine_.i2cTransfers(), want) << c.name;
    }
}

}  // namespace
