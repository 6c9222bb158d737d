// EDID capture from a simulated EBDA, every failure it reports, the physical-memory traffic
// it makes, and the monitor exports over what it captured.
#include "monitor/monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "platform/thread.h"
#include "support/machine.h"

namespace {

using qorsim::Bytes;

constexpr uint16_t kSegment = 0x9FC0;
constexpr uint32_t kBase = 0x9FC00;
constexpr uint32_t kRecord = 0x9FD80;
constexpr uint32_t kBlock = 0x9FD90;

Bytes Le(uint32_t value, int count) {
    Bytes b;
    for (int i = 0; i < count; ++i) b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return b;
}

Bytes Record(uint32_t block_address) {
    Bytes r = {'E', 'D', 'I', 'D'};
    const Bytes a = Le(block_address, 4);
    r.insert(r.end(), a.begin(), a.end());
    return r;
}

// A balanced block with a name, a serial number, two timing bits and two standard slots.
Bytes TestBlock() {
    Bytes e(128, 0);
    const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::memcpy(e.data(), header, 8);
    e[8] = 0x04;  // "ABC"
    e[9] = 0x43;
    e[18] = 1;
    e[19] = 3;
    e[35] = 0x21;  // 640x480@60, 800x600@60
    e[36] = 0x10;  // 1024x768@87 interlaced
    for (int i = 38; i < 54; ++i) e[i] = 0x01;
    e[38] = 0x81;  // 1280x1024@60
    e[39] = 0x80;
    e[40] = 0xD1;  // 1920x1080@75
    e[41] = 0xCF;
    const char name[13] = {'T', 'E', 'S', 'T', ' ', 'V', 'I', 'E', 'W', 0x0A, 0x20, 0x20, 0x20};
    e[72 + 3] = 0xFC;
    std::memcpy(e.data() + 72 + 5, name, 13);
    const char serial[13] = {'S',  'N',  '0',  '0',  '4',  '2', 0x0A,
                             0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
    e[90 + 3] = 0xFF;
    std::memcpy(e.data() + 90 + 5, serial, 13);
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += e[i];
    e[127] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    return e;
}

// A machine whose BIOS data area points at a 1 KiB EBDA holding the EDID record.
void PlaceEbda(TempMachine &m, const Bytes &block, uint16_t segment = kSegment, uint8_t kib = 1,
               uint32_t record = kRecord, uint32_t block_address = kBlock) {
    m.placeMemory(0x40E, Le(segment, 2));
    m.placeMemory(uint32_t{segment} * 16, {kib});
    m.placeMemory(record, Record(block_address));
    if (block_address != 0 && block_address < 0xFFFFFF00u) m.placeMemory(block_address, block);
}

std::vector<std::string> PmemLines(const TempMachine &m) {
    std::vector<std::string> lines;
    for (const std::string &line : m.log())
        if (line.rfind("PMEM", 0) == 0) lines.push_back(line);
    return lines;
}

// Every successful open is followed by exactly one close, and the close ends the traffic.
void ExpectClosedAfterOpen(const std::vector<std::string> &lines, const std::string &name) {
    int opened = 0, closed = 0;
    for (const std::string &line : lines) {
        if (line == "PMEM OPEN ok") ++opened;
        if (line == "PMEM CLOSE") ++closed;
    }
    EXPECT_EQ(opened, closed) << name;
    if (opened > 0) {
        EXPECT_EQ(lines.back(), "PMEM CLOSE") << name;
    }
}

class MonitorTest : public ::testing::Test {
  protected:
    MonitorTest() : ns_("QORASST_NAMESPACE", UniqueNamespace()), use_(machine_) {
        machine_.enableLog();
    }
    // Captures from the machine as it now stands, with a fresh log.
    int Capture() {
        machine_.clearLog();
        return MonitorCaptureEDID();
    }

    ScopedEnv ns_;
    TempMachine machine_;
    UseMachine use_;
};

TEST_F(MonitorTest, CaptureReadsTheChainOfPointers) {
    const Bytes block = TestBlock();
    PlaceEbda(machine_, block);
    ASSERT_EQ(Capture(), ASSET_OK);
    EXPECT_EQ(PmemLines(machine_), (std::vector<std::string>{
                                       "PMEM INIT 1",
                                       "PMEM OPEN ok",
                                       "PMEM READ 0000040E 2 ok",
                                       "PMEM READ 0009FC00 1 ok",
                                       "PMEM SEARCH 45444944 0009FC00 0009FFFF 16 0009FD80",
                                       "PMEM READ 0009FD84 4 ok",
                                       "PMEM READ 0009FD90 128 ok",
                                       "PMEM CLOSE",
                                   }));
    std::array<uint8_t, 128> got{};
    EXPECT_EQ(MonitorGetEDIDBlock(got.data(), 128), ASSET_OK);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), block.begin()));
}

