// The simulated machine through the two hardware libraries' exported functions: transfers,
// the log and its numbering, the counters, fault keys, physical memory and its boundaries,
// processes sharing one machine, and the qorsim tool on a preset.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <set>
#include <tuple>

#include "platform/hwlib.h"
#include "support/machine.h"

namespace {

namespace fs = std::filesystem;

qorsim::Image Pattern() {
    qorsim::Image img;
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    return img;
}

const auto Read = &I2C_SendCommandThenRead;

int Write(std::uint8_t dev, std::uint8_t off, std::vector<std::uint8_t> bytes) {
    return I2C_SendCommandThenWrite(dev, off, bytes.data(), static_cast<int>(bytes.size()));
}

class Bus : public MachineFixture {
  protected:
    Bus() { m.setDevice(0xA8, Pattern()); }
    TempMachine &m = machine_;
};

// Every transfer takes the next sequence number and a log line, refused ones too (they fail
// with 1 and leave image and buffer alone); the counters add up what moved. Opening fails on
// request, and everything without a machine.
TEST_F(Bus, TransfersAreNumberedLoggedAndCounted) {
    m.conf("i2c_open", "fail");
    EXPECT_EQ(I2C_Open(), 0);
    m.clearConf("i2c_open");
    ASSERT_EQ(I2C_Open(), 1);
    std::uint8_t buf[4] = {};
    ASSERT_EQ(Read(0xA8, 0x10, buf, 4), 0);
    ASSERT_EQ(Write(0xA8, 0xFC, {0xDE, 0xAD, 0xBE, 0xEF}), 0);
    ASSERT_EQ(Write(0xA8, 0x00, {0x01}), 0);
    std::uint8_t b[4] = {0x77, 0x77, 0x77, 0x77};
    const std::vector<int> refused = {
        Read(0xA6, 0, b, 1),    Write(0xA6, 0, {0x77}),                       // no device
        Read(0xA8, 0xFF, b, 2), Write(0xA8, 0xFE, {0x77, 0x77, 0x77}),        // past the end
        Read(0xA8, 0x00, b, 0), I2C_SendCommandThenWrite(0xA8, 0x00, b, -1),  // no length
        Read(0xA9, 0x00, b, 1)};                                              // odd address
    EXPECT_EQ(refused, std::vector<int>(7, 1));
    EXPECT_EQ(qorsim::Hex(b, 4), "77777777");
    std::uint8_t all[256];
    ASSERT_EQ(Read(0xA8, 0x00, all, 256), 0);
    I2C_Close();

    qorsim::Image expect = Pattern();
    expect[0] = 0x01;
    expect[0xFC] = 0xDE, expect[0xFD] = 0xAD, expect[0xFE] = 0xBE, expect[0xFF] = 0xEF;
    EXPECT_EQ(m.device(0xA8), expect);
    EXPECT_EQ(m.log(),
              (std::vector<std::string>{
                  "I2C OPEN fail", "I2C OPEN ok", "I2C 1 R A8 10 4 ok 4A4B4849",
                  "I2C 2 W A8 FC 4 ok DEADBEEF", "I2C 3 W A8 00 1 ok 01", "I2C 4 R A6 00 1 fail",
                  "I2C 5 W A6 00 1 fail 77", "I2C 6 R A8 FF 2 fail", "I2C 7 W A8 FE 3 fail 777777",
                  "I2C 8 R A8 00 0 fail", "I2C 9 W A8 00 -1 fail", "I2C 10 R A9 00 1 fail",
                  "I2C 11 R A8 00 256 ok " + qorsim::Hex(expect.data(), 256), "I2C CLOSE"}));
    EXPECT_EQ(m.counters(), (qorsim::Counters{11, 260, 5}));

    // With the log off nothing is written, but the counters go on.
    m.conf("log", "off");
    m.clearLog();
    ASSERT_EQ(Read(0xA8, 0, buf, 2), 0);
    EXPECT_TRUE(m.log().empty());
    EXPECT_EQ(m.counters(), (qorsim::Counters{12, 262, 5}));

    ScopedEnv none(qorsim::kMachineEnv, "");
    const std::vector<int> results = {I2C_Open(), Read(0xA8, 0, buf, 1), Write(0xA8, 0, {1}),
                                      PMemIsInitialized(), PMemOpen()};
    EXPECT_EQ(results, (std::vector<int>{0, 1, 1, 0, 0}));
}

TEST_F(Bus, InjectedFaultsHitTheNamedTransfers) {
    // The keys set, and the results of: read A8, write A8, read AA, read A8 three times.
    const std::pair<std::vector<std::pair<std::string, std::string>>, std::vector<int>> cases[] = {
        {{}, {0, 0, 1, 0, 0, 0}},
        {{{"fail_transfer", "2"}}, {0, 1, 1, 0, 0, 0}},
        {{{"fail_transfer", "1"}, {"fail_transfer", "5"}}, {1, 0, 1, 0, 1, 0}},
        {{{"fail_from", "4"}}, {0, 0, 1, 1, 1, 1}},
        {{{"fail_device", "A8"}}, {2, 2, 1, 2, 2, 2}},
        {{{"fail_device", "AA"}, {"fail_device", "0xa8"}}, {2, 2, 2, 2, 2, 2}},
        {{{"fail_device", "A2"}, {"fail_transfer", "6"}}, {0, 0, 1, 0, 0, 1}},
    };
    for (const auto &[conf, results] : cases) {
        for (const char *key : {"fail_transfer", "fail_from", "fail_device"}) m.clearConf(key);
        for (const auto &[k, v] : conf) m.addConf(k, v);
        m.setDevice(0xA8, Pattern());
        m.resetCounters();
        m.clearLog();
        std::uint8_t b = 0;
        const std::vector<int> got = {Read(0xA8, 0x20, &b, 1), Write(0xA8, 0x20, {0x99}),
                                      Read(0xAA, 0x20, &b, 1), Read(0xA8, 0x20, &b, 1),
                                      Read(0xA8, 0x20, &b, 1), Read(0xA8, 0x20, &b, 1)};
        EXPECT_EQ(got, results) << ::testing::PrintToString(conf);
        // A failed write leaves the image alone.
        EXPECT_EQ(m.device(0xA8)[0x20], results[1] == 0 ? 0x99 : Pattern()[0x20]);
        std::vector<std::pair<std::uint64_t, bool>> logged, want;  // sequence number, ok
        for (const auto &t : m.i2cTransfers()) logged.emplace_back(t.seq, t.ok);
        for (int i = 0; i < 6; ++i) want.emplace_back(i + 1, results[i] == 0);
        EXPECT_EQ(logged, want);
    }
}

#ifndef _WIN32
// Another process's write is seen by this one's next transfer, and both number their
// transfers from the one shared counter.
TEST_F(Bus, ProcessesShareOneMachine) {
    std::uint8_t b[3];
    const pid_t pid = fork();
    if (pid == 0) {
        int bad = Write(0xA8, 0x40, {0xC0, 0xFF, 0xEE});
        for (int i = 0; i < 100; ++i) bad += Read(0xA8, 0, b, 1);
        _exit(bad);
    }
    for (int i = 0; i < 100; ++i) Read(0xA8, 0x80, b, 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_EQ(Read(0xA8, 0x40, b, 3), 0);
    EXPECT_EQ(qorsim::Hex(b, 3), "C0FFEE");
    std::set<std::uint64_t> seqs;
    for (const auto &r : m.i2cTransfers()) seqs.insert(r.seq);
    EXPECT_EQ(seqs.size(), 202u);
    EXPECT_EQ(*seqs.rbegin(), 202u);
    EXPECT_EQ(m.counters(), (qorsim::Counters{202, 203, 3}));
}
#endif

TEST(SimConf, EveryKeyCommentsAndRepeats) {
    auto c = qorsim::ParseConf(
        "# a machine\nlog on\r\ni2c_open fail\nfail_transfer 3 # third\nfail_transfer 0x10\n"
        "fail_from 40\nfail_device a8\nfail_device 0xB8\nfail_device zz\npmem unavailable\n"
        "pmem_open fail\npmem_read fail\nplatform 9x\nshiny yes\nlog off\nlog on\n\n");
    EXPECT_TRUE(c.log && c.i2c_open_fail && c.pmem_unavailable && c.pmem_open_fail &&
                c.pmem_read_fail);
    EXPECT_EQ(c.fail_transfer, (std::vector<std::uint64_t>{3, 16}));
    EXPECT_EQ(c.fail_from, 40u);
    EXPECT_EQ(c.fail_device, (std::vector<std::uint8_t>{0xA8, 0xB8}));
    EXPECT_EQ(c.platform, "9x");
    EXPECT_EQ(c.lines.size(), 15u);
    EXPECT_FALSE(qorsim::ParseConf("log on\nlog off\n").log);
}

class Memory : public MachineFixture {
  protected:
    void SetUp() override {
        // Two files that touch (one span), a separate one, and one at the top of 4 GiB.
        fs::create_directories(fs::path(m.path()) / "pmem");
        for (const auto &[name, bytes] : std::vector<std::pair<const char *, std::string>>{
                 {"00001000.bin", "\x01\x02\x03\x04\x05\x06\x07\x08"},
                 {"00001008.bin", "\x11\x12\x13\x14"},
                 {"00002000.bin", "EDI"},
                 {"FFFFFFFC.bin", "ABCD"}})
            WriteTextFile(m.path() + "/pmem/" + name, bytes);
        ASSERT_EQ(PMemIsInitialized(), 1);
        ASSERT_EQ(PMemOpen(), 1);
    }
    void TearDown() override { PMemClose(); }
    TempMachine &m = machine_;
};

TEST_F(Memory, ReadsPlacedBytesAndZerosElsewhere) {
    m.placeMemory(0x100, {0xA1, 0xA2, 0xA3, 0xA4});
    m.placeMemory(0x102, {0xB1, 0xB2, 0xB3, 0xB4});  // overlaps: the new bytes win
    m.placeMemory(0x0FE, {0xD1, 0xD2});              // touches: joins
    // Address, length, result and the bytes read.
    const std::tuple<std::uint32_t, std::uint32_t, int, const char *> cases[] = {
        {0x0FFC, 8, 0, "0000000001020304"},  // into the first region
        {0x1006, 4, 0, "07081112"},          // across two files
        {0x100A, 4, 0, "13140000"},          // out of the span
        {0xFFFFFFFA, 6, 0, "000041424344"},  // up to the last byte of 4 GiB
        {0xFFFFFFFB, 6, 1, ""},              // one byte past it
        {0x1000, 0, 0, ""},
        {0x00FE, 9, 0, "D1D2A1A2B1B2B3B400"},  // placed by the test support
    };
    for (const auto &[address, length, rc, hex] : cases) {
        std::vector<std::uint8_t> buf(length + 1, 0xEE);
        EXPECT_EQ(PMemRead(buf.data(), address, length), rc) << address;
        EXPECT_EQ(rc == 0 ? qorsim::Hex(buf.data(), length) : "", hex) << address;
        EXPECT_EQ(buf[length], 0xEE) << "wrote past the length at " << address;
    }
}

TEST_F(Memory, SearchFindsTheFirstCandidateHoldingTheSignature) {
    // Signature, first and last candidate, step, and the address found.
    const std::tuple<const char *, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>
        cases[] = {
            {"\x07\x08\x11", 0x1000, 0x1FFF, 2, 0x1006},  // across two touching files
            {"\x07\x08\x11", 0x1000, 0x1FFF, 4, 0},       // 0x1006 is not a candidate
            {"\x07\x08\x11", 0x1000, 0x1006, 2, 0x1006},  // last is a candidate
            {"\x07\x08\x11", 0x1000, 0x1005, 2, 0},
            {"\x13\x14", 0x1000, 0x100A, 1, 0x100A},  // may end past last
            {"\x13\x14", 0, 0xFFFFFFFF, 1, 0x100A},   // whole space, sparse cost
            {"EDID", 0x2000, 0x2FFF, 1, 0},           // runs off placed memory
            {"ABCD", 0xFFFFFF00, 0xFFFFFFFF, 4, 0xFFFFFFFC},
            {"BCDE", 0xFFFFFF00, 0xFFFFFFFF, 1, 0},  // would pass 4 GiB
            {"\x01", 0x1000, 0x1000, 0, 0},          // step 0
            {"\x01", 0x1001, 0x1000, 1, 0},          // empty range
            {"", 0x1000, 0x1FFF, 1, 0},              // nothing to look for
        };
    for (const auto &[sig, first, last, step, found] : cases)
        EXPECT_EQ(PMemSearch(sig, first, last, step), found) << first << " step " << step;
}

TEST_F(Memory, LogFaultKeysAndOnlyWhileOpen) {
    std::uint8_t b[4];
    PMemRead(b, 0x1006, 4);
    m.conf("pmem_read", "fail");
    EXPECT_EQ(PMemRead(b, 0x1000, 1), 1);
    EXPECT_EQ(PMemSearch("\x07\x08\x11", 0x1000, 0x1FFF, 2), 0x1006u);  // searching still works
    PMemClose();
    m.clearConf("pmem_read");
    EXPECT_EQ(PMemSearch("\x07", 0x1000, 0x1FFF, 2), 0u);  // not open any more
    EXPECT_EQ(PMemRead(b, 0x1006, 4), 1);
    EXPECT_EQ(
        m.log(),
        (std::vector<std::string>{
            "PMEM INIT 1", "PMEM OPEN ok", "PMEM READ 00001006 4 ok", "PMEM READ 00001000 1 fail",
            "PMEM SEARCH 070811 00001000 00001FFF 2 00001006", "PMEM CLOSE",
            "PMEM SEARCH 07 00001000 00001FFF 2 00000000", "PMEM READ 00001006 4 fail"}));
    EXPECT_EQ(m.counters(), qorsim::Counters{});  // only bus transfers are counted
}

#ifndef _WIN32
TEST(QorsimTool, CreatesShowsAndAdjustsAMachine) {
    TempMachine scratch;
    const std::string dir = scratch.path() + "/m";
    ASSERT_EQ(RunChildProgram("qorsim", {"create", dir, "--preset", "demo"}).exit_code, 0);
    EXPECT_EQ(RunChildProgram("qorsim", {"create", dir, "--preset", "blank"}).exit_code, 1);
    EXPECT_EQ(RunChildProgram("qorsim", {"create", dir + "2", "--preset", "odd"}).exit_code, 1);
    const std::string show = RunChildProgram("qorsim", {"show", dir}).out;
    for (const char *line : {"header checksum OK, area checksum OK",
                             "slot  2: key 0x88 type 17 index 0  11S09N4321YH10AB2C3D4E",
                             "QOR7K2M9X4TB8A, checksum OK"})
        EXPECT_NE(show.find(line), std::string::npos) << line;

    const auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin() + 1, dir);
        return RunChildProgram("qorsim", args).exit_code;
    };
    ASSERT_EQ(tool({"conf", "fail_transfer", "3", "9"}) + tool({"log", "on"}), 0);
    EXPECT_EQ(qorsim::ReadConf(dir).fail_transfer, (std::vector<std::uint64_t>{3, 9}));
    EXPECT_TRUE(qorsim::ReadConf(dir).log);
    qorsim::WriteCounters(dir, {5, 6, 7});
    WriteTextFile(qorsim::LogPath(dir).string(), "I2C OPEN ok\n");
    EXPECT_EQ(tool({"conf", "fail_transfer"}) + tool({"log", "clear"}) + tool({"counter", "reset"}),
              0);
    EXPECT_TRUE(qorsim::ReadConf(dir).fail_transfer.empty());
    EXPECT_TRUE(qorsim::ReadLog(dir).empty());
    EXPECT_EQ(qorsim::ReadCounters(dir), qorsim::Counters{});
}
#endif

}  // namespace
