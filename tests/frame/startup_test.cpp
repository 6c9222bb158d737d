// Start-up runs when the library is loaded, so these tests load the real library in child
// processes on simulated machines and judge it by what it did on the bus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "eeprom/area_fixture.h"
#include "support/machine.h"

namespace {

// Each transfer as "R A0 00 8" (direction, device, offset, length), the result left out.
std::vector<std::string> Keys(const std::vector<I2cTransfer> &transfers) {
    std::vector<std::string> keys;
    for (const auto &t : transfers) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%c %02X %02X %lld", t.dir, t.dev, t.off, t.len);
        keys.push_back(buf);
    }
    return keys;
}

// fmt formatted with each value from first to last in steps, after the given lines: the
// probe's header reads, the writes of a formatting.
std::vector<std::string> Each(const char *fmt, int first, int last, int step,
                              std::vector<std::string> out = {}) {
    for (int v = first; v <= last; v += step) {
        char buf[32];
        std::snprintf(buf, sizeof buf, fmt, v);
        out.push_back(buf);
    }
    return out;
}

// The probe: the RF device's ID byte, then the header of each address up to last.
std::vector<std::string> Probe(int last = 0xC0) {
    return Each("R %02X 00 8", 0xA0, last, 2, {"R B8 0F 1"});
}

// A formatted serial area, with one byte changed if asked.
qorsim::Image Area(size_t byte = 0, uint8_t value = 'S') {
    qorsim::Image area = qorsim::SerialAreaImage({});
    area[byte] = value;
    return area;
}

class Startup : public ::testing::Test {
  protected:
    // A formatted area at A0 for the tests on the fixture's machine.
    Startup() {
        machine_.enableLog();
        machine_.setDevice(0xA0, Area());
    }

    ChildEnv Env() const {
        return ChildOn(machine_, {{"QORASST_NAMESPACE", ns_}, {"QORASST_REGISTRY", registry_}});
    }

    ChildResult Run(const std::vector<std::string> &commands) { return RunChild(commands, Env()); }

    TempMachine machine_;
    TempDir dir_;
    std::string ns_ = UniqueNamespace(), registry_;
};

TEST_F(Startup, ProbeFormatAndLoadFollowTheDevicesFound) {
    const auto format = Each("W A8 %02X 4", 0, 252, 4), none = Probe();
    const std::vector<std::string> load_a8 = {"R A8 00 8", "R A8 00 256"},
                                   a0 = area_test::Join({Probe(0xA0), {"R A0 00 256"}});
    using enum Preset;  // blank: SPD at A0/A2, erased A8/AA; rf: the same and the RF device
    struct Case {
        Preset preset;
        std::vector<std::pair<uint8_t, qorsim::Image>> devices;
        int eeprom;
        // The whole log (the query ends with its dirty check), or its start on an RF machine.
        std::vector<std::string> transfers;
        const char *fail_device = nullptr;
    } const cases[] = {
        {kEmpty, {}, 0, none},  // no device at all
        // The last address probed; the first of two.
        {kBlank, {{0xC0, Area()}}, 1, area_test::Join({none, {"R C0 00 256", "R C0 09 1"}})},
        {kBlank, {{0xA0, Area()}, {0xA8, Area()}}, 1, area_test::Join({a0, {"R A0 09 1"}})},
        // Passed over: a foreign signature, a bad header checksum, a geometry the cache cannot
        // hold.
        {kEmpty, {{0xA4, Area(0, 'U')}}, 0, none},
        {kEmpty, {{0xA4, Area(7, 0)}}, 0, none},
        {kEmpty, {{0xA4, Area(4, 0x40)}}, 0, none},
        // RF: a blank area is formatted at A8, so is one that does not balance; failed
        // formatting still reports the area.
        {kRf, {}, 1, area_test::Join({none, format, load_a8})},
        {kRf, {{0xA0, Area(100, 0x55)}}, 1, area_test::Join({a0, format, load_a8})},
        {kRf, {}, 1, area_test::Join({none, {"W A8 00 4"}}), "A8"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        TempMachine machine(c.preset);
        machine.enableLog();
        for (const auto &[address, image] : c.devices) machine.setDevice(address, image);
        if (c.fail_device != nullptr) machine.addConf("fail_device", c.fail_device);
        // "get 2 0" waits for the background thread, so the child ends after it.
        ChildResult r = RunChild({"status", "get", "2", "0"}, ChildOn(machine));
        EXPECT_EQ(LinesStartingWith(r.out, "status ")[0],
                  "status init=1 eeprom=" + std::to_string(c.eeprom) +
                      " rf=" + (c.preset == kRf ? "1" : "0") + " monitor=0");
        auto keys = Keys(machine.i2cTransfers());
        if (c.preset == kRf) keys.resize(std::min(keys.size(), c.transfers.size()));
        EXPECT_EQ(keys, c.transfers);
        for (const auto &[address, image] : c.devices)
            EXPECT_EQ(machine.device(address), image);  // start-up never writes elsewhere
    }
}

// A process that ends at once never waits for the disk collector: with a drive that takes ten
// minutes to answer it ends within a second of main returning. Nor does it cut off the record
// its synchronisation thread writes (on POSIX: Windows ends the threads before any code of ours
// runs at exit).
TEST_F(Startup, AProcessThatEndsAtOnceWaitsForNoDriveAndCutsNoRecord) {
    for (int round = 0; round < 3; ++round) {
        TempMachine machine(Preset::kRf);
        qorsim::SimDisk slow = qorsim::IdeDisk(qorsim::IdentifyData("SLOW", "S1"), 0);
        slow.delay_ms = 600000;
        if (round == 2) qorsim::WriteDisk(machine.path(), 0, slow);
        const std::string returned = dir_.file("returned" + std::to_string(round));
        Child child(BinPath("qor_child"), {"status", "touch", returned}, ChildOn(machine));
        ASSERT_TRUE(AppearsWithin(returned));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(child.Wait().exit_code, 0);
        // (Without the slow drive the end may wait, bounded, for a record being written.)
        if (round == 2) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        }
#ifndef _WIN32
        qorsim::Image area = machine.device(0xA8);
        EXPECT_EQ(std::accumulate(area.begin(), area.end(), 0u) % 256, 0u) << round;
#endif
    }
}

