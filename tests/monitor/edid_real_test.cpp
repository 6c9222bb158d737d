// The real EDID blocks of the shared data set: every one goes through capture from a simulated
// EBDA and through every decoder, and a good number of them are checked against values read
// off their bytes by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "QORasstW.h"
#include "monitor/monitor.h"
#include "support/machine.h"

namespace {

using namespace std::string_view_literals;
using qorsim::Bytes;

constexpr int kRealBlocks = 120;

std::string BlockPath(const std::string &file) {
    return std::string(QOR_SHARED_DATA_DIR) + "/edid/" + file;
}

Bytes ReadBlock(const std::string &file) {
    std::ifstream in(BlockPath(file), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string FileName(int n) {
    char name[16];
    std::snprintf(name, sizeof name, "%03d.bin", n);
    return name;
}

// The BIOS data area and a 1 KiB EBDA whose record points at the block.
void PlaceInEbda(TempMachine &m, const Bytes &block) {
    m.placeMemory(0x40E, {0xC0, 0x9F});
    m.placeMemory(0x9FC00, {0x01});
    m.placeMemory(0x9FD80, {'E', 'D', 'I', 'D', 0x90, 0xFD, 0x09, 0x00});
    m.placeMemory(0x9FD90, block);
}

// A text export's answer and exactly the bytes it delivered (the text may hold zero bytes).
struct Text {
    int result;
    std::string bytes;
};

Text Get(int (*get)(char *, int)) {
    std::array<char, 64> buf;
    buf.fill('#');
    const int result = get(buf.data(), static_cast<int>(buf.size()));
    std::string bytes(buf.data(), buf.size());
    // The delivered text ends at the last non-zero byte; everything after it is zero.
    size_t end = bytes.find_last_not_of('\0');
    bytes.resize(end == std::string::npos ? 0 : end + 1);
    return {result, bytes};
}

std::string ModeList() {
    std::string s;
    for (int i = 0;; ++i) {
        int w = 0, h = 0, r = 0, k = 0;
        const int result = MonitorGetResolution(i, &w, &h, &r, &k);
        if (result == ASSET_ERR_MODE_INDEX) break;
        EXPECT_EQ(result, ASSET_OK);
        if (result != ASSET_OK || i > 31) break;
        if (!s.empty()) s += ' ';
        s += std::to_string(w) + "x" + std::to_string(h) + "@" + std::to_string(r) +
             (k == 5 ? "i" : "");
        EXPECT_TRUE(k == 4 || k == 5);
    }
    return s;
}

// Values read off the bytes: manufacturer (bytes 8-9), version (18-19), the 0xFC and 0xFF
// descriptor texts, and the modes announced by bytes 35-37 (with the gate of byte 33) and the
// standard-timing slots, in that order ("i" marks the interlaced mode).
struct Expected {
    const char *file;
    const char *manufacturer;
    const char *version;
    std::string_view product;
    std::string_view serial;
    const char *modes;
};

const Expected kExpected[] = {
    {"000.bin", "AOC", "1.3", "Q3279WG5B"sv, ""sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1920x1080@60 "
     "1680x1680@60 1440x1440@60 1280x1024@60 1280x960@60 1280x720@60"},
    {"001.bin", "SDC", "1.4", ""sv, ""sv, ""},
    {"002.bin", "NEC", "1.4", "PA271Q"sv, "87100415TB"sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1152x870@75 "
     "1280x720@60 1280x1024@60 1400x1050@60 1440x1440@60 1600x1200@60 1920x1080@60"},
    {"005.bin", "SAM", "1.3", "C32R50x"sv,
     "H4CW700524V\x00"
     " "sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1152x870@75 "
     "1152x864@75 1280x720@60 1280x1280@60 1280x1024@60 1440x1440@60 1600x900@60 1680x1680@60"},
    {"007.bin", "AOC", "1.4", "AG352UCG"sv, "#ASOClNXNHYDd"sv, "640x480@60 800x600@60 1024x768@60"},
    {"011.bin", "PHL", "1.3", "Philips 190S"sv, " BZ  218510"sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1152x870@75 "
     "1280x1024@60"},
    {"014.bin", "GBT", "1.4", "AORUS FI32U"sv, "21190B000899"sv,
     "640x480@60 640x480@67 640x480@72 640x480@75 800x600@60 800x600@72 800x600@75 1024x768@60 "
     "1024x768@70 1024x768@75 1280x1024@75 1920x1080@60 1920x1080@120 1280x720@60 1280x720@100 "
     "1280x720@120"},
    {"020.bin", "GSM", "1.3", "LG TV"sv, ""sv,
     "720x400@70 640x480@60 800x600@60 1024x768@60 640x480@60 800x600@60 1024x768@60 1152x864@60"},
    {"021.bin", "HWP", "1.4", "HP ZR30w"sv, "CN42170BSQ"sv, ""},
    {"039.bin", "PRI", "1.3", "HDMI LCD TV"sv, ""sv,
     "720x400@70 640x480@60 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 800x600@75 "
     "1024x768@60 1024x768@70 1024x768@75 1600x1200@60 1024x768@85 800x600@85 640x480@85 "
     "1920x1080@60 1280x1024@60"},
    {"049.bin", "ACR", "1.3", "X223W"sv, "LAV0C0514012"sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1152x870@75 "
     "1024x768@85 1600x1200@60 1152x864@75 1280x960@60 1360x765@60 1440x1440@60 1440x1440@75 "
     "1400x1050@60"},
    {"062.bin", "APP", "1.4", "Color LCD"sv, ""sv, ""},
    {"074.bin", "APP", "1.4", "LED Cinema"sv, "2ARU056S0K0"sv, "1920x1920@60"},
    {"083.bin", "HSL", "1.2", "720E"sv, "0000000000"sv,
     "720x400@70 640x480@60 640x480@75 800x600@75 1024x768@75 640x480@85 800x600@85 1024x768@85 "
     "1280x1024@60"},
    {"085.bin", "ENC", "1.2", "L795"sv, "26475014"sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1152x870@75 "
     "1280x1024@60 1280x960@75 1280x960@60 1152x864@85 1152x864@75 1024x768@85 800x600@85 "
     "640x480@85"},
    {"086.bin", "SAM", "1.1", ""sv, "HCFR802052"sv,
     "720x400@70 720x400@88 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 "
     "800x600@72 800x600@75 832x624@75 1024x768@87i 1024x768@60 1024x768@70 1024x768@75 640x480@85 "
     "800x600@85 1024x768@85 1280x1024@60"},
    {"089.bin", "HTC", "1.1", "CM621F"sv, ""sv,
     "720x400@70 720x400@88 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 "
     "800x600@72 800x600@75 832x624@75 1024x768@87i 1024x768@60 1024x768@70 1024x768@75 "
     "1152x870@75 640x480@85 800x600@85 1024x768@85 640x480@70 1280x960@60 1024x768@60"},
    {"091.bin", "PHL", "1.0", ""sv, ""sv,
     "640x480@60 640x480@75 800x600@60 800x600@75 1024x768@60 800x600@85 248x248@60 248x248@60 "
     "248x248@60 248x248@60 248x248@60 248x248@60 248x248@60"},
    {"093.bin", "ENC", "1.2", "L365"sv, "K3219052"sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75"},
    {"095.bin", "ENC", "1.2", "L461"sv, "65950061"sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1152x870@75 "
     "1280x1024@60 1280x960@60 1280x960@75 1152x864@75 1024x768@85 800x600@85 640x480@85"},
    {"099.bin", "HWP", "1.1", "HP All-in-One    "sv, ""sv, ""},
    {"102.bin", "HWP", "1.0", ""sv, ""sv,
     "720x400@70 640x480@60 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 800x600@75 "
     "1024x768@87i 1024x768@60 248x248@60 248x248@60 248x248@60 248x248@60 248x248@60 248x248@60 "
     "248x248@60 248x248@60"},
    {"104.bin", "DMI", "1.0", "LCD Multi-Med  ia Display     "sv, ""sv,
     "720x400@70 720x400@88 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 "
     "800x600@72 800x600@75 832x624@75 1024x768@87i 1024x768@60 1024x768@70 1024x768@75 "
     "1280x1024@75 1152x870@75 640x480@85 800x600@85 1024x768@85 1280x1024@85 1280x720@60 "
     "1280x720@60 1280x1024@60 248x248@60 248x248@60 248x248@60 248x248@60 248x248@60"},
    {"105.bin", "GSM", "1.1", "StudioWorks 5  52V"sv, ""sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 720x405@70 640x480@60 640x480@75 640x480@85 800x600@75 "
     "800x600@85 1024x768@60"},
    {"110.bin", "OEC", "1.1",
     "15\x22"
     " TFT LCD   Monitor"sv,
     ""sv,
     "720x400@70 640x480@60 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 800x600@75 "
     "832x624@75 1024x768@60 1024x768@70 1024x768@75"},
    {"115.bin", "PHL", "1.1", "PHILIPS 107S"sv, " HD  004315"sv,
     "720x400@70 640x480@60 640x480@72 640x480@75 800x600@60 800x600@72 800x600@75 832x624@75 "
     "1024x768@60 1024x768@70 1024x768@75 640x480@85 800x600@85 1024x768@85 1280x1024@60 "
     "640x480@100 800x600@99 1280x960@60 1152x864@75"},
    {"119.bin", "SAM", "1.1", ""sv, "HJBN107168"sv,
     "720x400@70 720x400@88 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 "
     "800x600@72 800x600@75 832x624@75 1024x768@87i 1024x768@60 1024x768@70 1024x768@75 640x480@85 "
     "800x600@85 1024x768@75"},
};

class RealEdid : public ::testing::Test {
  protected:
    RealEdid() : ns_("QORASST_NAMESPACE", UniqueNamespace()), use_(machine_) {}
    ScopedEnv ns_;
    TempMachine machine_;
    UseMachine use_;
};

TEST_F(RealEdid, EveryBlockIsCapturedAndDecoded) {
    int seen = 0;
    for (int n = 0; n < kRealBlocks; ++n) {
        const std::string file = FileName(n);
        const Bytes block = ReadBlock(file);
        ASSERT_EQ(block.size(), 128u) << file;
        ++seen;
        PlaceInEbda(machine_, block);
        ASSERT_EQ(MonitorCaptureEDID(), ASSET_OK) << file;
        std::array<uint8_t, 128> got{};
        ASSERT_EQ(MonitorGetEDIDBlock(got.data(), 128), ASSET_OK) << file;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), block.begin())) << file;

        EXPECT_EQ(Get(MonitorGetManufacturer).result, ASSET_OK) << file;
        EXPECT_EQ(Get(MonitorGetVersion).result, ASSET_OK) << file;
        const Text product = Get(MonitorGetProduct);
        EXPECT_TRUE(product.result == ASSET_OK || product.result == ASSET_ERR_EDID_NAME) << file;
        const Text serial = Get(MonitorGetSerialNumber);
        EXPECT_TRUE(serial.result == ASSET_OK || serial.result == ASSET_ERR_EDID_SERIAL) << file;
        EXPECT_LE(product.bytes.size(), 58u);
        EXPECT_LE(serial.bytes.size(), 58u);
        ModeList();
    }
    EXPECT_EQ(seen, kRealBlocks);
}

TEST_F(RealEdid, DecodedValuesMatchTheBytes) {
    for (const Expected &e : kExpected) {
        PlaceInEbda(machine_, ReadBlock(e.file));
        ASSERT_EQ(MonitorCaptureEDID(), ASSET_OK) << e.file;
        const Text manufacturer = Get(MonitorGetManufacturer);
        EXPECT_EQ(manufacturer.result, ASSET_OK);
        EXPECT_EQ(manufacturer.bytes, e.manufacturer) << e.file;
        EXPECT_EQ(Get(MonitorGetVersion).bytes, e.version) << e.file;

        const Text product = Get(MonitorGetProduct);
        EXPECT_EQ(product.result, e.product.empty() ? ASSET_ERR_EDID_NAME : ASSET_OK) << e.file;
        EXPECT_EQ(product.bytes,
                  std::string(e.product.substr(0, e.product.find_last_not_of('\0') + 1)))
            << e.file;
        const Text serial = Get(MonitorGetSerialNumber);
        EXPECT_EQ(serial.result, e.serial.empty() ? ASSET_ERR_EDID_SERIAL : ASSET_OK) << e.file;
        EXPECT_EQ(serial.bytes,
                  std::string(e.serial.substr(0, e.serial.find_last_not_of('\0') + 1)))
            << e.file;

        EXPECT_EQ(ModeList(), e.modes) << e.file;
    }
}

}  // namespace
