// Serial numbers across real processes that load the library: concurrent writers and
// readers on one machine, and the command-line tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>

#include "eeprom/area_fixture.h"
#include "support/child.h"

using namespace area_test;

namespace {

class Processes : public ::testing::Test {
  protected:
    ChildEnv Env() const {
        return {{"QORASST_MACHINE", machine_.path()}, {"QORASST_NAMESPACE", ns_}};
    }
    TempMachine machine_;
    std::string ns_ = UniqueNamespace();
};

// The display text of each record key on a device; no key may be recorded twice.
std::map<int, std::string> DeviceRecords(const qorsim::Image &img) {
    std::map<int, std::string> out;
    for (const uint8_t *r = &img[16]; r < &img[256]; r += 20) {
        const std::string text(reinterpret_cast<const char *>(r + 1), 19);
        const std::string stored = text.substr(0, text.find('\0'));
        if (r[0] == 0) continue;
        EXPECT_EQ(out.count(r[0]), 0u) << "key " << int(r[0]) << " twice";
        out[r[0]] = (stored[0] & 0x80) ? static_cast<char>(stored[0] & 0x7F) + stored.substr(1)
                                       : "11S" + stored;
    }
    return out;
}

// Appends the words of a command line (no word holds a space).
void AddWords(std::vector<std::string> &args, const std::string &line) {
    size_t start = 0;
    for (size_t end; (end = line.find(' ', start)) != std::string::npos; start = end + 1) {
        args.push_back(line.substr(start, end - start));
    }
    args.push_back(line.substr(start));
}

TEST_F(Processes, ConcurrentWritersLeaveABalancedAreaThatEveryProcessSees) {
    machine_.setDevice(kArea, Area());
    TempDir sync;
    constexpr int kWriters = 4;
    std::vector<std::unique_ptr<Child>> children;
    std::vector<std::string> outputs;
    for (int i = 0; i < kWriters; ++i) {
        const std::string own = std::to_string(10 + i), tag = "P" + std::to_string(i);
        // Own records added, rewritten and deleted, one shared record fought over; then, once
        // every writer is done, the same questions from every process.
        std::vector<std::string> args = {"wait", sync.file("go")};
        AddWords(args, "set " + own + " 0 " + tag + "-zero set " + own + " 1 11s" + tag +
                           "-one set 20 0 SHARED-" + tag);
        args.insert(args.end(), {"set", own, "0", ""});
        AddWords(args, "set " + own + " 2 " + tag + "-two set 20 0 SHARED-" + tag +
                           "-AGAIN touch " + sync.file("done" + std::to_string(i)) + " wait " +
                           sync.file("read") + " get " + own + " 0 get " + own + " 1 get " + own +
                           " 2 get 20 0 get 10 1 get 11 1 get 12 1 get 13 1");
        children.push_back(std::make_unique<Child>(BinPath("qor_child"), args, Env()));
    }
    WriteTextFile(sync.file("go"), "");
    for (int i = 0; i < kWriters; ++i) {
        const auto done = sync.file("done" + std::to_string(i));
        for (int n = 0; n < 3000 && !std::filesystem::exists(done); ++n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    WriteTextFile(sync.file("read"), "");

    // Each writer's own records, and one of the shared texts, on a balanced device.
    for (auto &child : children) {
        const ChildResult r = child->Wait();
        ASSERT_EQ(r.exit_code, 0) << r.err;
        outputs.push_back(r.out);
    }
    const auto img = machine_.device(kArea);
    EXPECT_EQ(AreaSum(img), 0);
    auto records = DeviceRecords(img);
    const std::string shared = records[20 * 8];
    EXPECT_TRUE(shared.size() == 15 && shared.rfind("SHARED-P", 0) == 0 &&
                shared.substr(9) == "-AGAIN")
        << shared;
    std::map<int, std::string> want = {{20 * 8, shared}};
    Lines gets;
    for (int i = 0; i < kWriters; ++i) {
        const std::string tag = "P" + std::to_string(i);
        want[(10 + i) * 8 + 1] = "11S" + tag + "-ONE";
        want[(10 + i) * 8 + 2] = tag + "-TWO";
        gets.push_back("get " + std::to_string(10 + i) + " 1 rc=0 text=11S" + tag + "-ONE");
    }
    EXPECT_EQ(records, want);
    // Every set answered 1 (there was room for all); every process sees what the device holds.
    for (int i = 0; i < kWriters; ++i) {
        for (const auto &l : LinesStartingWith(outputs[i], "set "))
            EXPECT_NE(l.find("rc=1"), l.npos);
        const std::string own = std::to_string(10 + i), tag = "P" + std::to_string(i);
        EXPECT_EQ(
            LinesStartingWith(outputs[i], "get "),
            Join({{"get " + own + " 0 rc=102 text=",
                   "get " + own + " 1 rc=0 text=11S" + tag + "-ONE",
                   "get " + own + " 2 rc=0 text=" + tag + "-TWO", "get 20 0 rc=0 text=" + shared},
                  gets}));
    }
}

TEST_F(Processes, ToolGetsSetsAndDeletes) {
    machine_.setDevice(kArea, Area());
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string out, err;  // the whole output; a part of the error text
    } steps[] = {
        {{"serial", "set", "4", "0", "abc-123"}, 0, "serial 4 0 stored\n", ""},
        {{"serial", "get", "4", "0"}, 0, "ABC-123\n", ""},
        {{"serial", "set", "4", "0", "ab"}, 1, "", "not stored"},
        {{"serial", "delete", "4", "0"}, 0, "serial 4 0 deleted\n", ""},
        {{"serial", "get", "4", "0"}, 1, "", "result 61"},
        {{"serial", "get", "14", "1"},
         1,
         "",
         "the index must be 0 for this device type (result 103)"},
        {{"serial", "get", "4", "x"}, 2, "", ""},
    };
    for (const auto &s : steps) {
        const ChildResult r = RunChildProgram("qorasst", s.args, Env());
        EXPECT_EQ(r.exit_code, s.exit_code) << s.args[1] << " " << s.args.back();
        EXPECT_EQ(r.out, s.out) << s.args[1] << " " << s.args.back();
        EXPECT_NE(r.err.find(s.err), std::string::npos) << r.err;
    }
    EXPECT_EQ(machine_.device(kArea)[16], 0);
}

}  // namespace
