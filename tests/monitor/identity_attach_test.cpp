// The real library loaded by child processes: the EDID capture and the VPD load made at
// start-up, what the status and serial queries then answer, and the inventory report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/machine.h"

namespace {

namespace demo = qorsim::demo;

class IdentityAttach : public ::testing::Test {
  protected:
    IdentityAttach() : ns_(UniqueNamespace()) {}

    // A machine with the BIOS tables of the demo board and no bus devices.
    void PlaceBios(TempMachine &m) {
        qorsim::MachineContents contents;
        qorsim::AddBiosMemory(contents);
        qorsim::WriteMachine(m.path(), contents);
    }
    ChildEnv Env(const TempMachine &m) const {
        return {{"QORASST_MACHINE", m.path()}, {"QORASST_NAMESPACE", ns_}};
    }
    std::vector<std::string> Run(const TempMachine &m, const std::vector<std::string> &args) {
        const ChildResult r = RunChild(args, Env(m));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        std::vector<std::string> lines;
        size_t at = 0;
        while (at < r.out.size()) {
            const size_t end = r.out.find('\n', at);
            lines.push_back(r.out.substr(at, end - at));
            if (end == std::string::npos) break;
            at = end + 1;
        }
        return lines;
    }

    std::string ns_;
};

TEST_F(IdentityAttach, BiosTablesAreReadAtStartUp) {
    TempMachine m;
    PlaceBios(m);
    m.enableLog();
    const std::vector<std::string> lines =
        Run(m, {"status", "get", "14", "0", "get", "4", "0", "get", "8", "0", "get", "257", "0"});
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "status init=1 eeprom=0 rf=0 monitor=1",
                         "get 14 0 rc=0 text=" + std::string(demo::kMonitorSerial),
                         "get 4 0 rc=0 text=" + std::string(demo::kSystemText),
                         "get 8 0 rc=0 text=" + std::string(demo::kBoardSerial),
                         "get 257 0 rc=0 text=" + std::string(demo::kUuidText),
                     }));
    // Start-up opened physical memory twice (EDID, then VPD) and closed it each time; the
    // UUID query once more.
    std::vector<std::string> pmem;
    for (const std::string &line : m.log()) {
        if (line == "PMEM OPEN ok" || line == "PMEM CLOSE" || line.rfind("PMEM SEARCH", 0) == 0) {
            pmem.push_back(line.substr(0, 16));
        }
    }
    EXPECT_EQ(pmem,
              (std::vector<std::string>{"PMEM OPEN ok", "PMEM SEARCH 4544", "PMEM CLOSE",    // EDID
                                        "PMEM OPEN ok", "PMEM SEARCH AA55", "PMEM CLOSE",    // VPD
                                        "PMEM OPEN ok", "PMEM SEARCH 5F53", "PMEM CLOSE"}))  // UUID
        << "log";
}

TEST_F(IdentityAttach, FailuresAtStartUpAreNotFatal) {
    struct Case {
        const char *name;
        const char *key;
        const char *value;
        bool damage_edid;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"physical memory unavailable",
         "pmem",
         "unavailable",
         false,
         {"status init=1 eeprom=0 rf=0 monitor=0",
          "get 14 0 rc=51 text=", "get 4 0 rc=61 text=", "get 257 0 rc=1 text="}},
        {"physical memory cannot be opened",
         "pmem_open",
         "fail",
         false,
         {"status init=1 eeprom=0 rf=0 monitor=0",
          "get 14 0 rc=51 text=", "get 4 0 rc=61 text=", "get 257 0 rc=1 text="}},
        {"EDID block damaged",
         nullptr,
         nullptr,
         true,
         {"status init=1 eeprom=0 rf=0 monitor=0",
          "get 14 0 rc=51 text=", "get 4 0 rc=0 text=" + std::string(demo::kSystemText),
          "get 257 0 rc=0 text=" + std::string(demo::kUuidText)}},
    };
    for (const Case &c : cases) {
        TempMachine m;
        PlaceBios(m);
        if (c.key != nullptr) m.conf(c.key, c.value);
        if (c.damage_edid) {
            const uint8_t last = qorsim::EdidBlock()[127];
            m.placeMemory(demo::kEdidBlock + 127, {static_cast<uint8_t>(last ^ 0x01)});
        }
        EXPECT_EQ(Run(m, {"status", "get", "14", "0", "get", "4", "0", "get", "257", "0"}),
                  c.expected)
            << c.name;
    }
}

TEST_F(IdentityAttach, InventoryReportOfTheDemoMachine) {
    TempMachine m(Preset::kDemo);
    const ChildResult r = RunChildProgram("qorasst", {"--json"}, Env(m));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The identity sections, as an application sees them through the exports.
    const std::string expected_monitor =
        "  \"monitor\": {\n"
        "    \"manufacturer\": \"QOR\",\n"
        "    \"product\": \"QORVIEW 1710\",\n"
        "    \"version\": \"1.3\",\n"
        "    \"serial\": \"QK7A120345\",\n"
        "    \"modes\": [\n"
        "      \"640x480 at 60 Hz\",\n"
        "      \"640x480 at 72 Hz\",\n"
        "      \"640x480 at 75 Hz\",\n"
        "      \"800x600 at 56 Hz\",\n"
        "      \"800x600 at 60 Hz\",\n"
        "      \"800x600 at 72 Hz\",\n"
        "      \"800x600 at 75 Hz\",\n"
        "      \"1024x768 at 60 Hz\",\n"
        "      \"1024x768 at 70 Hz\",\n"
        "      \"1024x768 at 75 Hz\",\n"
        "      \"1280x1024 at 75 Hz\",\n"
        "      \"1152x870 at 75 Hz\",\n"
        "      \"1280x1024 at 60 Hz\",\n"
        "      \"1152x864 at 75 Hz\",\n"
        "      \"1024x768 at 60 Hz\",\n"
        "      \"800x600 at 60 Hz\"\n"
        "    ]\n"
        "  },\n";
    const std::string expected_bios =
        "  \"bios\": {\n"
        "    \"vpd_system\": \"1S6281QK9ZX40177\",\n"
        "    \"vpd_board\": \"MB4K7Q20931\",\n"
        "    \"uuid\": \"6B29F03E-815A-4D12-9C07-E25B31A844D0\",\n"
        "    \"vpd_match\": true\n"
        "  },\n"
        "  \"rfid\": \"QOR7K2M9X4TB8A\"\n";
    EXPECT_NE(r.out.find(expected_monitor), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(expected_bios), std::string::npos) << r.out;
}

}  // namespace