// Start-up runs inside the loader's lock: what waits on other threads or processes (the host's
// addresses, the routing table, a message) runs once the loader has returned, on start-up's own
// thread, and a message waiting to be dismissed holds back no other process, which starts and
// stores meanwhile. The exports then answer as before.
TEST_F(Startup, NothingThatWaitsRunsInsideTheLoaderNorHoldsOtherProcesses) {
    TempMachine machine(Preset::kRf);
    machine.setDevice(0xAA, qorsim::UserAreaImage({{0xFF, 6, 0, 0, 0, 0}}));  // repaired
    std::remove((machine.path() + "/host.conf").c_str());  // the host's own addresses and routes
    const ChildEnv env = ChildOn(machine);
    const std::string ready = dir_.file("ready"), go = dir_.file("go");
    Child first(BinPath("qor_lockdie"), {"attach", ready, go}, env);
    ASSERT_TRUE(AppearsWithin(ready));
    EXPECT_EQ(RunChild({"uset", "FD11" + std::string(30, '0')}, env).out, "uset FD11 rc=0\n");
    WriteTextFile(go, "");  // the message is dismissed only now: "unanswered" when it timed out
    const std::string out = first.Wait().out;
    EXPECT_EQ(out.substr(out.find("inside:")),
              "inside:\nafter: addresses routes message\nuget FA rc=0 FF rc=0 FF07\n");
}

