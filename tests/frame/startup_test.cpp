// Start-up runs when the library is loaded, so these tests load the real library in child
// processes on simulated machines and judge it by what it did on the bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/child.h"
#include "support/machine.h"

namespace {

// One transfer as "R A0 00 8" (direction, device, offset, length), the result left out.
std::string Key(const I2cTransfer &t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c %02X %02X %lld", t.dir, t.dev, t.off, t.len);
    return buf;
}

std::vector<std::string> Keys(const std::vector<I2cTransfer> &transfers) {
    std::vector<std::string> keys;
    for (const auto &t : transfers) keys.push_back(Key(t));
    return keys;
}

// fmt formatted with each value from first to last in steps: the probe's header reads, the
// writes of a formatting.
std::vector<std::string> Each(const char *fmt, int first, int last, int step) {
    std::vector<std::string> out;
    for (int v = first; v <= last; v += step) {
        char buf[32];
        std::snprintf(buf, sizeof buf, fmt, v);
        out.push_back(buf);
    }
    return out;
}

std::vector<std::string> ProbeReads(int last = 0xC0) {
    return Each("R %02X 00 8", 0xA0, last, 2);
}

std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto &p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

qorsim::Image FormattedArea() {
    return qorsim::SerialAreaImage({});
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        ns_ = UniqueNamespace();
        machine_.enableLog();
    }

    ChildEnv Env() const {
        return {{"QORASST_MACHINE", machine_.path()},
                {"QORASST_NAMESPACE", ns_},
                {"QORASST_REGISTRY", registry_}};
    }

    ChildResult Run(const std::vector<std::string> &commands) { return RunChild(commands, Env()); }

