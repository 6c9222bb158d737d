// The POSIX seams behave as the Windows objects they stand for: a recursive mutex shared by
// all processes and taken over when its holder dies, mappings that know the first process,
// and threads anybody may wait for.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/mapping.h"
#include "platform/mutex.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "support/child.h"
#include "support/machine.h"

namespace {

class Platform : public ::testing::Test {
  protected:
    void SetUp() override { setenv("QORASST_NAMESPACE", UniqueNamespace().c_str(), 1); }
    void TearDown() override { unsetenv("QORASST_NAMESPACE"); }

    static std::string Name(const char *base) {
        char name[256];
        PlatObjectName(base, name, sizeof name);
        return name;
    }
};

// Runs fn in a forked child and answers its exit status (fn's result), -1 on a signal.
template <typename Fn>
int InChild(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Platform, ObjectNamesAreScopedByTheNamespace) {
    setenv("QORASST_NAMESPACE", "ns1", 1);
    EXPECT_EQ(Name("QORasst_eemutex"), "ns1.QORasst_eemutex");
    unsetenv("QORASST_NAMESPACE");
    EXPECT_EQ(Name("QORasst_eemutex"), "QORasst_eemutex");
}

TEST_F(Platform, MutexIsRecursiveAndExcludesOtherProcesses) {
    const std::string name = Name("m");
    PlatMutex *mutex = PlatMutexCreate(name.c_str());
    ASSERT_NE(mutex, nullptr);
    std::atomic<bool> held{false};
    // The holder takes it twice and gives it back once: still held, for 300 ms.
    std::thread holder([&] {
        PlatMutexAcquire(mutex);
        PlatMutexAcquire(mutex);
        PlatMutexRelease(mutex);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        PlatMutexRelease(mutex);
    });
    while (!held) std::this_thread::yield();
    auto start = std::chrono::steady_clock::now();
    int rc = InChild([&] {
        PlatMutex *m = PlatMutexCreate(name.c_str());
        return m != nullptr && PlatMutexAcquire(m) ? 0 : 1;
    });
    auto waited = std::chrono::steady_clock::now() - start;
    holder.join();
    EXPECT_EQ(rc, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(200));
    PlatMutexClose(mutex);
}

TEST_F(Platform, MutexHeldByADeadProcessIsTakenOver) {
    Child holder(BinPath("qor_lockdie"), {"die"}, {});
    ChildResult died = holder.Wait();
    ASSERT_EQ(died.signal, SIGKILL);
    PlatMutex *mutex = PlatMutexCreate(Name("QORasst_eemutex").c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_TRUE(PlatMutexAcquire(mutex));
    PlatMutexRelease(mutex);
    // And again, normally, by another process.
    EXPECT_EQ(RunChildProgram("qor_lockdie", {"hold", "0"}).exit_code, 0);
    PlatMutexClose(mutex);
}

TEST_F(Platform, NullMutexIsRefused) {
    EXPECT_FALSE(PlatMutexAcquire(nullptr));
}

TEST_F(Platform, FirstHolderCreatesLaterOnesAttachAndLastOneLeavesNothing) {
    const std::string name = Name("map");
    bool existed = true;
    uint32_t error = 0;
    PlatMapping *first = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(existed);
    auto *view = static_cast<uint8_t *>(PlatMappingMap(first, &error));
    ASSERT_NE(view, nullptr);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(view[i], 0) << i;
    view[5] = 0x5A;

    // A second process sees the same bytes and knows it is not first.
    int rc = InChild([&] {
        bool e = false;
        uint32_t err = 0;
        PlatMapping *m = PlatMappingCreate(name.c_str(), 1024, &e, &err);
        if (m == nullptr || !e) return 1;
        auto *v = static_cast<uint8_t *>(PlatMappingMap(m, &err));
        return v != nullptr && v[5] == 0x5A ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
    PlatMappingUnmap(first, view);
    PlatMappingClose(first);

    // Once nobody holds it, the next holder is first again and finds it cleared.
    PlatMapping *again = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(existed);
    view = static_cast<uint8_t *>(PlatMappingMap(again, &error));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[5], 0);
    PlatMappingUnmap(again, view);
    PlatMappingClose(again);
}

TEST_F(Platform, AHolderThatCrashedDoesNotMakeTheNextProcessSecond) {
    const std::string name = Name("map");
    int rc = InChild([&] {
        bool e = false;
        uint32_t err = 0;
        PlatMapping *m = PlatMappingCreate(name.c_str(), 1024, &e, &err);
        auto *v = static_cast<uint8_t *>(PlatMappingMap(m, &err));
        v[0] = 1;
        raise(SIGKILL);  // no close: the object stays behind
        return 0;
    });
    EXPECT_EQ(rc, -1);
    bool existed = true;
    uint32_t error = 0;
    PlatMapping *m = PlatMappingCreate(name.c_str(), 1024, &existed, &error);
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(existed);
    auto *view = static_cast<uint8_t *>(PlatMappingMap(m, &error));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], 0);  // cleared like a new mapping
    PlatMappingUnmap(m, view);
    PlatMappingClose(m);
}

TEST_F(Platform, ASmallerMappingHeldElsewhereIsRefused) {
    const std::string name = Name("map");
    bool existed = false;
    uint32_t error = 0;
    PlatMapping *small = PlatMappingCreate(name.c_str(), 512, &existed, &error);
    ASSERT_NE(small, nullptr);
    int rc = InChild([&] {
        bool e = false;
        uint32_t err = 0;
        return PlatMappingCreate(name.c_str(), 1024, &e, &err) == nullptr && err != 0 ? 0 : 1;
    });
    EXPECT_EQ(rc, 0);
    PlatMappingClose(small);
}

void CountUp(void *arg) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

TEST_F(Platform, ThreadsMayBeWaitedForByManyAndOften) {
    std::atomic<int> count{0};
    PlatThread *thread = PlatThreadStart(CountUp, &count);
    ASSERT_NE(thread, nullptr);
    std::thread a([&] { PlatThreadWait(thread); });
    std::thread b([&] { PlatThreadWait(thread); });
    a.join();
    b.join();
    EXPECT_EQ(count.load(), 1);
    PlatThreadWait(thread);  // an ended thread answers at once
    PlatThreadWait(nullptr);
}

TEST_F(Platform, RegistryComesFromTheFileNamedByTheEnvironment) {
    TempDir dir;
    WriteTextFile(dir.file("m.reg"),
                  "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\Key]\n\"one\"=dword:1\n"
                  "\"a_rather_long_name\"=\"text\"\n");
    unsetenv("QORASST_REGISTRY");
    EXPECT_EQ(PlatRegOpen("SYSTEM\\Key"), nullptr);  // no file: no keys
    setenv("QORASST_REGISTRY", dir.file("m.reg").c_str(), 1);
    EXPECT_EQ(PlatRegOpen("SYSTEM\\Other"), nullptr);
    PlatKey *key = PlatRegOpen("system\\key");
    ASSERT_NE(key, nullptr);
    char name[128];
    uint8_t data[4];
    uint32_t size = sizeof data, type = 0;
    ASSERT_TRUE(PlatRegEnumValue(key, 0, name, sizeof name, data, &size, &type));
    EXPECT_STREQ(name, "one");
    EXPECT_EQ(type, 4u);
    EXPECT_EQ(size, 4u);
    // Data too long for the buffer ends an enumeration, as does a name too long.
    size = sizeof data;
    EXPECT_FALSE(PlatRegEnumValue(key, 1, name, sizeof name, data, &size, &type));
    uint8_t big[16];
    size = sizeof big;
    EXPECT_FALSE(PlatRegEnumValue(key, 1, name, 5, big, &size, &type));
    size = sizeof big;
    ASSERT_TRUE(PlatRegQueryValue(key, "A_RATHER_LONG_NAME", big, &size, &type));
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(reinterpret_cast<char *>(big), "text");
    size = sizeof data;
    EXPECT_FALSE(PlatRegEnumValue(key, 2, name, sizeof name, data, &size, &type));
    PlatRegClose(key);
    unsetenv("QORASST_REGISTRY");
}

}  // namespace
