// The state a started process has, on a simulated machine: an initialised library with its
// serial cache and HDD cache laid out in local views, and the area at A8.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "eeprom/area_fixture.h"
#include "eeprom/serial/serial_area.h"

namespace serial_test {

using namespace area_test;
using Lines = std::vector<std::string>;

inline std::string Text19(const std::string &s) {
    std::string t = s;
    t.resize(19, '\0');
    return t;
}

class SerialFixture : public MachineTest {
  protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_state.serial_view = serial_view_.data();
        LayOutSerialCache(20, 12);
        g_state.eeprom_size = 12;
        g_state.eeprom_addr = kArea;
        g_state.initialized = 1;
        g_state.worker_thread = nullptr;
        g_state.vpd_loaded = 0;
        for (int i = 0; i < kModuleSlots; ++i) g_state.module_addr[i] = 0;
        for (int i = 0; i < kHddEntries; ++i) {
            g_state.hdd_serial[i] = reinterpret_cast<char *>(hdd_view_.data() + 23 * i);
        }
        g_state.hdd_interface = reinterpret_cast<uint32_t *>(hdd_view_.data() + 552);
        g_state.hdd_address = reinterpret_cast<uint32_t *>(hdd_view_.data() + 648);
    }

    // Puts an area on the device and loads it into the cache, as start-up does.
    void Start(const qorsim::Image &area) {
        machine_.setDevice(kArea, area);
        ASSERT_EQ(LoadSerialCache(kArea, 20, 12, 1, g_state.serial_type, g_state.serial_index,
                                  g_state.serial_text),
                  0);
        ClearTraffic();
    }

    void SetDisk(int entry, const std::string &text, uint32_t interface, uint32_t address) {
        std::memset(g_state.hdd_serial[entry], 0, 23);
        std::memcpy(g_state.hdd_serial[entry], text.data(), text.size());
        g_state.hdd_interface[entry] = interface;
        g_state.hdd_address[entry] = address;
    }

    // Every cache slot that claims a record holds exactly what the device holds there.
    void ExpectCacheTrueToDevice(const std::string &context) {
        const auto img = machine_.device(kArea);
        for (int i = 0; i < 12; ++i) {
            const uint8_t type = g_state.serial_type[i];
            const uint8_t index = g_state.serial_index[i];
            if (type == 0 && index == 0) continue;
            const size_t off = 16 + 20 * i;
            EXPECT_EQ(img[off], static_cast<uint8_t>(type * 8 + index)) << context << " slot " << i;
            EXPECT_EQ(std::memcmp(&img[off + 1], g_state.serial_text[i], 19), 0)
                << context << " slot " << i;
        }
    }

    // The cache mirrors the device's area exactly.
    void ExpectCacheEqualsDevice(const std::string &context) {
        const auto img = machine_.device(kArea);
        for (int i = 0; i < 12; ++i) {
            const size_t off = 16 + 20 * i;
            EXPECT_EQ(g_state.serial_type[i], img[off] >> 3) << context << " slot " << i;
            EXPECT_EQ(g_state.serial_index[i], img[off] & 7) << context << " slot " << i;
            EXPECT_EQ(std::memcmp(&img[off + 1], g_state.serial_text[i], 19), 0)
                << context << " slot " << i;
            EXPECT_EQ(g_state.serial_text[i][19], 0) << context << " slot " << i;
        }
    }

    std::vector<uint8_t> serial_view_ = std::vector<uint8_t>(1024, 0);
    std::vector<uint8_t> hdd_view_ = std::vector<uint8_t>(1024, 0);
};

}  // namespace serial_test
