// The disks of the 95 family on the simulated machine: SMARTVSD drives 0 to 3 and the devices
// of the simulated ASPI manager, loaded at run time as the library loads the real one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "collect.h"
#include "platform/system.h"
#include "sim_disks.h"
#include "support/machine.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN  // no `interface` macro
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using qorsim::AspiCompletion;
using qorsim::Bytes;

#ifdef _WIN32
const char kManager[] = "WNASPI32.DLL";
const char kSearchPath[] = "PATH";
#else
const char kManager[] = "libwnaspi32.so";
const char kSearchPath[] = "LD_LIBRARY_PATH";
#endif

std::string ManagerDir(const std::string &variant) {
    return std::string(QOR_BIN_DIR) + "/" + variant;
}

// Loads the full simulated manager into this process by its path, so that the library's own
// load by name finds it already there.
bool PreloadManager() {
    const std::string path = ManagerDir("aspi") + "/" + kManager;
#ifdef _WIN32
    return LoadLibraryA(path.c_str()) != nullptr;
#else
    return dlopen(path.c_str(), RTLD_NOW) != nullptr;
#endif
}

Bytes Disk(const std::string &serial, uint8_t type = 0) {
    Bytes data = qorsim::InquiryData("V", "DISK", serial);
    data[0] = type;
    return data;
}

class Disks95 : public MachineFixture {
  protected:
    void SetUp() override {
        ASSERT_TRUE(PreloadManager());
        machine_.conf("platform", "9x");
        qorsim::AspiConf aspi;
        aspi.adapters = 2;
        qorsim::WriteAspi(machine_.path(), aspi);
    }
    void Vsd(int drive, Bytes identify, uint8_t driver_error = 0) {
        qorsim::SimDisk d = qorsim::IdeDisk(identify, 0);
        d.driver_error = driver_error;
        qorsim::WriteDisk(machine_.path(), drive, d);
    }
    void Aspi(int a, int t, int l, Bytes inquiry, AspiCompletion c = AspiCompletion::kNow) {
        qorsim::AddAspiDevice(machine_.path(), {a, t, l, c, inquiry});
    }
    std::vector<std::string> Log(const std::string &prefix) {
        return LogLines(machine_.path(), prefix);
    }
};

TEST_F(Disks95, QualifyingDrivesAndDevicesTakeEntries) {
    Bytes no_word1 = qorsim::IdentifyData("M", "NOWORD1"), no_byte20 = no_word1;
    no_word1[2] = no_word1[3] = 0;
    no_byte20[20] = 0;  // byte 21, the text's first character, stays
    Vsd(0, qorsim::IdentifyData("M", "IDE-ZERO"));
    Vsd(1, no_word1);
    Vsd(2, no_byte20);
    Vsd(3, qorsim::IdentifyData("M", "DRIVER-ERROR"), 1);
    Aspi(0, 0, 0, Disk("AT-ONCE"));
    Aspi(0, 1, 0, Disk("CDROM", 5));
    Aspi(0, 2, 1, Disk(""));  // byte 36 is a space, not 0: qualifies
    Aspi(0, 2, 2, Bytes(36, 0));
    Aspi(0, 3, 0, Disk("PENDING"), AspiCompletion::kPending);
    Aspi(0, 4, 0, Disk("LATE"), AspiCompletion::kLate);
    Aspi(0, 5, 0, Disk("ERROR"), AspiCompletion::kError);
    Aspi(0, 6, 0, Disk("NEVER"), AspiCompletion::kNever);
    Aspi(0, 7, 0, Disk("AFTER"), AspiCompletion::kPending);
    Aspi(1, 15, 7, Disk("LAST"));
    const std::vector<Entry> want = {
        {"IDE-ZERO           ", 0, 0}, {"DISKAT-ONCE", 1, 0}, {"DISK", 1, 2},
        {"DISKPENDING", 1, 3},         {"DISKAFTER", 1, 7},   {"DISKLAST", 1, 15},
    };
    EXPECT_EQ(CollectIntoCache(), want);
    // Every position of both adapters was asked, each once.
    EXPECT_EQ(Log("ASPI ").size(), 2u * 16 * 8);
}

TEST_F(Disks95, RequestBlocksAsTheDriverAndTheManagerReceiveThem) {
    Aspi(1, 9, 5, Disk("X"));
    CollectIntoCache();
    std::vector<std::string> vsd;  // the head register and the drive number
    for (const auto &l : Log("VSD 0007C088 ")) {
        vsd.push_back(l.substr(18, 8));
        EXPECT_EQ(l.substr(0, 18) + l.substr(26, 38), "000200000000000000" + std::string(38, '0'));
    }
    EXPECT_EQ(vsd, (std::vector<std::string>{"A0EC0000", "B0EC0001", "A0EC0002", "B0EC0003"}));
    // Command 2, adapter 1, flags 0x48, target 9, LUN 5, 255 bytes, sense 16, CDB 6, the
    // buffer and the event (as zeros), INQUIRY for LUN 5.
    const std::string srb =
        Ungrouped("0200014800000000090500 00FF000000 00000000 10060000 00000000") +
        std::string(40, '0') + "12A00000FF00" + std::string(20 + 32, '0');
    EXPECT_EQ(Log("ASPI ")[128 + 9 * 8 + 5], srb + " 01");
}

TEST_F(Disks95, TheFirst24QualifyingAreKeptAndAskingStops) {
    for (int d = 0; d < 4; ++d) Vsd(d, qorsim::IdentifyData("M", "IDE" + std::to_string(d)));
    for (int i = 0; i < 30; ++i) Aspi(0, i / 8, i % 8, Disk("S" + std::to_string(i)));
    const auto entries = CollectIntoCache();
    ASSERT_EQ(entries.size(), 24u);
    EXPECT_EQ(entries[3], (Entry{"IDE3               ", 0, 3}));
    EXPECT_EQ(entries[23], (Entry{"DISKS19", 1, 2}));
    EXPECT_EQ(Log("ASPI ").size(), 20u);
}

