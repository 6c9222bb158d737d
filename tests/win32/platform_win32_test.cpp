// What only Windows has: object names and security, and unloading the DLL while its threads
// still run. tests/platform tests the seams both systems share.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "QORasstW.h"
#include "platform/mapping.h"
#include "platform/mutex.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/win32/objects.h"
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

// From Windows 2000 on, every logon session meets the others only in the "Global\" names;
// the personalities of the suite, NT 4.0 and Windows 98, keep the plain ones.
TEST(Win32Names, GlobalFromWindows2000OnScopedAndNeverCut) {
    const std::string too_long(240, 'n');
    const std::pair<const char *, const char *> cases[] = {
        {nullptr, "Global\\QORasst_eemutex"},
        {"a\\b", "Global\\a_b.QORasst_eemutex"},
        {too_long.c_str(), ""},  // past 255 characters: refused
    };
    for (const auto &[scope, name] : cases) {
        char out[256] = "x";
        EXPECT_EQ(Win32ObjectName("QORasst_eemutex", scope, true, out, sizeof out), *name != 0);
        EXPECT_STREQ(out, name);
    }
    EXPECT_TRUE(std::getenv("QORASST_PERSONALITY") == nullptr || !Win32HasSessionNamespaces());
}

TEST_F(Win32Platform, TheMutexAndTheMappingsCarryANullDaclSoEveryAccountMayOpenThem) {
    const std::string mutex_name = Name("QORasst_eemutex"), name = Name("QORasstW_HDDNumCache");
    PlatMutex *mutex = PlatMutexCreate(mutex_name.c_str());
    bool existed = true;
    uint32_t error = 0;
    PlatMapping *mapping = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    for (HANDLE opened : {OpenMutexA(READ_CONTROL, FALSE, mutex_name.c_str()),
                          OpenFileMappingA(READ_CONTROL, FALSE, name.c_str())}) {
        ASSERT_NE(opened, nullptr);
        alignas(8) unsigned char buffer[512];
        DWORD needed = 0;
        ASSERT_TRUE(GetKernelObjectSecurity(opened, DACL_SECURITY_INFORMATION, buffer,
                                            sizeof buffer, &needed));
        BOOL present = FALSE, defaulted = TRUE;
        PACL dacl = reinterpret_cast<PACL>(1);
        ASSERT_TRUE(GetSecurityDescriptorDacl(buffer, &present, &dacl, &defaulted));
        EXPECT_TRUE(present);
        EXPECT_EQ(dacl, nullptr);
        CloseHandle(opened);
    }
    PlatMappingClose(mapping);
    PlatMutexClose(mutex);
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
    PlatThreadWait(PlatThreadStart([](void *) {}, nullptr));
    EXPECT_EQ(initialized(), 1);

    FreeLibrary(dll);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(GetModuleHandleA("QORasstW.dll"), nullptr);  // a thread still needs it
    std::vector<std::string> log = machine.log();
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back(), "I2C CLOSE");

    PlatMutexRelease(mutex);
    PlatMutexClose(mutex);
    for (int i = 0; i < 1000 && GetModuleHandleA("QORasstW.dll") != nullptr; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(GetModuleHandleA("QORasstW.dll"), nullptr);
    log = machine.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "I2C CLOSE");  // the release sequence ran once the threads ended
}

}  // namespace
