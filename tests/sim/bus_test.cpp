// The simulated I2C bus library, through its exported functions on temporary machines.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <fstream>
#include <iterator>
#include <set>

#include "platform/hwlib.h"
#include "support/machine.h"

namespace {

qorsim::Image Pattern() {
    qorsim::Image img;
    for (std::size_t i = 0; i < img.size(); ++i) img[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    return img;
}

int Read(std::uint8_t dev, std::uint8_t off, std::uint8_t *buf, int len) {
    return I2C_SendCommandThenRead(dev, off, buf, len);
}

int Write(std::uint8_t dev, std::uint8_t off, std::vector<std::uint8_t> bytes) {
    return I2C_SendCommandThenWrite(dev, off, bytes.data(), static_cast<int>(bytes.size()));
}

class Bus : public ::testing::Test {
  protected:
    void SetUp() override {
        m.setDevice(0xA8, Pattern());
        m.enableLog();
    }
    TempMachine m;
    UseMachine use{m};
};

TEST_F(Bus, ReadsAndWritesHitTheImageAndAreLoggedExactly) {
    ASSERT_EQ(I2C_Open(), 1);
    std::uint8_t buf[4] = {};
    ASSERT_EQ(Read(0xA8, 0x10, buf, 4), 0);
    EXPECT_EQ(qorsim::Hex(buf, 4), "4A4B4849");
    ASSERT_EQ(Write(0xA8, 0xFC, {0xDE, 0xAD, 0xBE, 0xEF}), 0);
    ASSERT_EQ(Write(0xA8, 0x00, {0x01}), 0);
    std::uint8_t all[256];
    ASSERT_EQ(Read(0xA8, 0x00, all, 256), 0);
    I2C_Close();

    qorsim::Image expect = Pattern();
    expect[0] = 0x01;
    expect[0xFC] = 0xDE, expect[0xFD] = 0xAD, expect[0xFE] = 0xBE, expect[0xFF] = 0xEF;
    EXPECT_EQ(m.device(0xA8), expect);
    EXPECT_EQ(qorsim::Hex(all, 256), qorsim::Hex(expect.data(), 256));

    auto log = m.log();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "I2C OPEN ok");
    EXPECT_EQ(log[1], "I2C 1 R A8 10 4 ok 4A4B4849");
    EXPECT_EQ(log[2], "I2C 2 W A8 FC 4 ok DEADBEEF");
    EXPECT_EQ(log[3], "I2C 3 W A8 00 1 ok 01");
    EXPECT_EQ(log[4], "I2C 4 R A8 00 256 ok " + qorsim::Hex(expect.data(), 256));
    EXPECT_EQ(log[5], "I2C CLOSE");
    EXPECT_EQ(m.counters(), (qorsim::Counters{4, 260, 5}));
}

// Transfers the device refuses: they fail with 1, leave image and buffer alone, and still
// take a sequence number and a log line.
TEST_F(Bus, RefusedTransfersFailAndAreCounted) {
    struct Case {
        char dir;
        std::uint8_t dev, off;
        int len;
        const char *line;
    } cases[] = {
        {'R', 0xA6, 0x00, 1, "I2C 1 R A6 00 1 fail"},         // no device
        {'W', 0xA6, 0x00, 1, "I2C 2 W A6 00 1 fail 77"},      // no device
        {'R', 0xA8, 0xFF, 2, "I2C 3 R A8 FF 2 fail"},         // passes the end
        {'W', 0xA8, 0xFE, 3, "I2C 4 W A8 FE 3 fail 777777"},  // passes the end
        {'R', 0xA8, 0x00, 0, "I2C 5 R A8 00 0 fail"},         // nothing to read
        {'W', 0xA8, 0x00, -1, "I2C 6 W A8 00 -1 fail"},       // negative length
        {'R', 0xA9, 0x00, 1, "I2C 7 R A9 00 1 fail"},         // odd address
    };
    for (const auto &c : cases) {
        std::uint8_t buf[4] = {0x77, 0x77, 0x77, 0x77};
        int rc = c.dir == 'R' ? Read(c.dev, c.off, buf, c.len)
                              : I2C_SendCommandThenWrite(c.dev, c.off, buf, c.len);
        EXPECT_EQ(rc, 1) << c.line;
        EXPECT_EQ(buf[0], 0x77) << c.line;
    }
    EXPECT_EQ(m.device(0xA8), Pattern());
    auto log = m.log();
    ASSERT_EQ(log.size(), std::size(cases));
    for (std::size_t i = 0; i < log.size(); ++i) EXPECT_EQ(log[i], cases[i].line);
    EXPECT_EQ(m.counters(), (qorsim::Counters{7, 0, 0}));
}

TEST_F(Bus, InjectedFaultsHitTheNamedTransfers) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> conf;
        std::vector<int> results;  // of six 1-byte reads: A8, A8, AA, A8, A8, A8
    } cases[] = {
        {{}, {0, 0, 1, 0, 0, 0}},
        {{{"fail_transfer", "2"}}, {0, 1, 1, 0, 0, 0}},
        {{{"fail_transfer", "1"}, {"fail_transfer", "5"}}, {1, 0, 1, 0, 1, 0}},
        {{{"fail_from", "4"}}, {0, 0, 1, 1, 1, 1}},
        {{{"fail_device", "A8"}}, {2, 2, 1, 2, 2, 2}},
        {{{"fail_device", "AA"}, {"fail_device", "0xa8"}}, {2, 2, 2, 2, 2, 2}},
        {{{"fail_device", "A2"}, {"fail_transfer", "6"}}, {0, 0, 1, 0, 0, 1}},
    };
    for (const auto &c : cases) {
        m.clearConf("fail_transfer");
        m.clearConf("fail_from");
        m.clearConf("fail_device");
        for (const auto &[k, v] : c.conf) m.addConf(k, v);
        m.resetCounters();
        m.clearLog();
        std::vector<int> got;
        const std::uint8_t devs[] = {0xA8, 0xA8, 0xAA, 0xA8, 0xA8, 0xA8};
        for (std::uint8_t d : devs) {
            std::uint8_t b = 0;
            got.push_back(Read(d, 0x20, &b, 1));
        }
        EXPECT_EQ(got, c.results) << ::testing::PrintToString(c.conf);
        auto t = m.i2cTransfers();
        ASSERT_EQ(t.size(), 6u);
        for (std::size_t i = 0; i < t.size(); ++i) {
            EXPECT_EQ(t[i].seq, i + 1);
            EXPECT_EQ(t[i].ok, c.results[i] == 0);
        }
    }
}

