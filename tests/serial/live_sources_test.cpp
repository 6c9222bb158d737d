// Queries answered from the machine itself rather than from records: the monitor's EDID and
// the system UUID, on the demo machine's BIOS memory.
#include <gtest/gtest.h>

#include "QORasstW.h"
#include "monitor/monitor.h"
#include "serial/serial_fixture.h"

using namespace serial_test;

namespace {

class LiveSourceTest : public SerialFixture {
  protected:
    // The captured block is process-wide: leave none behind for the tests that follow.
    void TearDown() override {
        machine_.conf("pmem", "unavailable");
        MonitorCaptureEDID();
        SerialFixture::TearDown();
    }
    void PlaceDemoMemory() {
        for (const auto &region : qorsim::BuildPreset(Preset::kDemo).memory) {
            machine_.placeMemory(static_cast<uint32_t>(region.base), region.bytes);
        }
    }
};

TEST_F(LiveSourceTest, MonitorAndUuid) {
    Start(AreaImage(20, 12, 1,
                    {{0x70, Text19("\xD2"
                                   "ECORDED")}}));  // (14, 0): not used
    PlaceDemoMemory();
    ASSERT_EQ(MonitorCaptureEDID(), 0);
    char buf[40];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(AssetGetSerialNumber2(14, 0, buf), 0);
    EXPECT_STREQ(buf, qorsim::demo::kMonitorSerial);
    EXPECT_EQ(AssetGetSerialNumber(14, 0, buf), 1);
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(AssetGetSerialNumber(257, 0, buf), 1);
    EXPECT_EQ(std::string(buf, 37), std::string(qorsim::demo::kUuidText) + '\0');
    EXPECT_EQ(buf[37], '#');
    EXPECT_EQ(AssetGetSerialNumber2(257, 0, buf), 0);

    // An EDID block without a serial-number descriptor: the monitor's own code comes through.
    auto edid = qorsim::EdidBlock();
    for (int d = 54; d <= 108; d += 18) {
        if (edid[d] == 0 && edid[d + 1] == 0 && edid[d + 3] == 0xFF) edid[d + 3] = 0x10;
    }
    edid[127] = 0;
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += edid[i];
    edid[127] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    machine_.placeMemory(qorsim::demo::kEdidBlock, edid);
    ASSERT_EQ(MonitorCaptureEDID(), 0);
    EXPECT_EQ(AssetGetSerialNumber2(14, 0, buf), 56);
    EXPECT_EQ(AssetGetSerialNumber(14, 0, buf), 0);
}

}  // namespace