TEST_F(MonitorTest, CaptureFailures) {
    struct Case {
        const char *name;
        int expected;
        void (*setup)(TempMachine &);
        std::vector<std::string> must_log;  // lines that must appear, in this order
        const char *must_not_log;           // a prefix that must not appear
    };
    static const Bytes block = TestBlock();
    const Case cases[] = {
        {"physical memory unavailable",
         ASSET_ERR_EDID_PMEM,
         [](TempMachine &m) {
             PlaceEbda(m, block);
             m.conf("pmem", "unavailable");
         },
         {"PMEM INIT 0"},
         "PMEM OPEN"},
        {"open fails",
         ASSET_ERR_EDID_OPEN,
         [](TempMachine &m) {
             PlaceEbda(m, block);
             m.conf("pmem_open", "fail");
         },
         {"PMEM OPEN fail"},
         "PMEM CLOSE"},
        {"reads fail",
         ASSET_ERR_EDID_READ,
         [](TempMachine &m) {
             PlaceEbda(m, block);
             m.conf("pmem_read", "fail");
         },
         {"PMEM READ 0000040E 2 fail", "PMEM CLOSE"},
         "PMEM SEARCH"},
        {"EBDA segment 0",
         ASSET_ERR_EDID_READ,
         [](TempMachine &m) { PlaceEbda(m, block, 0); },
         {"PMEM READ 0000040E 2 ok", "PMEM CLOSE"},
         "PMEM SEARCH"},
        {"nothing placed at all",
         ASSET_ERR_EDID_READ,
         [](TempMachine &) {},
         {"PMEM READ 0000040E 2 ok", "PMEM CLOSE"},
         "PMEM SEARCH"},
        {"EBDA size 0",
         ASSET_ERR_EDID_READ,
         [](TempMachine &m) { PlaceEbda(m, block, kSegment, 0); },
         {"PMEM READ 0009FC00 1 ok", "PMEM CLOSE"},
         "PMEM SEARCH"},
        {"EBDA size 17",
         ASSET_ERR_EDID_READ,
         [](TempMachine &m) { PlaceEbda(m, block, kSegment, 17); },
         {"PMEM READ 0009FC00 1 ok", "PMEM CLOSE"},
         "PMEM SEARCH"},
        {"EBDA size 255",
         ASSET_ERR_EDID_READ,
         [](TempMachine &m) { PlaceEbda(m, block, kSegment, 255); },
         {"PMEM CLOSE"},
         "PMEM SEARCH"},
        {"no record",
         ASSET_ERR_EDID_RECORD,
         [](TempMachine &m) {
             m.placeMemory(0x40E, Le(kSegment, 2));
             m.placeMemory(kBase, {1});
         },
         {"PMEM SEARCH 45444944 0009FC00 0009FFFF 16 00000000", "PMEM CLOSE"},
         "PMEM READ 0009FD84"},
        {"record off the 16-byte steps",
         ASSET_ERR_EDID_RECORD,
         [](TempMachine &m) { PlaceEbda(m, block, kSegment, 1, kRecord + 8); },
         {"PMEM CLOSE"},
         "PMEM READ 0009FD8C"},
        {"record past the EBDA's size",
         ASSET_ERR_EDID_RECORD,
         [](TempMachine &m) { PlaceEbda(m, block, kSegment, 1, kBase + 0x400); },
         {"PMEM SEARCH 45444944 0009FC00 0009FFFF 16 00000000", "PMEM CLOSE"},
         "PMEM READ 000A0004"},
        {"record address 0",
         ASSET_ERR_EDID_READ,
         [](TempMachine &m) { PlaceEbda(m, block, kSegment, 1, kRecord, 0); },
         {"PMEM READ 0009FD84 4 ok", "PMEM CLOSE"},
         "PMEM READ 00000000"},
        {"block read fails",
         ASSET_ERR_EDID_READ,
         [](TempMachine &m) { PlaceEbda(m, block, kSegment, 1, kRecord, 0xFFFFFFC0u); },
         {"PMEM READ FFFFFFC0 128 fail", "PMEM CLOSE"},
         ""},
        {"checksum not 0",
         ASSET_ERR_EDID_CHECKSUM,
         [](TempMachine &m) {
             Bytes bad = block;
             bad[127] = static_cast<uint8_t>(bad[127] + 1);
             PlaceEbda(m, bad);
         },
         {"PMEM READ 0009FD90 128 ok", "PMEM CLOSE"},
         ""},
    };
    for (const Case &c : cases) {
        TempMachine m;
        UseMachine use(m);
        c.setup(m);
        m.enableLog();
        m.clearLog();
        EXPECT_EQ(MonitorCaptureEDID(), c.expected) << c.name;
        const std::vector<std::string> lines = PmemLines(m);
        ExpectClosedAfterOpen(lines, c.name);
        size_t at = 0;
        for (const std::string &want : c.must_log) {
            while (at < lines.size() && lines[at] != want) ++at;
            EXPECT_LT(at, lines.size()) << c.name << ": no " << want;
        }
        if (c.must_not_log[0] != '\0') {
            for (const std::string &line : lines)
                EXPECT_NE(line.rfind(c.must_not_log, 0), 0u) << c.name << ": " << line;
        }
        // Nothing is captured on a failure: every reader answers 51 and writes nothing.
        std::array<uint8_t, 8> buf;
        buf.fill(0xEE);
        EXPECT_EQ(MonitorGetEDIDBlock(buf.data(), 8), ASSET_ERR_NO_EDID) << c.name;
        EXPECT_EQ(buf[0], 0xEE);
    }
}

