// The inventory tool end to end: it loads the real library on a simulated machine.
#include <gtest/gtest.h>

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

}  // namespace
