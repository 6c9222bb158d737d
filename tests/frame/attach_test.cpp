// Start-up driven directly in forked children, for what only the process itself can see: its
// diagnostic text and the roles of first and later processes; and what a forked child of a
// process that loaded the library may and may not do.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>

#include "frame/frame.h"
#include "platform/mapping.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "state/state.h"
#include "support/child.h"
#include "support/machine.h"

namespace {

struct AttachReport {
    int initialized = -1;
    int eeprom_addr = -1;
    bool worker_thread = false;
    std::string diag;
};

// Runs start-up in a forked child with the environment as it is, optionally holding the
// process at the end until `release` exists, and reports what the child saw.
AttachReport AttachInChild(const std::string &ready = "", const std::string &release = "") {
    int fds[2];
    if (pipe(fds) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        FrameAttach();
        std::string out = std::to_string(g_state.initialized) + " " +
                          std::to_string(g_state.eeprom_addr) + "\n" +
                          (g_state.worker_thread != nullptr ? "1" : "0") + "\n" + g_state.diag_text;
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
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    if (release.empty()) waitpid(pid, nullptr, 0);
    AttachReport report;
    size_t a = text.find('\n'), b = text.find('\n', a + 1);
    if (a == std::string::npos || b == std::string::npos) return report;
    report.initialized = std::stoi(text.substr(0, a));
    report.eeprom_addr = std::stoi(text.substr(text.find(' ') + 1, a));
    report.worker_thread = text.substr(a + 1, b - a - 1) == "1";
    report.diag = text.substr(b + 1);
    return report;
}

class Attach : public ::testing::Test {
  protected:
    Attach() : ns_("QORASST_NAMESPACE", UniqueNamespace()), use_(machine_) {}
    TempMachine machine_{Preset::kBlank};
    ScopedEnv ns_;
    UseMachine use_;
    TempDir dir_;
};

TEST_F(Attach, OnlyTheFirstProcessInitialisesTheCachesAndStartsTheThread) {
    for (bool rf : {false, true}) {
        SCOPED_TRACE(rf ? "RF machine" : "no RF device");
        TempMachine machine(rf ? Preset::kRf : Preset::kBlank);
        machine.setDevice(0xA0, qorsim::SerialAreaImage({}));
        UseMachine use(machine);
        ScopedEnv ns("QORASST_NAMESPACE", UniqueNamespace());
        const std::string ready = dir_.file(rf ? "ready1" : "ready0");
        const std::string release = dir_.file(rf ? "release1" : "release0");
        AttachReport first = AttachInChild(ready, release);
        EXPECT_EQ(first.initialized, 1);
        EXPECT_EQ(first.diag, "DLL Initialized\n");
        EXPECT_EQ(first.worker_thread, rf);  // the synchronisation thread, on RF machines only

        while (access(ready.c_str(), F_OK) != 0) usleep(10000);
        AttachReport second = AttachInChild();
        EXPECT_EQ(second.initialized, 1);
        EXPECT_EQ(second.diag.find("DLL Initialized"), std::string::npos) << second.diag;
        EXPECT_FALSE(second.worker_thread);
        WriteTextFile(release, "");
        while (wait(nullptr) > 0) {
        }
    }
}

TEST_F(Attach, FailuresSayWhichStepStoppedStartUp) {
    struct Case {
        const char *name;
        const char *foreign_mapping;  // held elsewhere with a size this build cannot use
        bool fail_bus_open;
        const char *diag_prefix;
        int eeprom_addr;  // the probe has run when the serial mapping fails, not before
    };
    const Case cases[] = {
        {"disk mapping", "QORasstW_HDDNumCache", false, "1 GetLastError = ", 0},
        {"bus", nullptr, true, "3 GetLastError = ", 0},
        {"serial mapping", "QORasstW_SerNumCache", false, "4 GetLastError = ", 0xA0},
    };
    machine_.setDevice(0xA0, qorsim::SerialAreaImage({}));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv ns("QORASST_NAMESPACE", UniqueNamespace());
        PlatMapping *foreign = nullptr;
        if (c.foreign_mapping != nullptr) {
            char name[256];
            PlatObjectName(c.foreign_mapping, name, sizeof name);
            bool existed = false;
            uint32_t error = 0;
            foreign = PlatMappingCreate(name, 64, &existed, &error);
            ASSERT_NE(foreign, nullptr);
        }
        if (c.fail_bus_open) machine_.conf("i2c_open", "fail");
        AttachReport report = AttachInChild();
        EXPECT_EQ(report.initialized, 0);
        EXPECT_EQ(report.eeprom_addr, c.eeprom_addr);
        EXPECT_EQ(report.diag.rfind(c.diag_prefix, 0), 0u) << report.diag;
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
    const ChildEnv env = {{"QORASST_MACHINE", machine.path()},
                          {"QORASST_NAMESPACE", UniqueNamespace()}};
    std::vector<std::string> args;
    std::istringstream words("set 10 0 PARENT-A fork set 11 0 CHILD-B end fork die end touch " +
                             dir.file("forked") + " wait " + dir.file("stored") + " get 12 0");
    for (std::string w; words >> w;) args.push_back(w);
    Child parent(BinPath("qor_child"), args, env);
    for (int i = 0; i < 1000 && access(dir.file("forked").c_str(), F_OK) != 0; ++i) usleep(10000);
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
    for (int i = 0; i < 200 && !ended; ++i) {
        ended = waitpid(pid, nullptr, WNOHANG) == pid;
        if (!ended) usleep(10000);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    release = true;
    PlatThreadWait(thread);
    EXPECT_TRUE(ended);
}

}  // namespace
