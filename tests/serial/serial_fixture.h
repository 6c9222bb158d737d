// The state a started process has, on a simulated machine: an initialised library with its
// serial cache and HDD cache laid out in local views, and the area at A8.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "QORasstW.h"
#include "eeprom/area_fixture.h"

namespace serial_test {

using namespace area_test;

constexpr int kRealJedec = -1;
// A memory module's SPD EEPROM: a serial block at 128 whose checksum is off by `fix`, and the
// JEDEC bytes 64 and 91 to 98 all `jedec`, or (kRealJedec) 2C and 01 00 98 12 00 12 34 56.
inline qorsim::Image Module(const std::string &block, int fix = 0, int jedec = 0) {
    qorsim::Image img{};
    std::memcpy(&img[128], block.data(), block.size());
    if (block.size() >= 22) img[150] = static_cast<uint8_t>(~Sum(&img[128], 22) + fix);
    const uint8_t real[] = {0x2C, 0x01, 0x00, 0x98, 0x12, 0x00, 0x12, 0x34, 0x56};
    for (int i = 0; i < 9; ++i) img[i ? 90 + i : 64] = jedec < 0 ? real[i] : uint8_t(jedec);
    return img;
}

class SerialFixture : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_state.eeprom_addr = kArea;  // everything else as a fresh process has it: zero
        g_state.initialized = 1;
        for (int i = 0; i < kHddEntries; ++i)
            g_state.hdd_serial[i] = reinterpret_cast<char *>(hdd_view_.data() + 23 * i);
        g_state.hdd_interface = reinterpret_cast<uint32_t *>(hdd_view_.data() + 552);
        g_state.hdd_address = reinterpret_cast<uint32_t *>(hdd_view_.data() + 648);
    }

    // Puts an area on the device and loads it into the cache, as start-up does; the log and
    // the transfer count start afresh.
    void Start(const qorsim::Image &area) {
        machine_.setDevice(kArea, area);
        ASSERT_EQ(Load(), 0);
        ClearTraffic();
        machine_.resetCounters();
    }
    void SetDisk(int entry, const std::string &text, uint32_t interface, uint32_t address) {
        std::memset(g_state.hdd_serial[entry], 0, 23);
        std::memcpy(g_state.hdd_serial[entry], text.data(), text.size());
        g_state.hdd_interface[entry] = interface;
        g_state.hdd_address[entry] = address;
    }
    // A query's text, or "-" when it fails.
    static std::string Get(int type, int index) {
        char buf[24] = {};
        return AssetGetSerialNumber2(type, index, buf) == 0 ? std::string(buf) : "-";
    }
    int Writes() const {
        return static_cast<int>(
            std::ranges::count(machine_.i2cTransfers(), 'W', &I2cTransfer::dir));
    }

    // Every cache slot that claims a record (all slots when `all`) holds exactly what the
    // device holds there.
    void ExpectCacheTrueToDevice(const std::string &context, bool all = true) {
        const auto img = machine_.device(kArea);
        for (int i = 0; i < 12; ++i) {
            const uint8_t *r = &img[16 + 20 * i];
            const uint8_t type = g_state.serial_type[i], index = g_state.serial_index[i];
            if (!all && type == 0 && index == 0) continue;
            EXPECT_EQ(type * 8 + index, r[0]) << context << " slot " << i;
            EXPECT_EQ(std::string(g_state.serial_text[i], 20),
                      std::string(reinterpret_cast<const char *>(r + 1), 19) + '\0')
                << context << " slot " << i;
        }
    }

    std::vector<uint8_t> hdd_view_ = std::vector<uint8_t>(1024, 0);
};

}  // namespace serial_test
