// Serial numbers across real processes that load the library: concurrent writers and readers
// on one machine.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "eeprom/area_fixture.h"
#include "support/child.h"

using namespace area_test;

namespace {

// The words of a command line; '' stands for an empty word.
std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w == "''" ? "" : w);
    return out;
}

TEST(Processes, ConcurrentWritersLeaveABalancedAreaThatEveryProcessSees) {
    TempMachine machine;
    machine.setDevice(kArea, Area());
    const ChildEnv env = {{"QORASST_MACHINE", machine.path()},
                          {"QORASST_NAMESPACE", UniqueNamespace()}};
    TempDir sync;
    constexpr int kWriters = 4;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kWriters; ++i) {
        const std::string own = std::to_string(10 + i), tag = "P" + std::to_string(i);
        // Own records added, rewritten and deleted, one shared record fought over; then, once
        // every writer is done, the same questions from every process.
        const std::string set = " set " + own + " ";
        children.push_back(std::make_unique<Child>(
            BinPath("qor_child"),
            Words("wait " + sync.file("go") + set + "0 " + tag + "-zero" + set + "1 11s" + tag +
                  "-one set 20 0 SHARED-" + tag + set + "0 ''" + set + "2 " + tag +
                  "-two set 20 0 SHARED-" + tag + "-AGAIN touch " +
                  sync.file("done" + std::to_string(i)) + " wait " + sync.file("read") + " get " +
                  own + " 0 get " + own + " 2 get 20 0 get 10 1 get 11 1 get 12 1 " + "get 13 1"),
            env));
    }
    WriteTextFile(sync.file("go"), "");
    for (int i = 0; i < kWriters; ++i) {
        const auto done = sync.file("done" + std::to_string(i));
        for (int n = 0; n < 3000 && !std::filesystem::exists(done); ++n)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    WriteTextFile(sync.file("read"), "");
    std::vector<std::string> outputs;
    for (auto &child : children) {
        const ChildResult r = child->Wait();
        ASSERT_EQ(r.exit_code, 0) << r.err;
        outputs.push_back(r.out);
    }

    // Each writer's own records, and one of the shared texts, on a balanced device; no key
    // recorded twice.
    const auto img = machine.device(kArea);
    EXPECT_EQ(AreaSum(img), 0);
    std::map<int, std::string> records;  // display texts by key
    for (const uint8_t *r = img.data() + 16; r < img.data() + 256; r += 20) {
        const std::string s = std::string(reinterpret_cast<const char *>(r + 1), 19).c_str();
        const std::string text =
            s[0] & 0x80 ? static_cast<char>(s[0] & 0x7F) + s.substr(1) : "11S" + s;
        EXPECT_TRUE(r[0] == 0 || records.emplace(r[0], text).second) << int(r[0]) << " twice";
    }
    const std::string shared = records[20 * 8];
    EXPECT_TRUE(shared.size() == 15 && shared.rfind("SHARED-P", 0) == 0 &&
                shared.substr(9) == "-AGAIN")
        << shared;
    std::map<int, std::string> want = {{20 * 8, shared}};
    Lines ones;
    for (int i = 0; i < kWriters; ++i) {
        const std::string tag = "P" + std::to_string(i);
        want[(10 + i) * 8 + 1] = "11S" + tag + "-ONE";
        want[(10 + i) * 8 + 2] = tag + "-TWO";
        ones.push_back("get " + std::to_string(10 + i) + " 1 rc=0 text=11S" + tag + "-ONE");
    }
    EXPECT_EQ(records, want);
    // Every set answered 1 (there was room for all); every process sees what the device holds.
    for (int i = 0; i < kWriters; ++i) {
        const std::string own = std::to_string(10 + i), tag = "P" + std::to_string(i);
        for (const auto &l : LinesStartingWith(outputs[i], "set "))
            EXPECT_NE(l.find("rc=1"), l.npos);
        EXPECT_EQ(
            LinesStartingWith(outputs[i], "get "),
            Join({{"get " + own + " 0 rc=102 text=", "get " + own + " 2 rc=0 text=" + tag + "-TWO",
                   "get 20 0 rc=0 text=" + shared},
                  ones}));
    }
}

}  // namespace