TEST_F(Bus, FailedWriteLeavesTheImageAlone) {
    m.conf("fail_transfer", "1");
    EXPECT_EQ(Write(0xA8, 0x00, {1, 2, 3, 4}), 1);
    EXPECT_EQ(m.device(0xA8), Pattern());
    EXPECT_EQ(m.log(), std::vector<std::string>{"I2C 1 W A8 00 4 fail 01020304"});
    EXPECT_EQ(m.counters(), (qorsim::Counters{1, 0, 0}));
}

TEST_F(Bus, OpenFailsOnRequestOrWithoutMachine) {
    m.conf("i2c_open", "fail");
    EXPECT_EQ(I2C_Open(), 0);
    m.clearConf("i2c_open");
    EXPECT_EQ(I2C_Open(), 1);
    EXPECT_EQ(m.log(), (std::vector<std::string>{"I2C OPEN fail", "I2C OPEN ok"}));

    ScopedEnv none(qorsim::kMachineEnv, "");
    std::uint8_t b = 0;
    EXPECT_EQ(I2C_Open(), 0);
    EXPECT_EQ(Read(0xA8, 0, &b, 1), 1);
    EXPECT_EQ(Write(0xA8, 0, {1}), 1);
    EXPECT_EQ(PMemIsInitialized(), 0);
    EXPECT_EQ(PMemOpen(), 0);
}

TEST_F(Bus, LogOffWritesNothingButStillCounts) {
    m.disableLog();
    std::uint8_t b[2];
    ASSERT_EQ(Read(0xA8, 0, b, 2), 0);
    EXPECT_TRUE(m.log().empty());
    EXPECT_EQ(m.counters(), (qorsim::Counters{1, 2, 0}));
}