TEST_F(Startup, MemoryModuleAddressesComeFromTheOverrideKey) {
    const std::string key =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services"
        "\\Valdrex\\Override]\n";
    std::string seventeen = key;
    std::vector<int> sixteen;
    // Names of one width, so that Wine, which enumerates values sorted by name, keeps file order.
    for (int i = 0; i < 17; ++i) {
        seventeen +=
            "\"addr" + qorsim::Hex2(i) + "\"=dword:" + qorsim::Hex2(0xB0 + 2 * (i % 8)) + "\n";
        if (i < 16) sixteen.push_back(0xB0 + 2 * (i % 8));
    }
    const std::pair<std::string, std::vector<int>> cases[] = {
        // The registry ("": none) and the module addresses expected; the rest of the 16 are 0.
        {"", {0xA0, 0xA2, 0xA4, 0xA6}},
        // addr values in order, others passed over
        {key + "\"addr0\"=dword:000000a2\n\"address1\"=dword:000000a4\n\"speed\"=dword:5\n",
         {0xA2, 0xA4}},
        {key + "\"speed\"=dword:5\n", {}},
        // names are case-sensitive; binary data gives its first byte
        {key + "\"ADDR0\"=dword:a2\n\"addrX\"=hex:ae,00\n", {0xAE}},
        // a name too long for the buffer ends the list
        {key + "\"addr0\"=dword:a2\n\"addr" + std::string(130, 'x') +
             "\"=dword:a4\n\"addrz\"=dword:a6\n",
         {0xA2}},
        {seventeen, sixteen},  // a 17th address is ignored
    };
    std::vector<std::string> commands;
    for (int i = 0; i < 16; ++i) commands.insert(commands.end(), {"get", "256", std::to_string(i)});
    for (const auto &[registry, addresses] : cases) {
        SCOPED_TRACE(registry);
        registry_.clear();
        if (!registry.empty()) WriteTextFile(registry_ = dir_.file("machine.reg"), registry);
        machine_.clearLog();
        ASSERT_EQ(LinesStartingWith(Run(commands).out, "get 256 ").size(), 16u);
        // A live module query reads 23 bytes at offset 0x80 of the module's SPD EEPROM; an
        // empty entry answers without touching the bus.
        std::vector<std::string> reads, expected;
        for (const std::string &k : Keys(machine_.i2cTransfers()))
            if (k.ends_with(" 80 23")) reads.push_back(k);
        for (int address : addresses)
            expected.push_back(Each("R %02X 80 23", address, address, 1)[0]);
        EXPECT_EQ(reads, expected);
    }
}

TEST_F(Startup, SecondProcessProbesForItselfAndSharesTheFirstCache) {
    TempMachine machine(Preset::kDemo);
    const ChildEnv env = ChildOn(machine);
    const std::string ready = dir_.file("ready"), go = dir_.file("go");
    // The first one's queries wait for its threads: it is quiet when it touches `ready`.
    Child first(BinPath("qor_child"),
                {"get", "2", "0", "uget", "FA", "touch", ready, "wait", go, "status"}, env);
    ASSERT_TRUE(AppearsWithin(ready));

    machine.enableLog();
    ChildResult second = RunChild({"status", "get", "4", "0"}, env);
    const std::string all = "status init=1 eeprom=1 rf=1 monitor=1";
    EXPECT_EQ(LinesStartingWith(second.out, "status ")[0], all);
    // Its own probe only: no formatting and no load of the area; the query's dirty check
    // reads byte 9 of the area.
    EXPECT_EQ(Keys(machine.i2cTransfers()), area_test::Join({Probe(0xA8), {"R A8 09 1"}}));
    EXPECT_EQ(LinesStartingWith(second.out, "get 4 0 rc=0 text=").size(), 1u) << second.out;

    WriteTextFile(go, "");
    EXPECT_EQ(LinesStartingWith(first.Wait().out, "status ")[0], all);
}

TEST_F(Startup, AfterTheLastProcessIsGoneTheNextOneIsFirstAgain) {
    // The last one ended, ended again, then was killed instead of ending: each time the next
    // process is a first one and loads the area. One that died holding the mutex blocks nobody.
    ASSERT_EQ(RunChildProgram("qor_lockdie", {"die"}, Env()).signal, SIGKILL);
    for (const char *last : {"status", "status", "die"}) {
        Run({"status", last});
        machine_.clearLog();
        Run({"status"});
        auto keys = Keys(machine_.i2cTransfers());
        EXPECT_EQ(keys.empty() ? "" : keys.back(), "R A0 00 256") << last;
    }
}

TEST_F(Startup, FailedBusOpenLeavesTheLibraryUninitialised) {
    machine_.conf("i2c_open", "fail");
    EXPECT_EQ(Run({"status"}).out, "status init=0 eeprom=0 rf=0 monitor=0\n");
    EXPECT_TRUE(machine_.i2cTransfers().empty());
    // What tests `initialized` refuses; the disk mapping was given up again, so the next
    // process is a first one.
    EXPECT_NE(Run({"get", "4", "0"}).out.find("get 4 0 rc=101 text="), std::string::npos);
    machine_.clearConf("i2c_open");
    machine_.clearLog();
    EXPECT_EQ(Run({"status"}).out, "status init=1 eeprom=1 rf=0 monitor=0\n");
    EXPECT_EQ(Keys(machine_.i2cTransfers()).back(), "R A0 00 256");
}

}  // namespace