TEST(DiskFamily, FollowsTheSystemUnlessTheMachineSays) {
    TempMachine machine;
    UseMachine use(machine);
    EXPECT_EQ(PlatDiskFamily(), PlatIsNtFamily() ? DiskFamily::kNt : DiskFamily::k95);
    for (const auto &[line, family] : {std::pair{"9x", DiskFamily::k95}, {"nt", DiskFamily::kNt}}) {
        machine.conf("platform", line);
        EXPECT_EQ(PlatDiskFamily(), family) << line;
    }
}

// The real library in child processes: without a complete manager nothing is asked, not even
// the IDE drives; a manager whose support information fails leaves the IDE drives only.
TEST(Disks95Attach, ManagerVariants) {
    TempDir empty;
    struct {
        std::string manager_dir;
        int support;
        std::vector<std::string> gets;
        size_t vsd;  // requests logged (no ASPI request in any case)
    } cases[] = {
        {empty.path(), 1, {"get 2 0 rc=1 text="}, 0},
        {ManagerDir("aspi-incomplete"), 1, {"get 2 0 rc=1 text="}, 0},
        {ManagerDir("aspi"), 4, {"get 2 0 rc=0 text=IDE-ONLY           ", "get 2 1 rc=1 text="}, 4},
    };
    for (const auto &c : cases) {
        TempMachine machine;
        machine.enableLog();
        machine.conf("platform", "9x");
        qorsim::WriteDisk(machine.path(), 0,
                          qorsim::IdeDisk(qorsim::IdentifyData("M", "IDE-ONLY"), 0));
        qorsim::WriteAspi(machine.path(),
                          {c.support, 1, {{0, 0, 0, AspiCompletion::kNow, Disk("S")}}});
        const ChildResult r =
            RunChild(Words("get 2 0 get 2 1"), ChildOn(machine, {{kSearchPath, c.manager_dir}}));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        auto gets = LinesStartingWith(r.out, "get ");
        gets.resize(c.gets.size());
        EXPECT_EQ(gets, c.gets) << c.manager_dir;
        EXPECT_EQ(LogLines(machine.path(), "VSD 0007C088").size(), c.vsd) << c.manager_dir;
        EXPECT_EQ(LogLines(machine.path(), "ASPI ").size(), 0u) << c.manager_dir;
    }
}

// A first process killed while its collector fills the cache: a second one that holds the
// cache reads whole entries, then empty ones, never part of an entry.
TEST(Disks95Attach, AProcessKilledMidWayLeavesOnlyWholeEntries) {
    TempMachine machine;
    TempDir dir;
    machine.conf("platform", "9x");
    qorsim::AspiConf aspi;
    for (int l = 0; l < 8; ++l)
        aspi.devices.push_back(
            {0, 0, l, AspiCompletion::kPending, Disk("SERIAL-" + std::to_string(l))});
    qorsim::WriteAspi(machine.path(), aspi);
    const ChildEnv env = ChildOn(machine, {{kSearchPath, ManagerDir("aspi")}});
    Child first(BinPath("qor_child"), {"touch", dir.file("first"), "wait", dir.file("die"), "die"},
                env);
    AppearsWithin(dir.file("first"));
    std::vector<std::string> args = {"touch", dir.file("second"), "wait", dir.file("read")};
    for (int i = 0; i < 9; ++i) args.insert(args.end(), {"get", "2", std::to_string(i)});
    Child second(BinPath("qor_child"), args, env);
    AppearsWithin(dir.file("second"));
    WriteTextFile(dir.file("die"), "");
    first.Wait();
    WriteTextFile(dir.file("read"), "");
    const ChildResult r = second.Wait();
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto gets = LinesStartingWith(r.out, "get ");
    ASSERT_EQ(gets.size(), 9u);
    // Whole entries first, then empty ones.
    for (size_t i = 0, whole = 0; i < 9; ++i) {
        const std::string n = std::to_string(i),
                          entry = "get 2 " + n + " rc=0 text=DISKSERIAL-" + n;
        whole += whole == i && gets[i] == entry;
        EXPECT_TRUE(i < whole || gets[i] == "get 2 " + n + " rc=1 text=") << gets[i];
    }
}

// Start-up returns while the collector still waits for devices that never complete.
TEST(Disks95Attach, TheCollectorNeverHoldsUpStartUp) {
    TempMachine machine;
    TempDir dir;
    machine.enableLog();
    machine.conf("platform", "9x");
    qorsim::AspiConf aspi;
    for (int t = 0; t < 16; ++t)
        aspi.devices.push_back({0, t, 0, AspiCompletion::kNever, Disk("N")});
    qorsim::WriteAspi(machine.path(), aspi);
    Child child(BinPath("qor_child"),
                {"touch", dir.file("ready"), "wait", dir.file("release"), "get", "2", "0"},
                ChildOn(machine, {{kSearchPath, ManagerDir("aspi")}}));
    AppearsWithin(dir.file("ready"));
    const size_t asked = LogLines(machine.path(), "ASPI ").size();
    WriteTextFile(dir.file("release"), "");
    EXPECT_EQ(child.Wait().exit_code, 0);
    // 16 waits of 258 ms each lay ahead of the collector when start-up was done; the type 2
    // query at the end waited for all 128 positions.
    EXPECT_LT(asked, 128u);
    EXPECT_EQ(LogLines(machine.path(), "ASPI ").size(), 128u);
}

}  // namespace
