// The real bus and memory backends, run on the simulated kernel: every request they make is
// answered from a simulated machine and logged, so the exact i2c-dev and /dev/mem requests
// are proved without touching this machine's devices.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "eeprom/area_fixture.h"
#include "hwdiag.h"
#include "platform/hwlib.h"
#include "real_sys.h"
#include "support/machine.h"

// The largest single allocation since it was last reset (every operator new of the process
// comes here first, then goes on to the one it replaces): a physical-memory read must take no
// room proportional to a length its caller names.
std::size_t g_largest_new = 0;

void *operator new(std::size_t size) {
    static const auto next = reinterpret_cast<void *(*)(std::size_t)>(
        dlsym(RTLD_NEXT, sizeof size == 8 ? "_Znwm" : "_Znwj"));
    g_largest_new = std::max(g_largest_new, size);
    return next(size);
}

namespace {

// The requests that reached the kernel since the last call, ";" between them.
std::string KernelLog(const TempMachine &m) {
    std::ifstream in(m.path() + "/kernel.log");
    std::string log, line;
    while (std::getline(in, line)) log += (log.empty() ? "" : ";") + line;
    std::remove((m.path() + "/kernel.log").c_str());
    return log;
}

// The first request of a log that would change a device (an I2C_RDWR write message carrying
// data, or an SMBus write), or "".
std::string FirstStore(const std::string &log) {
    std::istringstream in(log);
    for (std::string l; std::getline(in, l, ';');)
        if (l.rfind("SMBUS W", 0) == 0 || (l.rfind("RDWR", 0) == 0 && l.find(" R") == l.npos))
            return l;
    return "";
}

// This process's hardware libraries on the simulated kernel over a machine of its own (never
// the real one: the kernel is linked in, and no simulated machine is named).
class RealBackend : public ::testing::Test {
  protected:
    RealBackend() {
        unsetenv(qorsim::kMachineEnv);
        unsetenv("QORASST_I2C_BUS");
        unsetenv("QORASST_I2C_WRITE");
        // Byte 2 holds no memory type: the device may be written.
        for (int i = 0; i < 256; ++i) image_[i] = static_cast<uint8_t>(i ^ 0x80);
        for (uint8_t device : {uint8_t{0x0E}, uint8_t{0xA8}, uint8_t{0xF0}})
            machine_.setDevice(device, image_);
    }
    void SetUp() override { ASSERT_TRUE(QorSimKernel != nullptr && QorSimKernel() != nullptr); }
    ~RealBackend() override { I2C_Close(); }