    std::string Status() {
        ChildResult r = Run({"status"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
        auto lines = LinesStartingWith(r.out, "status ");
        return lines.empty() ? "" : lines[0];
    }

    void UseRegistry(const std::string &text) {
        WriteTextFile(dir_.file("machine.reg"), text);
        registry_ = dir_.file("machine.reg");
    }

    TempMachine machine_;
    TempDir dir_;
    std::string ns_;
    std::string registry_;
};

qorsim::Image Damaged(size_t byte, uint8_t value) {
    qorsim::Image area = FormattedArea();
    area[byte] = value;
    return area;
}

TEST_F(Startup, ProbeFormatAndLoadFollowTheDevicesFound) {
    const auto A8Writes = Each("W A8 %02X 4", 0, 252, 4);
    struct Case {
        const char *name;
        Preset preset;  // blank: SPD at A0/A2, erased A8/AA; rf: the same and the RF device
        std::vector<std::pair<uint8_t, qorsim::Image>> devices;
        const char *fail_device;
        const char *status;
        // The whole log (the query ends with its dirty check), or its start on an RF machine.
        std::vector<std::string> transfers;
    };
    const std::vector<Case> cases = {
        {"no device at all",
         Preset::kEmpty,
         {},
         nullptr,
         "status init=1 eeprom=0 rf=0 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads()})},
        {"last address probed",
         Preset::kBlank,
         {{0xC0, FormattedArea()}},
         nullptr,
         "status init=1 eeprom=1 rf=0 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads(), {"R C0 00 256", "R C0 09 1"}})},
        {"first of two",
         Preset::kBlank,
         {{0xA0, FormattedArea()}, {0xA8, FormattedArea()}},
         nullptr,
         "status init=1 eeprom=1 rf=0 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads(0xA0), {"R A0 00 256", "R A0 09 1"}})},
        {"foreign signature passed over",
         Preset::kEmpty,
         {{0xA4, Damaged(0, 'U')}},
         nullptr,
         "status init=1 eeprom=0 rf=0 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads()})},
        {"header checksum passed over",
         Preset::kEmpty,
         {{0xA4, Damaged(7, 0)}},
         nullptr,
         "status init=1 eeprom=0 rf=0 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads()})},
        {"geometry the cache cannot hold",
         Preset::kEmpty,
         {{0xA4, Damaged(4, 0x40)}},
         nullptr,
         "status init=1 eeprom=0 rf=0 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads()})},
        {"RF: a blank area is formatted at A8",
         Preset::kRf,
         {},
         nullptr,
         "status init=1 eeprom=1 rf=1 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads(), A8Writes, {"R A8 00 8", "R A8 00 256"}})},
        {"RF: an area that does not balance is formatted anew at A8",
         Preset::kRf,
         {{0xA0, Damaged(100, 0x55)}},
         nullptr,
         "status init=1 eeprom=1 rf=1 monitor=0",
         Concat(
             {{"R B8 0F 1", "R A0 00 8", "R A0 00 256"}, A8Writes, {"R A8 00 8", "R A8 00 256"}})},
        {"RF: failed formatting still reports the area",
         Preset::kRf,
         {},
         "A8",
         "status init=1 eeprom=1 rf=1 monitor=0",
         Concat({{"R B8 0F 1"}, ProbeReads(), {"W A8 00 4"}})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempMachine machine(c.preset);
        machine.enableLog();
        for (const auto &[address, image] : c.devices) machine.setDevice(address, image);
        if (c.fail_device != nullptr) machine.addConf("fail_device", c.fail_device);
        // "get 2 0" waits for the background thread, so the child ends after it.
        ChildResult r = RunChild(
            {"status", "get", "2", "0"},
            {{"QORASST_MACHINE", machine.path()}, {"QORASST_NAMESPACE", UniqueNamespace()}});
        EXPECT_EQ(LinesStartingWith(r.out, "status ")[0], c.status);
        auto keys = Keys(machine.i2cTransfers());
        if (c.preset == Preset::kRf && keys.size() > c.transfers.size()) {
            keys.resize(c.transfers.size());
        }
        EXPECT_EQ(keys, c.transfers);
        for (const auto &[address, image] : c.devices) {
            EXPECT_EQ(machine.device(address), image);  // start-up never writes elsewhere
        }
    }
}

TEST_F(Startup, TheFormattedAreaIsExact) {
    TempMachine machine(Preset::kRf);
    machine.removeDevice(0xA0);  // no modules: the thread has nothing to record
    machine.removeDevice(0xA2);
    RunChild({"status", "get", "2", "0"},
             {{"QORASST_MACHINE", machine.path()}, {"QORASST_NAMESPACE", UniqueNamespace()}});
    qorsim::Image expected{};
    const uint8_t header[] = {0x53, 0x45, 0x52, 0x23, 0x14, 0x0C, 0x01, 0xD2, 0x00};
    std::copy(std::begin(header), std::end(header), expected.begin());
    EXPECT_EQ(machine.device(0xA8), expected);
}

TEST_F(Startup, AProcessThatEndsAtOnceLetsItsThreadFinishItsWrites) {
    // The synchronisation thread records the two modules; the process ends right away.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        TempMachine machine(Preset::kRf);
        ChildResult r = RunChild({"status"}, {{"QORASST_MACHINE", machine.path()},
                                              {"QORASST_NAMESPACE", UniqueNamespace()}});
        ASSERT_EQ(r.exit_code, 0);
        qorsim::Image area = machine.device(0xA8);
        uint8_t sum = 0;
        for (uint8_t b : area) sum = static_cast<uint8_t>(sum + b);
        EXPECT_EQ(sum, 0);
        EXPECT_EQ(area[16], 17 * 8 + 0);  // records (17, 0) and (17, 1) in slots 0 and 1
        EXPECT_EQ(area[36], 17 * 8 + 1);
    }
}

TEST_F(Startup, MemoryModuleAddressesComeFromTheOverrideKey) {
    machine_.setDevice(0xA0, FormattedArea());
    const std::string key =
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Valdrex\\Override]\n";
    std::string seventeen;
    for (int i = 0; i < 17; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "\"addr%02d\"=dword:%08x\n", i, 0xB0 + 2 * (i % 8));
        seventeen += line;
    }
    struct Case {
        const char *name;
        std::string registry;        // empty: no registry at all
        std::vector<int> addresses;  // expected module_addr; the rest of the 16 are 0
    };
    const Case cases[] = {
        {"no key", "", {0xA0, 0xA2, 0xA4, 0xA6}},
        {"addr values in order, others passed over",
         "REGEDIT4\n\n" + key +
             "\"addr0\"=dword:000000a2\n\"address1\"=dword:000000a4\n\"speed\"=dword:5\n",
         {0xA2, 0xA4}},
        {"key without addr values", "REGEDIT4\n\n" + key + "\"speed\"=dword:5\n", {}},
        {"names are case-sensitive; binary data gives its first byte",
         "REGEDIT4\n\n" + key + "\"ADDR0\"=dword:a2\n\"addrX\"=hex:ae,00\n",
         {0xAE}},
        {"a name too long for the buffer ends the list",
         "REGEDIT4\n\n" + key + "\"addr0\"=dword:a2\n\"addr" + std::string(130, 'x') +
             "\"=dword:a4\n\"addrz\"=dword:a6\n",
         {0xA2}},
        {"a 17th address is ignored",
         "REGEDIT4\n\n" + key + seventeen,
         {0xB0, 0xB2, 0xB4, 0xB6, 0xB8, 0xBA, 0xBC, 0xBE, 0xB0, 0xB2, 0xB4, 0xB6, 0xB8, 0xBA, 0xBC,
          0xBE}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        registry_.clear();
        if (!c.registry.empty()) UseRegistry(c.registry);
        std::vector<std::string> commands;
        for (int i = 0; i <= 16; ++i) {
            commands.insert(commands.end(), {"get", "256", std::to_string(i)});
        }
        machine_.clearLog();
        ChildResult r = Run(commands);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        auto lines = LinesStartingWith(r.out, "get 256 ");
        ASSERT_EQ(lines.size(), 17u);
        // A live module query reads 23 bytes at offset 0x80 of the module's SPD EEPROM; an
        // empty entry answers 9 without touching the bus; index 16 names no entry at all.
        std::vector<std::string> reads;
        for (const auto &t : machine_.i2cTransfers()) {
            if (t.off == 0x80 && t.len == 23) reads.push_back(Key(t));
        }
        std::vector<std::string> expected_reads;
        for (int i = 0; i < 16; ++i) {
            if (i >= static_cast<int>(c.addresses.size()) || c.addresses[i] == 0) {
                EXPECT_EQ(lines[i], "get 256 " + std::to_string(i) + " rc=9 text=");
            } else {
                char buf[16];
                std::snprintf(buf, sizeof buf, "R %02X 80 23", c.addresses[i]);
                expected_reads.push_back(buf);
            }
        }
        EXPECT_EQ(lines[16], "get 256 16 rc=102 text=");
        EXPECT_EQ(reads, expected_reads);
    }
}

TEST_F(Startup, SecondProcessProbesForItselfAndSharesTheFirstCache) {
    TempMachine machine(Preset::kDemo);
    const std::string ns = UniqueNamespace();
    const ChildEnv env = {{"QORASST_MACHINE", machine.path()}, {"QORASST_NAMESPACE", ns}};
    const std::string ready = dir_.file("ready"), go = dir_.file("go");
    Child first(BinPath("qor_child"), {"get", "2", "0", "touch", ready, "wait", go, "status"}, env);
    ChildResult waited = RunChild({"wait", ready}, env);
    ASSERT_NE(waited.out.find("waited ok"), std::string::npos);

    machine.enableLog();
    ChildResult second = RunChild({"status", "get", "4", "0"}, env);
    EXPECT_EQ(LinesStartingWith(second.out, "status ")[0], "status init=1 eeprom=1 rf=1 monitor=1");
    auto keys = Keys(machine.i2cTransfers());
    // Its own probe only: no formatting and no load of the area; the query's dirty check
    // reads byte 9 of the area.
    EXPECT_EQ(keys, Concat({{"R B8 0F 1"}, ProbeReads(0xA8), {"R A8 09 1"}}));
    auto got = LinesStartingWith(second.out, "get 4 0 ");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rfind("get 4 0 rc=0 text=", 0), 0u) << got[0];

    WriteTextFile(go, "");
    ChildResult r = first.Wait();
    EXPECT_EQ(LinesStartingWith(r.out, "status ")[0], "status init=1 eeprom=1 rf=1 monitor=1");
}

TEST_F(Startup, AfterTheLastProcessIsGoneTheNextOneIsFirstAgain) {
    machine_.setDevice(0xA0, FormattedArea());
    // The last one ended, ended again, then was killed instead of ending: each time the next
    // process is a first one and loads the area.
    for (const char *last : {"status", "status", "die"}) {
        SCOPED_TRACE(last);
        Run({"status", last});
        machine_.clearLog();
        Run({"status"});
        auto keys = Keys(machine_.i2cTransfers());
        ASSERT_FALSE(keys.empty());
        EXPECT_EQ(keys.back(), "R A0 00 256");
    }
}

TEST_F(Startup, AProcessThatDiedHoldingTheMutexBlocksNobody) {
    machine_.setDevice(0xA0, FormattedArea());
    ChildResult died = RunChildProgram("qor_lockdie", {"die"}, Env());
    ASSERT_EQ(died.signal, SIGKILL);
    EXPECT_EQ(Status(), "status init=1 eeprom=1 rf=0 monitor=0");
}

TEST_F(Startup, FailedBusOpenLeavesTheLibraryUninitialised) {
    machine_.setDevice(0xA0, FormattedArea());
    machine_.conf("i2c_open", "fail");
    EXPECT_EQ(Status(), "status init=0 eeprom=0 rf=0 monitor=0");
    EXPECT_TRUE(machine_.i2cTransfers().empty());
    // What tests `initialized` refuses; the disk mapping was given up again, so the next
    // process is a first one.
    ChildResult r = Run({"get", "4", "0"});
    EXPECT_NE(r.out.find("get 4 0 rc=101 text="), std::string::npos);
    machine_.clearConf("i2c_open");
    machine_.clearLog();
    EXPECT_EQ(Status(), "status init=1 eeprom=1 rf=0 monitor=0");
    EXPECT_EQ(Keys(machine_.i2cTransfers()).back(), "R A0 00 256");
}

}  // namespace
