// The Win32 seams and the DLL's life on Windows: kernel objects shared between processes,
// the version test behind the two personalities, the registry, and unloading the DLL while
// its threads still run.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "QORasstW.h"
#include "platform/mapping.h"
#include "platform/mutex.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "support/child.h"
#include "support/machine.h"

namespace {

std::string Name(const char *base) {
    char name[256];
    PlatObjectName(base, name, sizeof name);
    return name;
}

class Win32Platform : public ::testing::Test {
  protected:
    ScopedEnv ns_{"QORASST_NAMESPACE", UniqueNamespace()};
};

TEST_F(Win32Platform, ObjectNamesAreScopedByTheNamespace) {
    struct Case {
        const char *scope;  // "" leaves the variable unset
        const char *expected;
    };
    const Case cases[] = {
        {"ns1", "ns1.QORasst_eemutex"},
        {"", "QORasst_eemutex"},
        {"Global\\x", "Global_x.QORasst_eemutex"},  // never a kernel namespace
    };
    for (const auto &c : cases) {
        ScopedEnv scope("QORASST_NAMESPACE", c.scope);
        EXPECT_EQ(Name("QORasst_eemutex"), c.expected) << c.scope;
    }
}

// scripts/test-windows.sh runs every test program once posing as each system.
TEST_F(Win32Platform, VersionTestFollowsThePersonality) {
    const char *personality = std::getenv("QORASST_PERSONALITY");
    if (personality == nullptr) GTEST_SKIP() << "not run under a personality";
    if (std::strcmp(personality, "nt40") == 0) {
        EXPECT_TRUE(PlatIsNtFamily());
    } else if (std::strcmp(personality, "win98") == 0) {
        EXPECT_FALSE(PlatIsNtFamily());
    } else {
        FAIL() << "unknown personality " << personality;
    }
}

bool Exists(const std::string &path) {
    return std::filesystem::exists(path);
}

TEST_F(Win32Platform, MutexIsRecursiveAndExcludesOtherProcesses) {
    const std::string name = Name("QORasst_eemutex");
    PlatMutex *mutex = PlatMutexCreate(name.c_str());
    ASSERT_NE(mutex, nullptr);
    ASSERT_TRUE(PlatMutexAcquire(mutex));
    ASSERT_TRUE(PlatMutexAcquire(mutex));  // the holder may take it again
    PlatMutexRelease(mutex);

    // Still held once: another process waits until it is released.
    TempDir dir;
    const std::string ready = dir.file("ready");
    Child other(BinPath("qor_lockdie"), {"hold", "0", ready}, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(Exists(ready));
    PlatMutexRelease(mutex);
    ChildResult r = other.Wait();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(Exists(ready));
    PlatMutexClose(mutex);
}

TEST_F(Win32Platform, MutexAbandonedByADeadProcessIsTakenOver) {
    ChildResult died = RunChildProgram("qor_lockdie", {"die"});
    ASSERT_EQ(died.signal, SIGKILL);
    PlatMutex *mutex = PlatMutexCreate(Name("QORasst_eemutex").c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(PlatMutexAcquire(mutex));
    PlatMutexRelease(mutex);
    EXPECT_EQ(RunChildProgram("qor_lockdie", {"hold", "0"}).exit_code, 0);
    PlatMutexClose(mutex);
    EXPECT_FALSE(PlatMutexAcquire(nullptr));
}

TEST_F(Win32Platform, FirstHolderCreatesLaterOnesAttachAndTheLastLeavesNothing) {
    const std::string name = Name("QORasstW_SerNumCache");
    bool existed = true;
    uint32_t error = 0;
    PlatMapping *first = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(existed);
    auto *view = static_cast<uint8_t *>(PlatMappingMap(first, &error));
    ASSERT_NE(view, nullptr);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(view[i], 0) << i;
    view[1023] = 0x5A;

    PlatMapping *second = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(existed);
    auto *other = static_cast<uint8_t *>(PlatMappingMap(second, &error));
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other[1023], 0x5A);
    PlatMappingUnmap(second, other);
    PlatMappingClose(second);
    PlatMappingUnmap(first, view);
    PlatMappingClose(first);

    PlatMapping *again = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(existed);
    view = static_cast<uint8_t *>(PlatMappingMap(again, &error));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[1023], 0);
    PlatMappingUnmap(again, view);
    PlatMappingClose(again);
}

TEST_F(Win32Platform, MappingsCarryANullDaclSoEveryAccountMayOpenThem) {
    const std::string name = Name("QORasstW_HDDNumCache");
    bool existed = true;
    uint32_t error = 0;
    PlatMapping *mapping = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    ASSERT_NE(mapping, nullptr);
    HANDLE opened = OpenFileMappingA(READ_CONTROL, FALSE, name.c_str());
    ASSERT_NE(opened, nullptr);
    alignas(8) unsigned char buffer[512];
    DWORD needed = 0;
    ASSERT_TRUE(
        GetKernelObjectSecurity(opened, DACL_SECURITY_INFORMATION, buffer, sizeof buffer, &needed));
    BOOL present = FALSE, defaulted = TRUE;
    PACL dacl = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(buffer, &present, &dacl, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(dacl, nullptr);
    CloseHandle(opened);
    PlatMappingClose(mapping);
}

void CountUp(void *arg) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

void WaitFor(void *thread) {
    PlatThreadWait(static_cast<PlatThread *>(thread));
}

TEST_F(Win32Platform, ThreadsMayBeWaitedForByManyAndOften) {
    std::atomic<int> count{0};
    PlatThread *thread = PlatThreadStart(CountUp, &count);
    ASSERT_NE(thread, nullptr);
    PlatThread *a = PlatThreadStart(WaitFor, thread);
    PlatThread *b = PlatThreadStart(WaitFor, thread);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    PlatThreadWait(a);
    PlatThreadWait(b);
    EXPECT_EQ(count.load(), 1);
    PlatThreadWait(thread);  // an ended thread answers at once
    PlatThreadWait(nullptr);
}

// Imports a REGEDIT4 file into the machine registry the way the test scripts do.
void Import(const std::string &reg_file) {
    char windows[MAX_PATH];
    UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    ASSERT_GT(length, 0u);
    Child regedit(std::string(windows) + "\\regedit.exe", {"/S", reg_file}, {});
    ASSERT_EQ(regedit.Wait().exit_code, 0);
}

// Wine enumerates a key's values sorted by name, Windows in the order they were written: the
// names here sort in file order, so both agree.
TEST_F(Win32Platform, RegistryValuesEnumerateInFileOrder) {
    TempDir dir;
    const std::string key_path = "SOFTWARE\\QORasstTest\\" + Name("Key");
    WriteTextFile(dir.file("m.reg"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + key_path +
                                         "]\n\"v1\"=dword:000000a2\n"
                                         "\"v2_a_rather_long_name\"=\"text\"\n"
                                         "\"v3\"=hex:01,02\n");
    WriteTextFile(dir.file("remove.reg"),
                  "REGEDIT4\n\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\QORasstTest]\n");
    EXPECT_EQ(PlatRegOpen(key_path.c_str()), nullptr);
    Import(dir.file("m.reg"));
    PlatKey *key = PlatRegOpen(key_path.c_str());
    ASSERT_NE(key, nullptr);

    char name[128];
    uint8_t data[4];
    uint32_t size = sizeof data, type = 0;
    ASSERT_TRUE(PlatRegEnumValue(key, 0, name, sizeof name, data, &size, &type));
    EXPECT_STREQ(name, "v1");
    EXPECT_EQ(type, uint32_t{kRegDword});
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(data[0], 0xA2);
    // Data too long for the buffer ends an enumeration, as does a name too long.
    size = sizeof data;
    EXPECT_FALSE(PlatRegEnumValue(key, 1, name, sizeof name, data, &size, &type));
    uint8_t big[16];
    size = sizeof big;
    EXPECT_FALSE(PlatRegEnumValue(key, 1, name, 5, big, &size, &type));
    size = sizeof big;
    ASSERT_TRUE(PlatRegEnumValue(key, 2, name, sizeof name, big, &size, &type));
    EXPECT_STREQ(name, "v3");
    EXPECT_EQ(type, uint32_t{kRegBinary});
    EXPECT_EQ(size, 2u);
    size = sizeof big;
    ASSERT_TRUE(PlatRegQueryValue(key, "V2_A_RATHER_LONG_NAME", big, &size, &type));
    EXPECT_EQ(type, uint32_t{kRegSz});
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(reinterpret_cast<char *>(big), "text");
    size = sizeof big;
    EXPECT_FALSE(PlatRegEnumValue(key, 3, name, sizeof name, big, &size, &type));
    PlatRegClose(key);

    Import(dir.file("remove.reg"));
    EXPECT_EQ(PlatRegOpen(key_path.c_str()), nullptr);
}

// The first process on an RF machine whose serial-number area is blank starts the
// synchronisation thread, which adds the memory modules' records under the EEPROM mutex.
// Holding that mutex keeps the thread running while the DLL is unloaded.
TEST_F(Win32Platform, UnloadingWhileThreadsRunCompletesWhenTheyEnd) {
    TempMachine machine(Preset::kDemo);
    qorsim::Image blank;
    blank.fill(0xFF);  // an EEPROM that was never written
    machine.setDevice(qorsim::demo::kSerialArea, blank);
    machine.enableLog();
    UseMachine use(machine);

    PlatMutex *mutex = PlatMutexCreate(Name("QORasst_eemutex").c_str());
    ASSERT_NE(mutex, nullptr);
    ASSERT_TRUE(PlatMutexAcquire(mutex));  // start-up runs in this thread and may take it too

    const std::string path = std::string(QOR_BIN_DIR) + "/QORasstW.dll";
    HMODULE dll = LoadLibraryA(path.c_str());
    ASSERT_NE(dll, nullptr);
    using Query = int(QORASST_CALL *)(void);
    auto initialized = reinterpret_cast<Query>(
        reinterpret_cast<void *>(GetProcAddress(dll, "AssetIsInitialized")));
    ASSERT_NE(initialized, nullptr);
    EXPECT_EQ(initialized(), 1);

    // Thread attach and detach notifications change nothing.
    std::atomic<int> count{0};
    PlatThread *other = PlatThreadStart(CountUp, &count);
    PlatThreadWait(other);
    EXPECT_EQ(initialized(), 1);

    FreeLibrary(dll);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(GetModuleHandleA("QORasstW.dll"), nullptr);  // a thread still needs it
    std::vector<std::string> log = machine.log();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back(), "I2C CLOSE");

    PlatMutexRelease(mutex);
    PlatMutexClose(mutex);
    for (int i = 0; i < 1000 && GetModuleHandleA("QORasstW.dll") != nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(GetModuleHandleA("QORasstW.dll"), nullptr);
    log = machine.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "I2C CLOSE");  // the release sequence ran once the threads ended
}

}  // namespace