    TempMachine machine_;
    ScopedEnv kernel_{"QORSIM_KERNEL", machine_.path()};
    qorsim::Image image_{};
};

TEST_F(RealBackend, ChoosesTheAdapterOrSaysWhyThereIsNone) {
    const std::string i915 = "kernel_adapter 0 i915 gmbus dpc;",
                      i801 = "kernel_adapter 1 SMBus I801 adapter at efa0";
    const struct {
        std::string conf;  // machine.conf lines, ";" between them
        const char *bus;   // QORASST_I2C_BUS, when set
        int usable;
        std::string text;
    } cases[] = {
        {i915 + "kernel_adapter 3 SMBus PIIX4 adapter port 0 at 0b00;kernel_adapter 7 SMBus I801 "
                "adapter at efa0",
         nullptr, 1, "i2c-3 \"SMBus PIIX4 adapter port 0 at 0b00\", I2C transfers, writes off"},
        {i915 + i801, "i2c-0", 1, "i2c-0 \"i915 gmbus dpc\""},
        {i915 + i801, "SMBus I801", 1, "i2c-1 \"SMBus I801 adapter at efa0\""},
        {i915, "nvidia", 0,
         "QORASST_I2C_BUS=\"nvidia\" names no I2C adapter (adapters: i2c-0 \"i915 gmbus dpc\")"},
        {i915, nullptr, 0,
         "no SMBus adapter (adapters: i2c-0 \"i915 gmbus dpc\"): load the SMBus controller's"},
        {"kernel_adapter none", nullptr, 0,
         "no I2C adapters: the kernel lists none (/sys/class/i2c-adapter is missing)"},
        {"kernel_i2c_dev missing", nullptr, 0,
         "/dev/i2c-0 is missing: load the i2c-dev module (modprobe i2c-dev)"},
        {"kernel_i2c_dev denied", nullptr, 0, "/dev/i2c-0: no permission: run as root"},
        {"kernel_funcs block", nullptr, 1, "SMBus I2C-block reads, writes off"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        for (const char *key : {"kernel_adapter", "kernel_i2c_dev", "kernel_funcs"})
            machine_.clearConf(key);
        std::istringstream conf(c.conf);
        for (std::string l; std::getline(conf, l, ';');)
            machine_.addConf(l.substr(0, l.find(' ')), l.substr(l.find(' ') + 1));
        if (c.bus) setenv("QORASST_I2C_BUS", c.bus, 1);
        char text[300] = {};
        EXPECT_EQ(QorBusDiagnostic(text, sizeof text), c.usable);
        EXPECT_NE(std::string(text).find(c.text), std::string::npos) << text;
        EXPECT_EQ(I2C_Open(), c.usable);
        I2C_Close();
        unsetenv("QORASST_I2C_BUS");
    }
}

// One read, one write and the failures that never reach the bus, for each kind of adapter.
TEST_F(RealBackend, SendsExactRequestsForEachKindOfAdapter) {
    const struct {
        const char *funcs;
        int length;         // read at 0x10 of 0xA8
        std::string read;   // the requests of that read
        std::string write;  // of "ABCD" at 0x10 of 0xA8
    } cases[] = {
        {"i2c", 40, "RDWR W54 10 R54 40", "RDWR W54 00 R54 4;RDWR W54 1041424344"},
        {"block", 40, "SLAVE 54;SMBUS R 54 BLOCK 10 32;SMBUS R 54 BLOCK 30 8",
         "SLAVE 54;SMBUS R 54 BLOCK 00 4;SLAVE 54;SMBUS W 54 BLOCK 10 41424344"},
        {"byte", 2, "SLAVE 54;SMBUS R 54 BYTE 10;SMBUS R 54 BYTE 11",
         "SLAVE 54;SMBUS R 54 BYTE 00;SMBUS R 54 BYTE 01;SMBUS R 54 BYTE 02;SMBUS R 54 BYTE 03;"
         "SLAVE 54;SMBUS W 54 BYTE 10 41;SMBUS W 54 BYTE 11 42;SMBUS W 54 BYTE 12 43;SMBUS W 54 "
         "BYTE 13 44"},
    };
    const uint8_t abcd[] = {'A', 'B', 'C', 'D'};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.funcs);
        machine_.setDevice(0xA8, image_);
        machine_.conf("kernel_funcs", c.funcs);
        ASSERT_EQ(I2C_Open(), 1);
        KernelLog(machine_);
        uint8_t in[40] = {};
        ASSERT_EQ(I2C_SendCommandThenRead(0xA8, 0x10, in, c.length), 0);
        EXPECT_EQ(KernelLog(machine_), c.read);
        EXPECT_TRUE(std::equal(in, in + c.length, image_.begin() + 0x10));

        const int refused = QorBusRefusedWrites();
        EXPECT_NE(I2C_SendCommandThenWrite(0xA8, 0x10, abcd, 4), 0);  // writes are off
        setenv("QORASST_I2C_WRITE", "0", 1);
        EXPECT_NE(I2C_SendCommandThenWrite(0xA8, 0x10, abcd, 4), 0);
        EXPECT_EQ(KernelLog(machine_), "");
        EXPECT_EQ(QorBusRefusedWrites(), refused + 2);
        setenv("QORASST_I2C_WRITE", "1", 1);
        ASSERT_EQ(I2C_SendCommandThenWrite(0xA8, 0x10, abcd, 4), 0);
        EXPECT_EQ(KernelLog(machine_), c.write);
        EXPECT_EQ(machine_.device(0xA8)[0x13], 'D');

        // Refused before the bus: no device (A0, whose read alone goes out and fails), past
        // the end, the reserved addresses below 0x08 and above 0x77 (devices answer there),
        // no length.
        std::fill(std::begin(in), std::end(in), 0xEE);
        for (int rc :
             {I2C_SendCommandThenRead(0xA0, 0, in, 1), I2C_SendCommandThenRead(0xA8, 0xF0, in, 17),
              I2C_SendCommandThenRead(0x0E, 0, in, 1), I2C_SendCommandThenRead(0xF0, 0, in, 1),
              I2C_SendCommandThenWrite(0xA8, 0xFE, abcd, 4),
              I2C_SendCommandThenRead(0xA8, 0, in, 0)})
            EXPECT_EQ(rc, 1);
        EXPECT_EQ(in[0], 0xEE);
        unsetenv("QORASST_I2C_WRITE");
        I2C_Close();
    }
    // A device a kernel driver holds is read beside it.
    machine_.conf("kernel_claimed", "54");
    ASSERT_EQ(I2C_Open(), 1);
    KernelLog(machine_);
    uint8_t b = 0;
    EXPECT_EQ(I2C_SendCommandThenRead(0xA8, 0x05, &b, 1), 0);
    EXPECT_EQ(b, image_[5]);
    EXPECT_EQ(KernelLog(machine_), "SLAVE 54 EBUSY;SLAVE_FORCE 54;SMBUS R 54 BYTE 05");
}

