// Serial numbers across real processes that load the library: concurrent writers and
// readers on one machine, the first process's synchronisation, and the command-line tool.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
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

    // The record of each key on the device: slot and display text.
    std::map<int, std::pair<int, std::string>> DeviceRecords(int *duplicates) const {
        const auto img = machine_.device(kArea);
        std::map<int, std::pair<int, std::string>> out;
        *duplicates = 0;
        for (int slot = 0; slot < 12; ++slot) {
            const uint8_t *r = &img[16 + 20 * slot];
            if (r[0] == 0) continue;
            std::string text(reinterpret_cast<const char *>(r + 1),
                             strnlen(reinterpret_cast<const char *>(r + 1), 19));
            std::string display =
                (text[0] & 0x80)
                    ? std::string(1, static_cast<char>(text[0] & 0x7F)) + text.substr(1)
                    : "11S" + text;
            if (out.count(r[0]) != 0) ++*duplicates;
            out[r[0]] = {slot, display};
        }
        return out;
    }

    TempMachine machine_;
    std::string ns_ = UniqueNamespace();
};

std::vector<std::string> Lines(const std::string &out) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        lines.push_back(out.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TEST_F(Processes, ConcurrentWritersLeaveABalancedAreaThatEveryProcessSees) {
    machine_.setDevice(kArea, Formatted());
    TempDir sync;
    constexpr int kWriters = 4;
    std::vector<std::unique_ptr<Child>> children;
    for (int i = 0; i < kWriters; ++i) {
        const std::string own = std::to_string(10 + i);
        const std::string tag = "P" + std::to_string(i);
        children.push_back(std::make_unique<Child>(
            BinPath("qor_child"),
            std::vector<std::string>{"wait",  sync.file("go"),
                                     "set",   own,
                                     "0",     tag + "-zero",
                                     "set",   own,
                                     "1",     "11s" + tag + "-one",
                                     "set",   "20",
                                     "0",     "SHARED-" + tag,
                                     "set",   own,
                                     "0",     "",
                                     "set",   own,
                                     "2",     tag + "-two",
                                     "set",   "20",
                                     "0",     "SHARED-" + tag + "-AGAIN",
                                     "touch", sync.file("done" + std::to_string(i)),
                                     "wait",  sync.file("read"),
                                     "get",   own,
                                     "0",     "get",
                                     own,     "1",
                                     "get",   own,
                                     "2",     "get",
                                     "20",    "0",
                                     "get",   "10",
                                     "1",     "get",
                                     "11",    "1",
                                     "get",   "12",
                                     "1",     "get",
                                     "13",    "1"},
            Env()));
    }
    WriteTextFile(sync.file("go"), "");
    for (int i = 0; i < kWriters; ++i) {
        const auto done = sync.file("done" + std::to_string(i));
        for (int n = 0; n < 3000 && !std::filesystem::exists(done); ++n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    WriteTextFile(sync.file("read"), "");

    int duplicates = 0;
    std::vector<ChildResult> results;
    for (auto &c : children) results.push_back(c->Wait());
    const auto img = machine_.device(kArea);
    EXPECT_EQ(AreaSum(img), 0);
    const auto records = DeviceRecords(&duplicates);
    EXPECT_EQ(duplicates, 0);

    std::set<std::string> views;
    for (int i = 0; i < kWriters; ++i) {
        const auto &r = results[i];
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const auto lines = Lines(r.out);
        const std::string tag = "P" + std::to_string(i);
        const int own = 10 + i;
        // Every set answered 1 (there was room for all) and is on the device.
        for (const auto &l : lines) {
            if (l.rfind("set ", 0) == 0) {
                EXPECT_NE(l.find("rc=1"), std::string::npos) << l;
            }
        }
        EXPECT_EQ(records.count(own * 8 + 0), 0u) << tag;
        ASSERT_EQ(records.count(own * 8 + 1), 1u) << tag;
        EXPECT_EQ(records.at(own * 8 + 1).second, "11S" + tag + "-ONE");
        ASSERT_EQ(records.count(own * 8 + 2), 1u) << tag;
        EXPECT_EQ(records.at(own * 8 + 2).second, tag + "-TWO");
        // What this process sees is what the device holds.
        std::string view;
        int gets = 0;
        for (const auto &l : lines) {
            if (l.rfind("get ", 0) != 0) continue;
            int type = 0, index = 0;
            ASSERT_EQ(std::sscanf(l.c_str(), "get %d %d", &type, &index), 2) << l;
            const auto it = records.find(type * 8 + index);
            const std::string want =
                it == records.end()
                    ? "get " + std::to_string(type) + " " + std::to_string(index) + " rc=102 text="
                    : "get " + std::to_string(type) + " " + std::to_string(index) +
                          " rc=0 text=" + it->second.second;
            EXPECT_EQ(l, want) << tag;
            if (++gets > 3) view += l + "\n";  // the gets every process makes
        }
        views.insert(view);
    }
    EXPECT_EQ(views.size(), 1u) << "processes disagree";
    ASSERT_EQ(records.count(20 * 8), 1u);
    EXPECT_NE(records.at(20 * 8).second.find("-AGAIN"), std::string::npos);
    EXPECT_EQ(records.size(), 1u + 2 * kWriters);
}

TEST_F(Processes, FirstProcessOnAnRfMachineRecordsTheModules) {
    // RF device present, no area: the first process formats A8 and its synchronisation
    // thread records the memory modules it finds. A disk query waits for that thread.
    qorsim::Image blank;
    blank.fill(0xFF);
    machine_.setDevice(0xB8, qorsim::Image{});
    machine_.setDevice(kArea, blank);
    qorsim::Image module{};
    const std::string block = "11SABCDEFGHIJKLMNOPQRS";
    std::memcpy(&module[128], block.data(), 22);
    module[150] = static_cast<uint8_t>(~Sum(&module[128], 22));
    machine_.setDevice(0xA2, module);
    const ChildResult r = RunChild({"get", "2", "0", "get", "17", "1", "get", "256", "1"}, Env());
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("get 17 1 rc=0 text=11SABCDEFGHIJKLMNOPQRS\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("get 256 1 rc=0 text=11SABCDEFGHIJKLMNOPQRS\n"), std::string::npos)
        << r.out;
    int duplicates = 0;
    const auto records = DeviceRecords(&duplicates);
    ASSERT_EQ(records.count(17 * 8 + 1), 1u);
    EXPECT_EQ(records.at(17 * 8 + 1).first, 0);
    EXPECT_EQ(AreaSum(machine_.device(kArea)), 0);
}

TEST_F(Processes, ToolGetsSetsAndDeletes) {
    machine_.setDevice(kArea, Formatted());
    auto tool = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "serial");
        Child c(BinPath("qorasst"), args, Env());
        return c.Wait();
    };
    ChildResult r = tool({"set", "4", "0", "abc-123"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "serial 4 0 stored\n");
    r = tool({"get", "4", "0"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "ABC-123\n");
    r = tool({"set", "4", "0", "ab"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("not stored"), std::string::npos);
    r = tool({"delete", "4", "0"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "serial 4 0 deleted\n");
    r = tool({"get", "4", "0"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("result 61"), std::string::npos) << r.err;
    r = tool({"get", "14", "1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("the index must be 0 for this device type (result 103)"),
              std::string::npos)
        << r.err;
    r = tool({"get", "4", "x"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(machine_.device(kArea)[16], 0);
}

}  // namespace
