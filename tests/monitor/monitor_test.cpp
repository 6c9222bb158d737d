// The monitor: EDID capture from a simulated EBDA with every result it reports and the
// physical-memory traffic it makes, the decoding behind the monitor exports, and the 120 real
// EDID blocks.
#include "monitor/monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "QORasstW.h"
#include "support/machine.h"

namespace {

using namespace std::string_view_literals;
using qorsim::Bytes;
using Poke = std::pair<int, std::string_view>;  // bytes at an offset of the block

constexpr uint16_t kSegment = 0x9FC0;
constexpr uint32_t kBase = 0x9FC00;
constexpr uint32_t kRecord = 0x9FD80;
constexpr uint32_t kBlock = 0x9FD90;
constexpr int kModes = 31;  // every timing bit and eight standard slots
using Text = int (*)(char *, int);

// A block with the header, maker ABC, version 1.3, no timings, all standard slots unused and
// no descriptors, then the pokes; byte 127 balances the sum.
Bytes Block(const std::vector<Poke> &pokes) {
    Bytes e(128, 0);
    std::memcpy(e.data(), "\0\xFF\xFF\xFF\xFF\xFF\xFF\0\x04\x43", 10);
    e[18] = 1, e[19] = 3;
    std::fill(e.begin() + 38, e.begin() + 54, uint8_t{0x01});
    for (const Poke &p : pokes) std::memcpy(e.data() + p.first, p.second.data(), p.second.size());
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += e[i];
    e[127] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    return e;
}

// A name, a serial number, every timing bit and eight standard slots (31 modes).
const std::vector<Poke> kNamed = {
    {35, "\xFF\xFF\xFF"sv},
    {38, "\x81\x80\x31\x40\x31\x40\x31\x40\x31\x40\x31\x40\x31\x40\xD1\xCF"sv},
    {72, "\0\0\0\xFC\0TEST VIEW\n   "sv},
    {90, "\0\0\0\xFF\0SN0042\n      "sv}};

// Where the BIOS data area, the EBDA and its record point.
struct Ebda {
    uint16_t segment = kSegment;
    uint8_t kib = 1;
    uint32_t record = kRecord, block = kBlock;
};

void PlaceEbda(TempMachine &m, const Bytes &block, const Ebda &e = {}) {
    m.placeMemory(0x40E, {static_cast<uint8_t>(e.segment), static_cast<uint8_t>(e.segment >> 8)});
    m.placeMemory(uint32_t{e.segment} * 16, {e.kib});
    Bytes record = {'E', 'D', 'I', 'D', 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) record[4 + i] = static_cast<uint8_t>(e.block >> (8 * i));
    m.placeMemory(e.record, record);
    if (e.block != 0 && e.block < 0xFFFFFF00u) m.placeMemory(e.block, block);
}

// A text export's answer and the 64-byte buffer ('#' untouched) given as the size, up to the
// last non-zero byte.
std::pair<int, std::string> Get(Text get, int size = 64) {
    std::string bytes(64, '#');
    const int result = get(bytes.data(), size);
    bytes.resize(bytes.find_last_not_of('\0') + 1);  // npos + 1 is 0: nothing delivered
    return {result, bytes};
}

// MonitorGetResolution's answer and what it wrote: result, width, height, refresh, kind (-7
// untouched).
std::array<int, 5> Mode(int index) {
    std::array<int, 5> m = {-1, -7, -7, -7, -7};
    m[0] = MonitorGetResolution(index, &m[1], &m[2], &m[3], &m[4]);
    return m;
}

// The mode table through the export, "WxH@R" each ("i" marks kind 5, the interlaced mode, "?"
// a kind other than 4 or 5).
std::string ModeList() {
    std::string s;
    std::array<int, 5> m;
    for (int i = 0; (m = Mode(i))[0] == ASSET_OK && i <= kModes; ++i)
        s += " " + std::to_string(m[1]) + "x" + std::to_string(m[2]) + "@" + std::to_string(m[3]) +
             std::string(m[4] == 5 ? "i" : "") + (m[4] == 4 || m[4] == 5 ? "" : "?");
    EXPECT_EQ(m[0], ASSET_ERR_MODE_INDEX);
    return s.substr(s.empty() ? 0 : 1);
}

class MonitorTest : public MachineFixture {
  protected:
    void Load(const Bytes &block) {
        PlaceEbda(machine_, block);
        ASSERT_EQ(MonitorCaptureEDID(), ASSET_OK);
    }
};

TEST_F(MonitorTest, CaptureResults) {
    struct Case {
        const char *name;
        int expected;
        const char *last;  // the last physical-memory line before the close
        Ebda ebda = {};
        const char *key = nullptr, *value = nullptr;  // a fault in machine.conf
        int damage = 0;  // 1: the sum is off; 2: the header is changed, the sum kept
    };
    const char *kNotFound = "PMEM SEARCH 45444944 0009FC00 0009FFFF 16 00000000";
    const char *kBlockRead = "PMEM READ 0009FD90 128 ok";
    const Ebda far = {kSegment, 1, kRecord, 0xFFFFFFC0u};  // the block would pass 4 GiB
    const Case cases[] = {
        {"no physical memory", ASSET_ERR_EDID_PMEM, "PMEM INIT 0", {}, "pmem", "unavailable"},
        {"open fails", ASSET_ERR_EDID_OPEN, "PMEM OPEN fail", {}, "pmem_open", "fail"},
        {"reads fail", ASSET_ERR_EDID_READ, "PMEM READ 0000040E 2 fail", {}, "pmem_read", "fail"},
        {"EBDA segment 0", ASSET_ERR_EDID_READ, "PMEM READ 0000040E 2 ok", {0}},
        {"EBDA size 0", ASSET_ERR_EDID_READ, "PMEM READ 0009FC00 1 ok", {kSegment, 0}},
        {"EBDA size 17", ASSET_ERR_EDID_READ, "PMEM READ 0009FC00 1 ok", {kSegment, 17}},
        {"record off the steps", ASSET_ERR_EDID_RECORD, kNotFound, {kSegment, 1, kRecord + 8}},
        {"address 0", ASSET_ERR_EDID_READ, "PMEM READ 0009FD84 4 ok", {kSegment, 1, kRecord, 0}},
        {"block fails", ASSET_ERR_EDID_READ, "PMEM READ FFFFFFC0 128 fail", far},
        {"sum not 0", ASSET_ERR_EDID_CHECKSUM, kBlockRead, {}, nullptr, nullptr, 1},
        {"all found", ASSET_OK, kBlockRead},
        {"16 KiB searched to its end", ASSET_OK, kBlockRead, {kSegment, 16, kBase + 0x3FF0}},
        {"damaged header, good sum", ASSET_OK, kBlockRead, {}, nullptr, nullptr, 2},
    };
    for (const Case &c : cases) {
        TempMachine m;
        UseMachine use(m);
        Bytes block = Block(kNamed);
        if (c.damage == 1) block[127] = static_cast<uint8_t>(block[127] + 1);
        if (c.damage == 2) block[0] = 0x12, block[127] = static_cast<uint8_t>(block[127] - 0x12);
        PlaceEbda(m, block, c.ebda);
        if (c.key != nullptr) m.conf(c.key, c.value);
        m.enableLog();
        EXPECT_EQ(MonitorCaptureEDID(), c.expected) << c.name;
        const bool ok = c.expected == ASSET_OK;
        std::vector<std::string> lines = m.pmemLog();
        EXPECT_TRUE(PmemClosedAfterEveryOpen(lines)) << c.name;
        if (!lines.empty() && lines.back() == "PMEM CLOSE") lines.pop_back();
        EXPECT_EQ(lines.empty() ? "" : lines.back(), c.last) << c.name;

        // The block handed out: at most 128 bytes, the rest of the buffer untouched; after a
        // failure nothing is captured, and every reader answers 51 and writes nothing.
        for (int size : {0, -1, 1, 64, 128, 200}) {
            std::vector<uint8_t> buf(256, 0xEE), want(256, 0xEE);
            if (ok) std::copy_n(block.begin(), std::clamp(size, 0, 128), want.begin());
            EXPECT_EQ(MonitorGetEDIDBlock(buf.data(), size), ok ? ASSET_OK : ASSET_ERR_NO_EDID);
            EXPECT_EQ(buf, want) << c.name << " " << size;
        }
        if (ok) continue;
        for (Text get :
             {MonitorGetManufacturer, MonitorGetProduct, MonitorGetVersion, MonitorGetSerialNumber})
            EXPECT_EQ(Get(get), std::make_pair(int{ASSET_ERR_NO_EDID}, std::string(64, '#')));
        EXPECT_EQ(Mode(0), (std::array{51, -7, -7, -7, -7}));
    }
}

// What the exports deliver from a block, into 64 bytes given as the size.
TEST_F(MonitorTest, Decoding) {
    struct Case {
        std::vector<Poke> bytes;
        Text get;
        int result;
        std::string text;  // all 64 bytes up to the last non-zero one ('#' untouched)
        int size = 64;
    };
    const auto F = [](size_t n) { return std::string(n, '#'); };
    const std::string_view full = "\0\0\0\xFF\0ABCDEFGHIJKLM"sv;  // four: the longest text
    const std::string four = "ABCDEFGHIJKLM  ABCDEFGHIJKLM  ABCDEFGHIJKLM  ABCDEFGHIJKLM";
    const Text maker = MonitorGetManufacturer, version = MonitorGetVersion;
    const Text name = MonitorGetProduct, serial = MonitorGetSerialNumber;
    const Case cases[] = {
        // Bytes 8-9 and 18-19: bit 15 is ignored, and no letter is validated.
        {{{8, "\x84\x43"sv}}, maker, 0, "ABC"},
        {{{8, "\0\0"sv}}, maker, 0, "@@@"},
        {{{18, "\x02\x0A"sv}}, version, 0, "2.10"},
        {{{18, "\xFF\xFF"sv}}, version, 0, "255.255"},
        // The 0xFC (name) and 0xFF (serial) descriptors.
        {{{54, "\0\0\0\xFC\0A1\n"sv}, {108, "\0\0\0\xFC\0B2\n"sv}}, name, 0, "A1  B2"},
        {{{90, "\0\0\0\xFC\0ABCDEFGHIJ KL"sv}}, name, 0, "ABCDEFGHIJ KL"},  // 13, whole
        {{{54, "\0\0\0\xFF\0SN 12  \rXYZ"sv}}, serial, 0, "SN 12  "},       // CR ends it
        {{{54, "\0\0\0\xFC\0\nNAME"sv}}, name, ASSET_ERR_EDID_NAME, ""},    // empty text
        {{{54, "\0\0\0\xFC\0NAME\n"sv}, {72, "\0\0\0\xFC\0\n"sv}}, name, 0, "NAME  "},
        {{{54, "\0\0\0\xFE\0Z\n"sv}, {72, "\0\0\0\xFF\0Y\n"sv}}, name, ASSET_ERR_EDID_NAME, ""},
        {{{54, "\0\0\0\xFC\0Z\n"sv}}, serial, ASSET_ERR_EDID_SERIAL, ""},
        {{{54, full}, {72, full}, {90, full}, {108, full}}, serial, 0, four},
        // Bytes 0 to 2 must be zero and byte 3 the tag; byte 4 is not looked at.
        {{{54, "\0\0\1\xFC\0X\n"sv}, {72, "\0\0\0\xFC\x55Y\n"sv}}, name, 0, "Y"},
        // Cut to the buffer, 23 bytes as the queries ask; size 6 of a missing text is zeroed.
        {{}, maker, 0, std::string("AB\0", 3) + F(61), 3},
        {{}, maker, 0, F(64), -1},
        {{}, version, 0, std::string("1\0", 2) + F(62), 2},
        {kNamed, name, 0, std::string("TEST \0", 6) + F(58), 6},
        {kNamed, serial, 0, "SN0042" + std::string(17, '\0') + F(41), 23},
        {{}, serial, ASSET_ERR_EDID_SERIAL, std::string(6, '\0') + F(58), 6},
        {{}, name, ASSET_ERR_EDID_NAME, F(64), 0},
    };
    for (const Case &c : cases) {
        Load(Block(c.bytes));
        EXPECT_EQ(Get(c.get, c.size), std::make_pair(c.result, c.text));
    }
    const std::pair<std::vector<Poke>, std::string> mode_cases[] = {
        // The mode table: the timing bits (bit 0 of byte 33 closes bits 6 to 1 of byte 37, bit 7
        // still counts), then the standard slots in order, nothing merged; only 0x01 0x01 marks
        // an unused slot; aspect 0 is 1:1, and heights are cut to whole lines (2288 * 9 / 16).
        {kNamed,
         "720x400@70 720x400@88 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 "
         "800x600@72 800x600@75 832x624@75 1024x768@87i 1024x768@60 1024x768@70 1024x768@75 "
         "1280x1024@75 1152x870@75 640x480@85 800x600@85 1024x768@85 1280x1024@85 1600x1200@75 "
         "1600x1200@85 1280x1024@60 640x480@60 640x480@60 640x480@60 640x480@60 640x480@60 "
         "640x480@60 1920x1080@75"},
        {{{33, "\x01"sv}, {37, "\xFF"sv}}, "1152x870@75"},
        {{{33, "\xFE"sv}, {37, "\xFF"sv}},
         "1152x870@75 640x480@85 800x600@85 1024x768@85 1280x1024@85 1600x1200@75 1600x1200@85"},
        {{{35, "\x20"sv}, {42, "\x31\x40\0\0\x01\0\xFF\xFF\x3B\x80"sv}},
         "640x480@60 640x480@60 248x248@60 256x256@60 2288x1287@123 720x576@60"},
        {{}, ""},
    };
    for (const auto &[bytes, modes] : mode_cases) {
        Load(Block(bytes));
        EXPECT_EQ(ModeList(), modes);
    }
}

// Many first calls at once, then one more: all see the same table, built once.
TEST_F(MonitorTest, ModeTableBuiltOnceUnderManyThreads) {
    for (int round = 0; round < 20; ++round) {
        Load(Block(kNamed));
        std::atomic<int> go{0};
        std::vector<std::string> seen(5);
        std::vector<std::thread> threads;
        for (size_t t = 1; t < seen.size(); ++t)
            threads.emplace_back([&, t] {
                while (go.load() == 0) std::this_thread::yield();
                seen[t] = ModeList();
            });
        go.store(1);
        for (std::thread &t : threads) t.join();
        seen[0] = ModeList();
        EXPECT_EQ(seen, std::vector<std::string>(5, seen[0]));
    }
    // An index outside the list writes nothing.
    for (int index : {kModes, -1})
        EXPECT_EQ(Mode(index), (std::array{int{ASSET_ERR_MODE_INDEX}, -7, -7, -7, -7}));
}

// Values read off the bytes by hand: manufacturer (bytes 8-9), version (18-19), the 0xFC and
// 0xFF descriptor texts, and the modes announced by bytes 35-37 (with the gate of byte 33) and
// the standard-timing slots, in that order.
struct Expected {
    int number;
    const char *maker_version;
    std::string_view product;
    std::string_view serial;
    std::string modes;
};

const Expected kExpected[] = {
    {1, "SDC 1.4", ""sv, ""sv, ""},
    {5, "SAM 1.3", "C32R50x"sv, "H4CW700524V\x00 "sv,
     "720x400@70 640x480@60 640x480@67 640x480@72 640x480@75 800x600@56 800x600@60 800x600@72 "
     "800x600@75 832x624@75 1024x768@60 1024x768@70 1024x768@75 1280x1024@75 1152x870@75 "
     "1152x864@75 1280x720@60 1280x1280@60 1280x1024@60 1440x1440@60 1600x900@60 1680x1680@60"},
    {115, "PHL 1.1", "PHILIPS 107S"sv, " HD  004315"sv,
     "720x400@70 640x480@60 640x480@72 640x480@75 800x600@60 800x600@72 800x600@75 832x624@75 "
     "1024x768@60 1024x768@70 1024x768@75 640x480@85 800x600@85 1024x768@85 1280x1024@60 "
     "640x480@100 800x600@99 1280x960@60 1152x864@75"},
};

TEST_F(MonitorTest, RealBlocksAreCapturedAndDecoded) {
    size_t row = 0;
    for (int n = 0; n < 120; ++n) {
        const std::string file = std::to_string(1000 + n).substr(1) + ".bin";
        SCOPED_TRACE(file);
        const std::string bytes = ReadWholeFile(std::string(QOR_TEST_DATA_DIR) + "/edid/" + file);
        const Bytes block(bytes.begin(), bytes.end());
        ASSERT_EQ(block.size(), 128u);
        Load(block);
        Bytes got(128);
        ASSERT_EQ(MonitorGetEDIDBlock(got.data(), 128), ASSET_OK);
        EXPECT_EQ(got, block);
        const auto maker = Get(MonitorGetManufacturer), version = Get(MonitorGetVersion);
        const auto product = Get(MonitorGetProduct), serial = Get(MonitorGetSerialNumber);
        const std::string modes = ModeList();
        EXPECT_EQ(maker.first + version.first, ASSET_OK);
        EXPECT_TRUE(product.first == ASSET_OK || product.first == ASSET_ERR_EDID_NAME);
        EXPECT_TRUE(serial.first == ASSET_OK || serial.first == ASSET_ERR_EDID_SERIAL);
        if (row == std::size(kExpected) || kExpected[row].number != n) continue;
        const Expected &e = kExpected[row++];
        EXPECT_EQ(maker.second + " " + version.second, e.maker_version);
        EXPECT_EQ(product, std::make_pair(e.product.empty() ? 57 : 0, std::string(e.product)));
        EXPECT_EQ(serial, std::make_pair(e.serial.empty() ? 56 : 0, std::string(e.serial)));
        EXPECT_EQ(modes, e.modes);
    }
    EXPECT_EQ(row, std::size(kExpected));
}

}  // namespace