TEST_F(RealBackend, PhysicalMemoryIsTheFirstMibOnly) {
    machine_.placeMemory(0xFFFF0, {'V', 'P', 'D', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
    std::vector<uint8_t> room(0x10000);
    EXPECT_EQ(PMemRead(room.data(), 0xFFFF0, 16), 1);  // not open
    ASSERT_EQ(PMemIsInitialized(), 1);
    ASSERT_EQ(PMemOpen(), 1);
    KernelLog(machine_);
    // Below 1 MiB only; a range past it is refused at once, and no length a caller names
    // takes room beyond the window.
    const std::tuple<uint32_t, uint32_t, int> reads[] = {
        {0xFFFFF, 2, 1}, {0x100000, 1, 1}, {0xF0000, 0xFFFFFFFF, 1}, {0, 0xC0000000, 1},
        {0xFFFF0, 0, 0}, {0xFFFFF, 1, 0},  {0xF0000, 0x10000, 0},    {0xFFFF0, 16, 0}};
    for (const auto &[address, length, rc] : reads) {
        g_largest_new = 0;
        EXPECT_EQ(PMemRead(room.data(), address, length), rc) << address << " " << length;
        EXPECT_LE(g_largest_new, 0x10000u) << length;
    }
    EXPECT_EQ(room[15], 13);
    EXPECT_EQ(PMemSearch("VPD", 0xF0000, 0xFFFFF, 16), 0xFFFF0u);
    EXPECT_EQ(PMemSearch("VPD", 0xE0000, 0x10FFFF, 16), 0xFFFF0u);  // clamped at 1 MiB
    EXPECT_EQ(PMemSearch("VPD", 0x100000, 0x1FFFFF, 16), 0u);
    PMemClose();
    EXPECT_EQ(KernelLog(machine_),
              "PREAD /dev/mem 000FFFFF 1;PREAD /dev/mem 000F0000 65536;PREAD /dev/mem 000FFFF0 "
              "16;PREAD /dev/mem 000F0000 65536;PREAD /dev/mem 000E0000 131072;CLOSE /dev/mem");
    for (const auto &[how, why] :
         {std::pair{"missing", "is missing (a kernel without it)"},
          std::pair{"denied", "not readable: no permission: run as root"}}) {
        machine_.conf("kernel_mem", how);
        char text[200] = {};
        EXPECT_EQ(PMemIsInitialized(), 0);
        EXPECT_EQ(QorPMemDiagnostic(text, sizeof text), 0);
        EXPECT_EQ(std::string(text), std::string("/dev/mem ") + why);
    }
}

// The library in child processes on the simulated kernel.
ChildEnv KernelEnv(const TempMachine &m, bool writes = false) {
    const char *asan = std::getenv("ASAN_OPTIONS");
    return {{qorsim::kMachineEnv, ""},
            {"QORSIM_KERNEL", m.path()},
            {"LD_PRELOAD", BinPath("libqorsimkernel.so")},
            {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"},
            {"QORASST_NAMESPACE", UniqueNamespace()},
            {"QORASST_I2C_WRITE", writes ? "1" : ""}};
}

// Every writing path the library has: formatting blank areas on an RF board, the records'
// synchronisation, clearing both dirty flags, storing and deleting a serial number, storing a
// user-area structure.
TEST(RealBackendInTheLibrary, WithWritesOffNoWriteReachesTheKernelAndTheReportSaysWhy) {
    const auto commands =
        Words("status dirty set 4 0 ABC1234 set 8 0 '' get 2 0 udirty uset 20042A00");
    for (bool blank : {true, false}) {
        SCOPED_TRACE(blank ? "blank RF board" : "dirty area");
        TempMachine machine(Preset::kRf);
        if (!blank) {
            machine.setDevice(0xA8, area_test::AreaImage(20, 12, 1, {}, 0x01));
            qorsim::Image user = TempMachine(Preset::kDemo).device(0xAA);
            user[9] |= 1;  // changed outside, the area still balancing
            user[8] = static_cast<uint8_t>(user[8] - 1);
            machine.setDevice(0xAA, user);
        }
        std::vector<std::pair<uint8_t, qorsim::Image>> before;
        for (uint8_t a : qorsim::ListDevices(machine.path()))
            before.push_back({a, machine.device(a)});

        const ChildResult r = RunChild(commands, KernelEnv(machine));
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find("set 4 0 rc=0"), std::string::npos) << r.out;  // refused
        EXPECT_EQ(r.out.find("uset 2004 rc=0"), std::string::npos) << r.out;
        const ChildResult set =
            RunChildProgram("qorasst", {"serial", "set", "4", "0", "XYZ987"}, KernelEnv(machine));
        EXPECT_NE(set.err.find("\nqorasst: bus writes are off"), std::string::npos) << set.err;
        const ChildResult report = RunChildProgram("qorasst", {"report"}, KernelEnv(machine));
        EXPECT_NE(report.out.find("\n  writes: off, "), std::string::npos) << report.out;

        const std::string log = KernelLog(machine);
        EXPECT_GT(std::count(log.begin(), log.end(), ';'), 10);
        EXPECT_EQ(FirstStore(log), "");
        for (const auto &[a, image] : before) EXPECT_EQ(machine.device(a), image) << int(a);
    }
    // Writes on, but the areas' addresses hold memory modules' SPD data: start-up writes
    // nothing there, and the report says why.
    TempMachine machine(Preset::kRf);
    const qorsim::Image erased = machine.device(0xA8), spd = machine.device(0xA0);
    for (uint8_t a : {uint8_t{0xA8}, uint8_t{0xAA}}) machine.setDevice(a, spd);
    const std::string report = RunChildProgram("qorasst", {"report"}, KernelEnv(machine, true)).out;
    EXPECT_EQ(FirstStore(KernelLog(machine)), "");
    // (How many refusals depends on the library's retries; which devices and why does not.)
    EXPECT_NE(report.find(" refused to 0xA8, 0xAA, whose first bytes read as a memory module"),
              std::string::npos)
        << report;
    // The same board with erased EEPROMs there is formatted: the test would see a write.
    for (uint8_t a : {uint8_t{0xA8}, uint8_t{0xAA}}) machine.setDevice(a, erased);
    ASSERT_EQ(RunChild({"status"}, KernelEnv(machine, true)).exit_code, 0);
    EXPECT_NE(FirstStore(KernelLog(machine)), "");
    EXPECT_EQ(machine.device(0xA8)[0], 'S');
    // Without its sources the library says nothing, and the report says why each is missing.
    machine.conf("kernel_i2c_dev", "missing");
    machine.conf("kernel_mem", "denied");
    const ChildResult r = RunChildProgram("qorasst", {"status"}, KernelEnv(machine));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("  initialized: no\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("machine:\n  bus: missing: /dev/i2c-0 is missing: load the i2c-dev "
                         "module (modprobe i2c-dev)\n  physical_memory: missing: /dev/mem not "),
              std::string::npos)
        << r.out;
}

}  // namespace
