// The real library loaded by child processes: the EDID capture and the VPD load made at
// start-up and what the queries then answer (the inventory report: tests/tools).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/machine.h"

namespace {

namespace demo = qorsim::demo;

TEST(IdentityAttach, BiosTablesAtStartUpAndTheirFailures) {
    struct Case {
        const char *key, *value;  // a fault to inject: none, physical memory missing or closed
        bool damage_edid, monitor, bios;
    } const cases[] = {
        {nullptr, nullptr, false, true, true},
        {"pmem", "unavailable", false, false, false},
        {"pmem_open", "fail", false, false, false},
        {nullptr, nullptr, true, false, true},  // the EDID block damaged
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        TempMachine m;  // the demo board's BIOS tables, no bus devices
        qorsim::MachineContents contents;
        qorsim::AddBiosMemory(contents);
        qorsim::WriteMachine(m.path(), contents);
        if (c.key != nullptr) m.conf(c.key, c.value);
        if (c.damage_edid) {
            const uint8_t last = qorsim::EdidBlock()[127];
            m.placeMemory(demo::kEdidBlock + 127, {static_cast<uint8_t>(last ^ 0x01)});
        }
        m.enableLog();
        const ChildResult r =
            RunChild(Words("status get 14 0 get 4 0 get 8 0 get 257 0"), ChildOn(m));
        EXPECT_EQ(r.exit_code, 0) << r.err;
        const auto got = [](bool ok, const char *fail, const char *text) {
            return std::string(" rc=") + (ok ? "0" : fail) + " text=" + (ok ? text : "");
        };
        EXPECT_EQ(LinesStartingWith(r.out, ""),
                  (std::vector<std::string>{
                      "status init=1 eeprom=0 rf=0 monitor=" + std::string(c.monitor ? "1" : "0"),
                      "get 14 0" + got(c.monitor, "51", demo::kMonitorSerial),
                      "get 4 0" + got(c.bios, "61", demo::kSystemText),
                      "get 8 0" + got(c.bios, "61", demo::kBoardSerial),
                      "get 257 0" + got(c.bios, "1", demo::kUuidText)}));
        // Physical memory is opened and closed around each table: EDID, VPD, then the UUID.
        std::vector<std::string> searches;
        for (const std::string &line : m.pmemLog())
            if (line.rfind("PMEM SEARCH ", 0) == 0) searches.push_back(line.substr(12, 4));
        const std::vector<std::string> all = {"4544", "AA55", "5F53"}, none;
        EXPECT_EQ(searches, c.bios ? all : none);
        EXPECT_TRUE(PmemClosedAfterEveryOpen(m.pmemLog()));
    }
}

}  // namespace
