// Serial numbers across real processes that load the library: concurrent writers and readers
// on one machine.
#include <gtest/gtest.h>

#include <map>
#include <regex>

#include "eeprom/area_fixture.h"

using namespace area_test;

namespace {

TEST(Processes, ConcurrentWritersLeaveABalancedAreaThatEveryProcessSees) {
    TempMachine machine;
    machine.setDevice(kArea, Area());
    const ChildEnv env = ChildOn(machine);
    TempDir sync;
    constexpr int kWriters = 4;
    // Once every writer is done, every process asks the same questions.
    Lines questions;
    std::string gets;
    for (int t = 10; t < 10 + kWriters; ++t) {
        const std::string n = std::to_string(t);
        questions.insert(questions.end(), {"wait", sync.file(n)});
        gets += " get " + n + " 0 get " + n + " 1 get " + n + " 2";
    }
    questions = Join({questions, Words(gets + " get 20 0")});
    std::vector<std::unique_ptr<Child>> children;
    for (int t = 10; t < 10 + kWriters; ++t) {
        // Own records added, rewritten and deleted; one shared record fought over.
        const std::string n = std::to_string(t), tag = "P" + n;
        std::string sets;
        for (const std::string &set :
             {n + " 0 " + tag + "-zero", n + " 1 11s" + tag + "-one", "20 0 SHARED-" + tag,
              n + " 0 ''", n + " 2 " + tag + "-two", "20 0 SHARED-" + tag + "-AGAIN"})
            sets += " set " + set;
        const Lines args =
            Join({{"wait", sync.file("go")}, Words(sets), {"touch", sync.file(n)}, questions});
        children.push_back(std::make_unique<Child>(BinPath("qor_child"), args, env));
    }
    WriteTextFile(sync.file("go"), "");
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
    EXPECT_TRUE(std::regex_match(shared, std::regex("SHARED-P1[0-3]-AGAIN"))) << shared;
    std::map<int, std::string> want = {{20 * 8, shared}};
    Lines seen;  // what every process answers
    for (int t = 10; t < 10 + kWriters; ++t) {
        const std::string tag = "P" + std::to_string(t), get = "get " + std::to_string(t);
        want[t * 8 + 1] = "11S" + tag + "-ONE";
        want[t * 8 + 2] = tag + "-TWO";
        seen.insert(seen.end(), {get + " 0 rc=102 text=", get + " 1 rc=0 text=" + want[t * 8 + 1],
                                 get + " 2 rc=0 text=" + want[t * 8 + 2]});
    }
    seen.push_back("get 20 0 rc=0 text=" + shared);
    EXPECT_EQ(records, want);
    // Every set answered 1 (there was room for all); every process sees what the device holds.
    for (const auto &out : outputs) {
        for (const auto &l : LinesStartingWith(out, "set ")) EXPECT_NE(l.find("rc=1"), l.npos);
        EXPECT_EQ(LinesStartingWith(out, "get "), seen);
    }
}

}  // namespace