TEST_F(MonitorTest, CaptureEdgesThatSucceed) {
    // The largest EBDA: 16 KiB, searched to its last 16-byte step.
    PlaceEbda(machine_, TestBlock(), kSegment, 16, kBase + 0x3FF0);
    EXPECT_EQ(Capture(), ASSET_OK);
    const std::vector<std::string> lines = PmemLines(machine_);
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "PMEM SEARCH 45444944 0009FC00 000A3BFF 16 000A3BF0"),
        lines.end());

    // A damaged header with a balanced sum is accepted: the sum is the only test.
    Bytes odd = TestBlock();
    odd[0] = 0x12;
    odd[127] = static_cast<uint8_t>(odd[127] - 0x12);
    PlaceEbda(machine_, odd);
    EXPECT_EQ(Capture(), ASSET_OK);
    std::array<uint8_t, 128> got{};
    EXPECT_EQ(MonitorGetEDIDBlock(got.data(), 128), ASSET_OK);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), odd.begin()));
}

TEST_F(MonitorTest, EdidBlockCopiesAtMost128Bytes) {
    const Bytes block = TestBlock();
    PlaceEbda(machine_, block);
    ASSERT_EQ(Capture(), ASSET_OK);
    struct Case {
        int size;
        size_t copied;
    };
    const Case cases[] = {{0, 0}, {-1, 0}, {-1000, 0}, {1, 1}, {64, 64}, {128, 128}, {200, 128}};
    for (const Case &c : cases) {
        std::vector<uint8_t> buf(256, 0xEE);
        EXPECT_EQ(MonitorGetEDIDBlock(buf.data(), c.size), ASSET_OK) << c.size;
        for (size_t i = 0; i < buf.size(); ++i) {
            const uint8_t want = i < c.copied ? block[i] : 0xEE;
            ASSERT_EQ(buf[i], want) << "size " << c.size << " byte " << i;
        }
    }
}

