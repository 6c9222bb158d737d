// The inventory tool end to end: it loads the real library on a simulated machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "eeprom/area_fixture.h"
#include "support/child.h"
#include "support/machine.h"

namespace {

ChildResult Qorasst(const TempMachine &machine, const std::vector<std::string> &args) {
    return RunChildProgram(
        "qorasst", args,
        {{"QORASST_MACHINE", machine.path()}, {"QORASST_NAMESPACE", UniqueNamespace()}});
}

TEST(Qorasst, ReportsTheDemoMachine) {
    TempMachine machine(Preset::kDemo);
    ChildResult text = Qorasst(machine, {"report"});
    ASSERT_EQ(text.exit_code, 0) << text.err;
    EXPECT_EQ(text.err, "");
    for (const char *expected :
         {"status:\n  initialized: yes\n  asset_eeprom: yes\n  rf_eeprom: yes\n  monitor: yes\n",
          "  - device: memory module (recorded)\n    type: 17\n    index: 0\n"}) {
        EXPECT_NE(text.out.find(expected), std::string::npos) << expected << "\n" << text.out;
    }

    ChildResult json = Qorasst(machine, {"--json"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    for (const char *expected : {"\"initialized\": true", "\"serial_numbers\": [",
                                 "\"device\": \"system\"", "\"type\": 257"}) {
        EXPECT_NE(json.out.find(expected), std::string::npos) << expected;
    }

    // The demo's two disks, as the library found them and as the drives answer (the 95 family
    // asks no disk).
    const char *personality = std::getenv("QORASST_PERSONALITY");
    if (personality != nullptr && std::string(personality) == "win98") return;
    ChildResult disks = Qorasst(machine, {"disks"});
    EXPECT_EQ(disks.out,
              "disks:\n  - drive: 0\n    method: SMART\n    interface: IDE\n    address: 0\n"
              "    serial: WD-WMAM9C1234567890\n  - drive: 1\n    method: pass-through INQUIRY\n"
              "    interface: SCSI\n    address: 3\n    serial: ULTRA36LP3CC0A7F2\n");
    EXPECT_NE(text.out.find("  - device: hard disk\n    type: 2\n    index: 1\n"
                            "    serial: ULTRA36LP3CC0A7F2\n"),
              std::string::npos);
}

TEST(Qorasst, MachineWithoutHardwareStillReports) {
    TempMachine machine;
    machine.conf("i2c_open", "fail");
    ChildResult r = Qorasst(machine, {"--json"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\"initialized\": false"), std::string::npos);
    EXPECT_NE(r.out.find("\"meaning\": \"the library is not initialised\""), std::string::npos);
}

// Bad arguments: exit status 2 and one line saying why, for every command.
TEST(Qorasst, RefusesBadArgumentsWithOneLine) {
    TempMachine machine;
    for (const auto &args :
         std::vector<std::vector<std::string>>{{"frobnicate"},
                                               {"--nope"},
                                               {"status", "--xml"},
                                               {"serial"},
                                               {"serial", "put", "4", "0"},
                                               {"serial", "get", "4"},
                                               {"serial", "set", "4", "0"},
                                               {"serial", "get", "4", "x"},
                                               {"serial", "set", "4", "0", ""}}) {
        ChildResult r = Qorasst(machine, args);
        EXPECT_EQ(r.exit_code, 2) << args[0];
        EXPECT_TRUE(r.err.starts_with("qorasst: ") && r.err.find('\n') == r.err.size() - 1)
            << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// The help lists every command; the version is the project's.
TEST(Qorasst, DescribesItselfAndItsVersion) {
    TempMachine machine;
    ChildResult help = Qorasst(machine, {"--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char *command : {"\n  report ", "\n  status ", "\n  serial get ", "\n  serial set ",
                                "\n  serial delete "}) {
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
    }
    ChildResult version = Qorasst(machine, {"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, "qorasst " QORASST_VERSION "\n");
}

// Each step a process of its own on the same device: the whole output, a part of the error.
TEST(Qorasst, SerialGetsSetsAndDeletes) {
    TempMachine machine;
    machine.setDevice(area_test::kArea, area_test::Area());
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string out, err;
    } steps[] = {
        {{"set", "4", "0", "abc-123"}, 0, "serial 4 0 stored\n", ""},
        {{"get", "4", "0"}, 0, "ABC-123\n", ""},
        {{"set", "4", "0", "ab"}, 1, "", "serial 4 0 not stored: the text must have"},
        {{"delete", "4", "0"}, 0, "serial 4 0 deleted\n", ""},
        {{"get", "4", "0"}, 1, "", "no BIOS VPD to fall back on (result 61)"},
        {{"get", "14", "1"}, 1, "", "the index must be 0 for this device type (result 103)"},
    };
    for (auto s : steps) {
        s.args.insert(s.args.begin(), "serial");
        const ChildResult r = Qorasst(machine, s.args);
        EXPECT_EQ(r.exit_code, s.exit_code) << s.args[1] << " " << s.args.back();
        EXPECT_EQ(r.out, s.out) << s.args[1] << " " << s.args.back();
        EXPECT_NE(r.err.find(s.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(machine.device(area_test::kArea), area_test::Area({{0, std::string(19, 'D')}}));
}

TEST(Qorasst, UserStructuresListedStoredAndDeleted) {
    TempMachine machine(Preset::kRf);
    machine.setDevice(0xAA, qorsim::UserAreaImage({}));
    // Every run's start-up records this host's addresses in the "Network" structure.
    WriteTextFile(machine.path() + "/host.conf",
                  "address 192.168.0.2\nroute 0.0.0.0 0.0.0.0 192.168.0.1 192.168.0.2\n"
                  "route 192.168.0.0 255.255.255.0 0.0.0.0 192.168.0.2\n");
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string out, err;
    } steps[] = {
        {{"set", "FF", "jdoe", "Jane", "", "", ""},
         0,
         "stored: FF\nbytes: FF0F6A646F65004A616E6500000000\n",
         ""},
        {{"set", "FE", "--fixed", "01", "a", "b"}, 2, "", "(Lease) corrupted"},
        {{"set", "FA", "--fixed", "01C0A80001C0A80002FFFFFF00", "host", "jdoe"},
         0,
         "stored: FA\n",
         ""},
        {{"--json"},
         0,
         "\"gateway\": \"192.168.0.1\",\n    \"addresses\": [\n      \"192.168.0.2/255.255.255.0\"",
         ""},
        {{"delete", "FF"}, 0, "deleted: FF\n", ""},
        {{}, 0, "- type: FA\n  name: Network\n", ""},
    };
    for (auto s : steps) {
        s.args.insert(s.args.begin(), "user");
        const ChildResult r = Qorasst(machine, s.args);
        EXPECT_EQ(r.exit_code, s.exit_code) << s.args.back();
        EXPECT_NE(r.out.find(s.out), std::string::npos) << r.out;
        EXPECT_NE(r.err.find(s.err), std::string::npos) << r.err;
    }
}

TEST(Qorasst, InspectExplainsDumpsOffline) {
    TempDir dir;
    auto raw = [&](const std::string &name, const qorsim::Image &img) {
        WriteTextFile(dir.file(name), std::string(img.begin(), img.end()));
        return dir.file(name);
    };
    std::string dump = "     0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f    0123456789abcdef\n";
    const auto sound = qorsim::UserAreaImage({qorsim::UserStruct(0xFF, {}, {"a", "", "", "", ""})});
    for (int row = 0; row < 256; row += 16) {
        char line[8];
        std::snprintf(line, sizeof line, "%02x:", row);
        dump += line;
        for (int i = 0; i < 16; ++i) dump += " " + qorsim::Hex2(sound[row + i]);
        dump += "    ................\n";
    }
    WriteTextFile(dir.file("dump.txt"), dump);
    const struct {
        std::string file;
        int exit_code;
        std::string out;
    } cases[] = {
        {dir.file("dump.txt"), 0, "problems: (none)"},
        {raw("serial.bin", area_test::Area({{0x20, "ABC"}})), 0, "text: 11SABC"},
        {raw("user6.bin", qorsim::UserAreaImage({{0xFF, 6, 0, 0, 0, 0}})), 1,
         "    \"structure at offset 16: message \\\"Keystrata Warning -- UserArea structure "
         "type FF (User) corrupted.  The problem will be corrected.\\\"\",\n    \"repair: the "
         "first structure of type FF is replaced by its blank (size 7) in 10 single-byte "
         "writes\""},
        {raw("erased.bin", qorsim::ErasedImage()), 1, "no signature"},
    };
    for (const auto &c : cases) {
        const ChildResult r = RunChildProgram("qorasst", {"inspect", c.file, "--json"});
        EXPECT_EQ(r.exit_code, c.exit_code) << c.file << r.out;
        const ChildResult t = RunChildProgram("qorasst", {"inspect", c.file});
        EXPECT_NE((r.out + t.out).find(c.out), std::string::npos) << r.out << t.out;
    }
}

}  // namespace
