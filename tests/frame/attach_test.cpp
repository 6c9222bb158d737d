// Start-up driven directly in forked children, for what only the process itself can see: its
// diagnostic text and the roles of first and later processes; and what a forked child of a
// process that loaded the library may and may not do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "frame/frame.h"
#include "platform/mapping.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "state/state.h"
#include "support/machine.h"

namespace {

// Runs start-up in a forked child with the environment as it is, optionally holding the
// process at the end until `release` exists, and reports what the child saw: "INITIALIZED
// EEPROM_ADDR WORKER_THREAD(0/1)", a line break, then the diagnostic text.
std::string AttachInChild(const std::string &ready = "", const std::string &release = "") {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        FrameAttach();
        const std::string out =
            std::to_string(g_state.initialized) + " " + std::to_string(g_state.eeprom_addr) + " " +
            (g_state.worker_thread != nullptr ? "1\n" : "0\n") + g_state.diag_text;
        if (write(fds[1], out.data(), out.size()) < 0) _exit(3);
        close(fds[1]);
        if (!ready.empty()) WriteTextFile(ready, "");
        while (!release.empty() && access(release.c_str(), F_OK) != 0) usleep(10000);
        FrameDetach();
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    close(fds[0]);
    if (release.empty()) waitpid(pid, nullptr, 0);
    return text;
}

class Attach : public ::testing::Test {
  protected:
    TempMachine machine_{Preset::kBlank};
    ScopedEnv ns_{"QORASST_NAMESPACE", UniqueNamespace()};
    UseMachine use_{machine_};
};

TEST_F(Attach, OnlyTheFirstProcessInitialisesTheCachesAndStartsTheThread) {
    for (bool rf : {false, true}) {
        SCOPED_TRACE(rf ? "RF machine" : "no RF device");
        TempMachine machine(rf ? Preset::kRf : Preset::kBlank);
        machine.setDevice(0xA0, qorsim::SerialAreaImage({}));
        UseMachine use(machine);
        ScopedEnv ns("QORASST_NAMESPACE", UniqueNamespace());
        TempDir dir;
        const std::string ready = dir.file("ready"), release = dir.file("release");
        // The first one runs the collector, or the synchronisation thread.
        EXPECT_EQ(AttachInChild(ready, release), "1 160 1\nDLL Initialized\n");
        AppearsWithin(ready);
        const std::string second = AttachInChild();
        EXPECT_EQ(second.rfind("1 160 0\n", 0), 0u) << second;
        EXPECT_EQ(second.find("DLL Initialized"), std::string::npos) << second;
        WriteTextFile(release, "");
        while (wait(nullptr) > 0) continue;
    }
}

TEST_F(Attach, FailuresSayWhichStepStoppedStartUp) {
    struct Case {
        const char *name;
        const char *foreign_mapping;  // held elsewhere with a size this build cannot use; none:
                                      // the bus cannot be opened
        const char *report;           // a pattern; the probe has run when the serial mapping fails
    };
    const Case cases[] = {
        {"disk mapping", "QORasstW_HDDNumCache", "0 0 [01]\n1 GetLastError = .*"},
        {"bus", nullptr, "0 0 [01]\n3 GetLastError = .*"},
        {"serial mapping", "QORasstW_SerNumCache", "0 160 [01]\n4 GetLastError = .*"},
    };
    machine_.setDevice(0xA0, qorsim::SerialAreaImage({}));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv ns("QORASST_NAMESPACE", UniqueNamespace());
        char name[256];
        bool existed = false;
        uint32_t error = 0;
        PlatMapping *foreign = nullptr;
        if (c.foreign_mapping == nullptr) {
            machine_.conf("i2c_open", "fail");
        } else {
            PlatObjectName(c.foreign_mapping, name, sizeof name);
            ASSERT_NE(foreign = PlatMappingCreate(name, 64, &existed, &error), nullptr);
        }
        EXPECT_THAT(AttachInChild(), testing::MatchesRegex(c.report));
        machine_.clearConf("i2c_open");
        PlatMappingClose(foreign);
    }
}

// A forked child takes holds of its own on the shared objects: neither its normal exit nor its
// death removes what its parent still uses, and the parent and a later process keep sharing
// one cache.
TEST(Fork, AChildsExitLeavesItsParentsObjectsShared) {
    TempMachine machine(Preset::kBlank);
    machine.setDevice(0xA0, qorsim::SerialAreaImage({}));
    TempDir dir;
    const ChildEnv env = ChildOn(machine);
    Child parent(BinPath("qor_child"),
                 Words("set 10 0 PARENT-A fork set 11 0 CHILD-B end fork die end touch " +
                       dir.file("forked") + " wait " + dir.file("stored") + " get 12 0"),
                 env);
    AppearsWithin(dir.file("forked"));
    const ChildResult third = RunChild({"get", "11", "0", "set", "12", "0", "THIRD-C"}, env);
    WriteTextFile(dir.file("stored"), "");
    const ChildResult r = parent.Wait();
    EXPECT_EQ(third.out, "get 11 0 rc=0 text=CHILD-B\nset 12 0 rc=1\n");
    EXPECT_EQ(LinesStartingWith(r.out, "forked"),
              (std::vector<std::string>{"forked exit=0 signal=0", "forked exit=-1 signal=9"}));
    EXPECT_EQ(LinesStartingWith(r.out, "get"),
              std::vector<std::string>{"get 12 0 rc=0 text=THIRD-C"});
}

// A child forked while a thread of its parent runs has no such thread: waiting for it (as the
// exit's detach does) returns at once instead of hanging.
TEST(Fork, AChildDoesNotWaitForItsParentsThreads) {
    std::atomic<bool> release{false};
    PlatThread *thread = PlatThreadStart(
        [](void *flag) {
            while (!static_cast<std::atomic<bool> *>(flag)->load()) usleep(1000);
        },
        &release);
    ASSERT_NE(thread, nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        PlatThreadWait(thread);
        _exit(0);
    }
    bool ended = false;
    for (int i = 0; i < 200 && !(ended = waitpid(pid, nullptr, WNOHANG) == pid); ++i) usleep(10000);
    if (!ended && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    release = true;
    PlatThreadWait(thread);
    EXPECT_TRUE(ended);
}

}  // namespace