TEST_F(MonitorTest, TextExports) {
    PlaceEbda(machine_, TestBlock());
    ASSERT_EQ(Capture(), ASSET_OK);
    using Get = int (*)(char *, int);
    struct Case {
        const char *name;
        Get get;
        int size;
        int result;
        std::string bytes;  // the buffer's first 16 bytes afterwards ('#' untouched)
    };
    const std::string z(1, '\0');
    auto zeros = [](size_t n) { return std::string(n, '\0'); };
    const Case cases[] = {
        {"maker", MonitorGetManufacturer, 16, 0, "ABC" + zeros(13)},
        {"maker cut", MonitorGetManufacturer, 3, 0, "AB" + z + std::string(13, '#')},
        {"maker size 1", MonitorGetManufacturer, 1, 0, z + std::string(15, '#')},
        {"maker size 0", MonitorGetManufacturer, 0, 0, std::string(16, '#')},
        {"maker size -1", MonitorGetManufacturer, -1, 0, std::string(16, '#')},
        {"version", MonitorGetVersion, 16, 0, "1.3" + zeros(13)},
        {"version size 2", MonitorGetVersion, 2, 0, "1" + z + std::string(14, '#')},
        {"product", MonitorGetProduct, 16, 0, "TEST VIEW" + zeros(7)},
        {"product cut", MonitorGetProduct, 6, 0, "TEST " + z + std::string(10, '#')},
        {"product size 0", MonitorGetProduct, 0, 0, std::string(16, '#')},
        {"serial", MonitorGetSerialNumber, 16, 0, "SN0042" + zeros(10)},
        {"serial as the queries ask", MonitorGetSerialNumber, 23, 0, "SN0042" + zeros(10)},
    };
    for (const Case &c : cases) {
        std::array<char, 32> buf;
        buf.fill('#');
        EXPECT_EQ(c.get(buf.data(), c.size), c.result) << c.name;
        EXPECT_EQ(std::string(buf.data(), 16), c.bytes) << c.name;
        for (size_t i = c.size > 16 ? static_cast<size_t>(c.size) : 16; i < buf.size(); ++i)
            EXPECT_EQ(buf[i], '#') << c.name << " byte " << i;
    }
}

TEST_F(MonitorTest, MissingDescriptorsClearTheBuffer) {
    Bytes block = TestBlock();
    block[72 + 3] = 0xFE;  // the name becomes an unspecified text
    block[90 + 3] = 0xFE;  // and so does the serial number
    block[127] = static_cast<uint8_t>(block[127] + 0xFC - 0xFE + 0xFF - 0xFE);
    PlaceEbda(machine_, block);
    ASSERT_EQ(Capture(), ASSET_OK);
    std::array<char, 8> buf;
    buf.fill('#');
    EXPECT_EQ(MonitorGetProduct(buf.data(), 6), ASSET_ERR_EDID_NAME);
    EXPECT_EQ(std::string(buf.data(), 8), std::string(6, '\0') + "##");
    buf.fill('#');
    EXPECT_EQ(MonitorGetSerialNumber(buf.data(), 6), ASSET_ERR_EDID_SERIAL);
    EXPECT_EQ(std::string(buf.data(), 8), std::string(6, '\0') + "##");
    buf.fill('#');
    EXPECT_EQ(MonitorGetProduct(buf.data(), 0), ASSET_ERR_EDID_NAME);
    EXPECT_EQ(std::string(buf.data(), 8), std::string(8, '#'));
}

TEST_F(MonitorTest, NothingCapturedAnswers51AndWritesNothing) {
    machine_.conf("pmem", "unavailable");
    ASSERT_EQ(Capture(), ASSET_ERR_EDID_PMEM);
    std::array<char, 8> buf;
    buf.fill('#');
    for (auto get :
         {MonitorGetManufacturer, MonitorGetProduct, MonitorGetVersion, MonitorGetSerialNumber}) {
        EXPECT_EQ(get(buf.data(), 8), ASSET_ERR_NO_EDID);
        EXPECT_EQ(std::string(buf.data(), 8), std::string(8, '#'));
    }
    int w = -7, h = -7, r = -7, k = -7;
    EXPECT_EQ(MonitorGetResolution(0, &w, &h, &r, &k), ASSET_ERR_NO_EDID);
    EXPECT_EQ(w + h + r + k, -28);
}

