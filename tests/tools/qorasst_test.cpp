// The inventory tool end to end: it loads the real library on a simulated machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "eeprom/area_fixture.h"
#include "support/machine.h"

namespace {

ChildResult Qorasst(const TempMachine &machine, const std::vector<std::string> &args) {
    return RunChildProgram("qorasst", args, ChildOn(machine));
}

// The demo machine's report, as text and JSON: status, records, the identity sections as an
// application sees them through the exports (modes abridged), and the disks.
TEST(Qorasst, ReportsTheDemoMachine) {
    TempMachine machine(Preset::kDemo);
    const ChildResult text = Qorasst(machine, {"report"}), json = Qorasst(machine, {"--json"});
    ASSERT_EQ(text.exit_code + json.exit_code, 0) << text.err << json.err;
    EXPECT_EQ(text.err, "");
    for (const char *expected :
         {"status:\n  initialized: yes\n  asset_eeprom: yes\n  rf_eeprom: yes\n  monitor: yes\n",
          "  - device: memory module (recorded)\n    type: 17\n    index: 0\n",
          "  \"monitor\": {\n    \"manufacturer\": \"QOR\",\n    \"product\": \"QORVIEW 1710\",\n",
          "    \"version\": \"1.3\",\n    \"serial\": \"QK7A120345\",\n    \"modes\": [\n",
          "      \"640x480 at 60 Hz\",\n      \"640x480 at 72 Hz\",\n",
          "      \"800x600 at 60 Hz\"\n    ],\n    \"edid\": \"00FFFFFFFFFFFF00",
          "    \"vpd_system\": \"1S6281QK9ZX40177\",\n    \"vpd_board\": \"MB4K7Q20931\",\n",
          "    \"uuid\": \"6B29F03E-815A-4D12-9C07-E25B31A844D0\",\n    \"vpd_match\": true\n",
          "  },\n  \"rfid\": \"QOR7K2M9X4TB8A\""})
        EXPECT_NE((text.out + json.out).find(expected), std::string::npos) << expected;

    // The demo's two disks, as the library found them and as the drives answer (the 95 family
    // asks no disk).
    const char *personality = std::getenv("QORASST_PERSONALITY");
    if (personality != nullptr && std::string(personality) == "win98") return;
    EXPECT_EQ(Qorasst(machine, {"disks"}).out,
              "disks:\n  - drive: 0\n    method: SMART\n    interface: IDE\n    address: 0\n"
              "    serial: WD-WMAM9C1234567890\n  - drive: 1\n    method: pass-through INQUIRY\n"
              "    interface: SCSI\n    address: 3\n    serial: ULTRA36LP3CC0A7F2\n");
    EXPECT_NE(text.out.find("  - device: hard disk\n    type: 2\n    index: 1\n"
                            "    serial: ULTRA36LP3CC0A7F2\n"),
              std::string::npos);
}

// Commands that need no machine never load the library, whose start-up touches the bus and
// may format areas: they run from a copy of the program with no library beside it, and on an
// RF machine whose damaged user area a start-up would format they leave every device alone.
// Bad arguments give exit status 2 and one line saying why; a command that asks the machine
// says when the library cannot be found.
TEST(Qorasst, CommandsWithoutMachineNeverLoadTheLibrary) {
    TempMachine machine(Preset::kRf);
    machine.setDevice(0xAA, qorsim::UserAreaImage({{0xFF, 6, 0, 0, 0, 0}}));
    const qorsim::Image damaged = machine.device(0xAA);
    machine.enableLog();
    TempDir dir;
    const std::string dump = dir.file("AA.bin"), program = BinPath("qorasst");
    const std::string alone = dir.file(std::filesystem::path(program).filename().string());
    const std::string repair =
        "  - structure at offset 16: message \"Keystrata Warning -- UserArea structure type FF "
        "(User) corrupted.  The problem will be corrected.\"\n  - repair: the first structure "
        "of type FF is replaced by its blank (size 7) in 10 single-byte writes\n";
    std::filesystem::copy_file(program, alone);
    WriteTextFile(dump, std::string(damaged.begin(), damaged.end()));
    const ChildEnv env = ChildOn(machine);
    for (const std::string &qorasst : {alone, program}) {
        auto run = [&](const std::vector<std::string> &args) {
            return Child(qorasst, args, env).Wait();
        };
        EXPECT_NE(run({"--help"}).out.find("\n  report [--format text|json|ocs] "),
                  std::string::npos);
        EXPECT_EQ(run({"--version"}).out, "qorasst " QORASST_VERSION "\n");
        EXPECT_NE(run({"inspect", dump}).out.find(repair), std::string::npos);
        for (const char *line : {"frobnicate", "--nope", "status --xml", "report --format xml",
                                 "serial", "serial put 4 0", "serial get 4", "serial set 4 0",
                                 "serial get 4 x", "serial set 4 0 ''"}) {
            const ChildResult r = run(Words(line));
            EXPECT_EQ(r.exit_code, 2) << line;
            EXPECT_TRUE(r.out.empty() && r.err.starts_with("qorasst: ") &&
                        r.err.find('\n') == r.err.size() - 1)
                << r.err;
        }
    }
    EXPECT_EQ(machine.log(), std::vector<std::string>{});
    EXPECT_EQ(machine.device(0xAA), damaged);
    const ChildResult status = Child(alone, {"status"}, env).Wait();
    EXPECT_TRUE(status.err.starts_with("qorasst: cannot load the QORasstW library: "))
        << status.err;
    EXPECT_EQ(status.exit_code, 1);
}

struct Step {
    int exit_code;
    std::string out, err;  // a part of each (no output at all for an empty out)
    std::vector<std::string> args;
};

// Each step a process of its own on the same machine, running the command with the step's
// arguments.
void Steps(const TempMachine &machine, const std::string &command, std::vector<Step> steps) {
    for (Step &s : steps) {
        s.args.insert(s.args.begin(), command);
        const ChildResult r = Qorasst(machine, s.args);
        EXPECT_EQ(r.exit_code, s.exit_code) << s.args.back();
        EXPECT_TRUE(s.out.empty() ? r.out.empty() : r.out.find(s.out) != std::string::npos)
            << r.out;
        EXPECT_NE(r.err.find(s.err), std::string::npos) << r.err;
    }
}

TEST(Qorasst, SerialGetsSetsAndDeletes) {
    TempMachine machine;
    machine.setDevice(area_test::kArea, area_test::Area());
    Steps(machine, "serial",
          {{0, "serial 4 0 stored\n", "", {"set", "4", "0", "abc-123"}},
           {0, "ABC-123\n", "", {"get", "4", "0"}},
           {1, "", "serial 4 0 not stored: the text must have", {"set", "4", "0", "ab"}},
           {0, "serial 4 0 deleted\n", "", {"delete", "4", "0"}},
           {1, "", "no BIOS VPD to fall back on (result 61)", {"get", "4", "0"}},
           {1, "", "the index must be 0 for this device type (result 103)", {"get", "14", "1"}}});
    EXPECT_EQ(machine.device(area_test::kArea), area_test::Area({{0, std::string(19, 'D')}}));
}

TEST(Qorasst, UserStructuresListedStoredAndDeleted) {
    TempMachine machine(Preset::kRf);
    machine.setDevice(0xAA, qorsim::UserAreaImage({}));
    // Every run's start-up records this host's addresses in the "Network" structure.
    WriteTextFile(machine.path() + "/host.conf",
                  "address 192.168.0.2\nroute 0.0.0.0 0.0.0.0 192.168.0.1 192.168.0.2\n"
                  "route 192.168.0.0 255.255.255.0 0.0.0.0 192.168.0.2\n");
    const std::string network =
                          "\"gateway\": \"192.168.0.1\",\n    \"addresses\": [\n      "
                          "\"192.168.0.2/255.255.255.0\"",
                      ff = "stored: FF\nbytes: FF0F6A646F65004A616E6500000000\n",
                      fa = "01C0A80001C0A80002FFFFFF00";
    Steps(machine, "user",
          {{0, ff, "", {"set", "FF", "jdoe", "Jane", "", "", ""}},
           {2, "", "(Lease) corrupted", {"set", "FE", "--fixed", "01", "a", "b"}},
           {0, "stored: FA\n", "", {"set", "FA", "--fixed", fa, "host", "jdoe"}},
           {0, network, "", {"--json"}},
           {0, "deleted: FF\n", "", {"delete", "FF"}},
           {0, "- type: FA\n  name: Network\n", "", {}}});
    // The list reads the area once, not once per type code.
    machine.enableLog();
    Qorasst(machine, {"user"});
    EXPECT_LT(std::ranges::count(machine.i2cTransfers(), 0xAA, &I2cTransfer::dev), 8);
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
        {raw("erased.bin", qorsim::ErasedImage()), 1, "no signature"},
        // A "Network" structure whose count claims two pairs where it holds one.
        {raw("net.bin", qorsim::UserAreaImage({{0xFA, 15, 2, 1, 1, 1, 1, 2, 2, 2, 2, 9, 9, 9, 9}})),
         1, "the address count 2 claims more than the size holds"},
    };
    for (const auto &c : cases) {
        const ChildResult r = RunChildProgram("qorasst", {"inspect", c.file, "--json"});
        EXPECT_EQ(r.exit_code, c.exit_code) << c.file << r.out;
        const ChildResult t = RunChildProgram("qorasst", {"inspect", c.file});
        EXPECT_NE((r.out + t.out).find(c.out), std::string::npos) << r.out << t.out;
    }
}

}  // namespace
