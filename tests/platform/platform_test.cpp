// The platform seams as processes share them, the same on POSIX and Windows: one recursive
// mutex taken over when its holder dies, mappings that know the first process, threads
// anybody may wait for, and the machine registry. The other processes are qor_lockdie.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "platform/mapping.h"
#include "platform/mutex.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "support/machine.h"

namespace {

std::string Name(const char *base) {
    char name[256];
    PlatObjectName(base, name, sizeof name);
    return name;
}

ChildResult Probe(const std::vector<std::string> &args, const ChildEnv &env = {}) {
    return RunChildProgram("qor_lockdie", args, env);
}

class Platform : public ::testing::Test {
  protected:
    ScopedEnv ns_{"QORASST_NAMESPACE", UniqueNamespace()};
};

TEST_F(Platform, ObjectNamesAreScopedByTheNamespace) {
    // An empty scope leaves the variable unset.
    for (const auto &[scope, name] :
         {std::pair{"ns1", "ns1.QORasst_eemutex"}, {"", "QORasst_eemutex"}}) {
        ScopedEnv ns("QORASST_NAMESPACE", scope);
        EXPECT_EQ(Name("QORasst_eemutex"), name) << scope;
    }
}

// A process that died holding the mutex leaves it to the next holder, who may take it again.
TEST_F(Platform, MutexIsRecursiveExcludesOtherProcessesAndIsTakenOverFromTheDead) {
    ASSERT_EQ(Probe({"die"}).signal, SIGKILL);
    PlatMutex *mutex = PlatMutexCreate(Name("QORasst_eemutex").c_str());
    ASSERT_NE(mutex, nullptr);
    ASSERT_TRUE(PlatMutexAcquire(mutex));
    ASSERT_TRUE(PlatMutexAcquire(mutex));
    PlatMutexRelease(mutex);

    // Still held once: another process waits until it is released.
    TempDir dir;
    const std::string ready = dir.file("ready");
    Child other(BinPath("qor_lockdie"), {"hold", "0", ready}, {});
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(std::filesystem::exists(ready));
    PlatMutexRelease(mutex);
    EXPECT_EQ(other.Wait().exit_code, 0);
    EXPECT_TRUE(std::filesystem::exists(ready));
    PlatMutexClose(mutex);
    EXPECT_FALSE(PlatMutexAcquire(nullptr));
}

TEST_F(Platform, FirstHolderCreatesLaterOnesAttachAndTheLastLeavesNothing) {
    bool existed = true;
    uint32_t error = 0;
    PlatMapping *first = PlatMappingCreate(Name("QORasst_probe").c_str(), 1024, &existed, &error);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(existed);
    auto *view = static_cast<uint8_t *>(PlatMappingMap(first, &error));
    ASSERT_NE(view, nullptr);
    for (int i = 0; i < 1024; ++i) ASSERT_EQ(view[i], 0) << i;
    view[1023] = 0x5A;

    // Another process sees the same bytes, knows it is not first, and writes for us to see.
    EXPECT_EQ(Probe({"map", "1024"}).out, "later 5a\n");
    EXPECT_EQ(view[1023], 0xA5);
    PlatMappingUnmap(first, view);
    PlatMappingClose(first);

    // Once nobody holds it, the next holder is first again and finds it cleared, also after a
    // holder that crashed (not its a5).
    EXPECT_EQ(Probe({"map", "1024", "crash"}).signal, SIGKILL);
    EXPECT_EQ(Probe({"map", "1024"}).out, "first 00\n");
#ifndef _WIN32
    // Windows sections come in whole pages, so a smaller one cannot be told apart there.
    PlatMapping *small = PlatMappingCreate(Name("QORasst_probe").c_str(), 512, &existed, &error);
    ASSERT_NE(small, nullptr);
    const ChildResult refused = Probe({"map", "1024"});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_TRUE(refused.out.starts_with("error ") && refused.out != "error 0\n") << refused.out;
    PlatMappingClose(small);
#endif
}

void CountUp(void *arg) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

void WaitFor(void *thread) {
    PlatThreadWait(static_cast<PlatThread *>(thread));
}

TEST_F(Platform, ThreadsMayBeWaitedForByManyAndOften) {
    std::atomic<int> count{0};
    PlatThread *thread = PlatThreadStart(CountUp, &count);
    ASSERT_NE(thread, nullptr);
    PlatThread *a = PlatThreadStart(WaitFor, thread), *b = PlatThreadStart(WaitFor, thread);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    PlatThreadWait(a);
    PlatThreadWait(b);
    EXPECT_EQ(count.load(), 1);
    PlatThreadWait(thread);  // an ended thread answers at once
    PlatThreadWait(nullptr);
}

// The machine registry is the file named by QORASST_REGISTRY (imported into the registry
// before a Windows child starts). Wine enumerates values sorted by name, Windows in the order
// they were written: these names sort in file order, so both agree.
TEST_F(Platform, RegistryEnumeratesInFileOrderAndSkipsWhatDoesNotFit) {
    TempDir dir;
    const std::string key = "SOFTWARE\\QORasstTest\\" + Name("Key");
    WriteTextFile(dir.file("m.reg"), "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + key +
                                         "]\n\"v1\"=dword:000000a2\n"
                                         "\"v2_a_rather_long_name\"=\"text\"\n"
                                         "\"v3\"=hex:01,02\n");
    const ChildEnv env{{"QORASST_REGISTRY", dir.file("m.reg")}};
    const std::string v1 = "0 v1 4 a2000000\n", v2 = "1 v2_a_rather_long_name 1 7465787400\n";
    const std::string v3 = "2 v3 3 0102\n";
    // The arguments after "reg KEY", and the output.
    const std::pair<const char *, std::string> cases[] = {
        {"128 16", v1 + v2 + v3},
        {"128 4", v1 + v3},  // data too long for the buffer
        {"5 16 V2_A_RATHER_LONG_NAME", v1 + v3 + "V2_A_RATHER_LONG_NAME 1 7465787400\n"},
        {"128 4 v2_a_rather_long_name", v1 + v3 + "v2_a_rather_long_name -\n"},
        {"128 16 v4", v1 + v2 + v3 + "v4 -\n"},
    };
    for (const auto &[args, out] : cases) {
        const ChildResult r = Probe(Words("reg " + key + " " + args), env);
        EXPECT_EQ(r.exit_code, 0) << out;
        EXPECT_EQ(r.out, out);
    }
    // Key names ignore case; another key, or no file at all, has no keys.
    EXPECT_EQ(Probe({"reg", "software\\qorasstTEST\\" + Name("key"), "128", "4"}, env).out,
              v1 + v3);
    EXPECT_EQ(Probe({"reg", "SOFTWARE\\QORasstTest\\Other", "128", "16"}, env).out, "absent\n");
    EXPECT_EQ(Probe({"reg", key, "128", "16"}, {{"QORASST_REGISTRY", ""}}).out, "absent\n");
}

}  // namespace