TEST_F(MonitorTest, ResolutionsInTableOrder) {
    PlaceEbda(machine_, TestBlock());
    ASSERT_EQ(Capture(), ASSET_OK);
    const int expected[][4] = {{640, 480, 60, 4},
                               {800, 600, 60, 4},
                               {1024, 768, 87, 5},
                               {1280, 1024, 60, 4},
                               {1920, 1080, 75, 4}};
    for (int round = 0; round < 2; ++round) {  // the same list every time
        for (int i = 0; i < 5; ++i) {
            int w = 0, h = 0, r = 0, k = 0;
            ASSERT_EQ(MonitorGetResolution(i, &w, &h, &r, &k), ASSET_OK);
            EXPECT_EQ((std::array<int, 4>{w, h, r, k}),
                      (std::array<int, 4>{expected[i][0], expected[i][1], expected[i][2],
                                          expected[i][3]}))
                << i;
        }
    }
    for (int index : {-1, 5, 6, 1000}) {
        int w = -7, h = -7, r = -7, k = -7;
        EXPECT_EQ(MonitorGetResolution(index, &w, &h, &r, &k), ASSET_ERR_MODE_INDEX) << index;
        EXPECT_EQ(w + h + r + k, -28);
    }

    // No timings at all: an empty table.
    Bytes none = TestBlock();
    none[35] = none[36] = 0;
    for (int i = 38; i < 42; ++i) none[i] = 0x01;
    none[127] = 0;
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += none[i];
    none[127] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    PlaceEbda(machine_, none);
    ASSERT_EQ(Capture(), ASSET_OK);
    int w = 0, h = 0, r = 0, k = 0;
    EXPECT_EQ(MonitorGetResolution(0, &w, &h, &r, &k), ASSET_ERR_MODE_INDEX);
}

// Many first calls at once: each sees the whole table, built once.
struct RaceArgs {
    std::atomic<int> *go;
    int count;
    int modes[31][4];
    int results[31];
};

// Thread handles live as long as the process; they are kept here.
PlatThread *g_race_threads[20][4];

void RaceThread(void *arg) {
    RaceArgs *a = static_cast<RaceArgs *>(arg);
    while (a->go->load() == 0) {
    }
    for (int i = 0; i < a->count; ++i) {
        a->results[i] = MonitorGetResolution(i, &a->modes[i][0], &a->modes[i][1], &a->modes[i][2],
                                             &a->modes[i][3]);
    }
}

TEST_F(MonitorTest, FirstCallsOnManyThreadsAgree) {
    Bytes all = TestBlock();
    all[35] = all[36] = all[37] = 0xFF;
    for (int i = 38; i < 54; i += 2) {
        all[i] = static_cast<uint8_t>(0x31 + i);
        all[i + 1] = static_cast<uint8_t>(i);
    }
    all[127] = 0;
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i) sum += all[i];
    all[127] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    for (int round = 0; round < 20; ++round) {
        PlaceEbda(machine_, all);
        ASSERT_EQ(Capture(), ASSET_OK);
        std::atomic<int> go{0};
        std::vector<RaceArgs> args(4);
        PlatThread **threads = g_race_threads[round];
        for (size_t t = 0; t < args.size(); ++t) {
            args[t] = RaceArgs{&go, 31, {}, {}};
            threads[t] = PlatThreadStart(RaceThread, &args[t]);
            ASSERT_NE(threads[t], nullptr);
        }
        go.store(1);
        for (size_t t = 0; t < args.size(); ++t) PlatThreadWait(threads[t]);
        for (const RaceArgs &a : args) {
            for (int i = 0; i < 31; ++i) {
                ASSERT_EQ(a.results[i], ASSET_OK) << i;
                EXPECT_EQ(std::memcmp(a.modes[i], args[0].modes[i], sizeof a.modes[i]), 0);
            }
        }
        EXPECT_EQ(args[0].modes[30][0], (0x31 + 52) * 8 + 248);
    }
}

}  // namespace
