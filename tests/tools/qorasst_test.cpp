// The inventory tool end to end: it loads the real library on a simulated machine.
#include <gtest/gtest.h>

#include <string>

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

TEST(Qorasst, RefusesUnknownCommandsAndOptions) {
    TempMachine machine;
    for (const auto &args : std::vector<std::vector<std::string>>{{"frobnicate"}, {"--nope"}}) {
        ChildResult r = Qorasst(machine, args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_NE(r.err.find("usage: qorasst"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