#ifndef _WIN32
// Another process's write is seen by this one's next transfer, and both number their
// transfers from the one shared counter.
TEST_F(Bus, ProcessesShareOneMachine) {
    pid_t pid = fork();
    if (pid == 0) {
        int bad = Write(0xA8, 0x40, {0xC0, 0xFF, 0xEE});
        for (int i = 0; i < 100; ++i) {
            std::uint8_t b;
            bad += Read(0xA8, 0, &b, 1);
        }
        _exit(bad);
    }
    for (int i = 0; i < 100; ++i) {
        std::uint8_t b;
        Read(0xA8, 0x80, &b, 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    std::uint8_t seen[3];
    ASSERT_EQ(Read(0xA8, 0x40, seen, 3), 0);
    EXPECT_EQ(qorsim::Hex(seen, 3), "C0FFEE");
    auto t = m.i2cTransfers();
    ASSERT_EQ(t.size(), 202u);
    std::set<std::uint64_t> seqs;
    for (const auto &r : t) seqs.insert(r.seq);
    EXPECT_EQ(seqs.size(), 202u);
    EXPECT_EQ(*seqs.rbegin(), 202u);
    EXPECT_EQ(m.counters().transfers, 202u);
    EXPECT_EQ(m.counters(), (qorsim::Counters{202, 203, 3}));
}
#endif

TEST(SimFormat, ConfParsesEveryKeyAndIgnoresTheRest) {
    auto c = qorsim::ParseConf(
        "# a machine\nlog on\r\ni2c_open fail\nfail_transfer 3 # third\nfail_transfer 0x10\n"
        "fail_from 40\nfail_device a8\nfail_device 0xB8\nfail_device zz\npmem unavailable\n"
        "pmem_open fail\npmem_read fail\nplatform 9x\nshiny yes\n\n");
    EXPECT_TRUE(c.log);
    EXPECT_TRUE(c.i2c_open_fail);
    EXPECT_EQ(c.fail_transfer, (std::vector<std::uint64_t>{3, 16}));
    EXPECT_EQ(c.fail_from, 40u);
    EXPECT_EQ(c.fail_device, (std::vector<std::uint8_t>{0xA8, 0xB8}));
    EXPECT_TRUE(c.pmem_unavailable && c.pmem_open_fail && c.pmem_read_fail);
    EXPECT_EQ(c.platform, "9x");
    EXPECT_EQ(c.lines.size(), 13u);

    auto off = qorsim::ParseConf("log on\nlog off\ni2c_open ok\n");
    EXPECT_FALSE(off.log);
    EXPECT_FALSE(off.i2c_open_fail);
}

TEST(SimFormat, ConfEditsKeepCommentsAndOrder) {
    TempMachine m;
    qorsim::fs::path conf = qorsim::fs::path(m.path()) / "machine.conf";
    { std::ofstream(conf) << "# keep me\nfail_device A8\nlog off\nfail_device AA\n"; }
    qorsim::SetConfKey(m.path(), "fail_device", {"B0", "B2"});
    qorsim::SetConfKey(m.path(), "log", {});
    qorsim::SetConfKey(m.path(), "platform", {"nt"});
    std::ifstream in(conf);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "# keep me\nfail_device B0\nfail_device B2\nplatform nt\n");
}

TEST(SimFormat, LogLinesRoundTrip) {
    qorsim::I2cRecord r{12, 'W', 0xAA, 0x0C, 3, false, {0x00, 0x7F, 0xFF}};
    EXPECT_EQ(qorsim::FormatI2cRecord(r), "I2C 12 W AA 0C 3 fail 007FFF");
    EXPECT_EQ(qorsim::ParseI2cRecord("I2C 12 W AA 0C 3 fail 007FFF"), r);
    EXPECT_EQ(qorsim::ParseI2cRecord("I2C OPEN ok"), std::nullopt);
    EXPECT_EQ(qorsim::ParseI2cRecord("I2C 1 R A8 00 x ok"), std::nullopt);
    EXPECT_EQ(qorsim::ParseI2cRecord("I2C 1 R A8 00 1 ok 0"), std::nullopt);
}

}  // namespace
