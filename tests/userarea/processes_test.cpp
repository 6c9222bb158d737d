// The user area in real processes that load the library: start-up on RF machines, the
// message line, and several processes storing at once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "eeprom/area_fixture.h"
#include "eeprom/userarea/userarea.h"
#include "support/child.h"

using namespace area_test;
using qorsim::Bytes;

namespace {

Lines UserAreaTraffic(const TempMachine &m) {
    Lines out;
    for (const auto &t : m.i2cTransfers())
        if (t.dev == kUserDevice) out.push_back(std::string(1, t.dir) + " " + qorsim::Hex2(t.off));
    return out;
}

TEST(UserAreaStartup, FirstProcessOnRfMachinesBringsTheAreaUp) {
    const Bytes user6 = {0xFF, 6, 0, 0, 0, 0};
    const struct {
        const char *name;
        Preset preset;
        std::optional<qorsim::Image> area;
        size_t writes;
        std::string info;  // the message line, if any
        std::string get;
    } cases[] = {
        {"erased: formatted", Preset::kRf, std::nullopt, 257, "", "uget FF rc=9 FF07"},
        {"corrupted user: repaired", Preset::kRf, qorsim::UserAreaImage({user6}), 10,
         "Info: Keystrata Warning -- UserArea structure type FF (User) corrupted.  The problem "
         "will be corrected.",
         "uget FF rc=0 FF070000000000"},
        // Untouched at start-up; the first access finds the cache behind and loads it.
        {"no RF device: untouched", Preset::kBlank,
         qorsim::UserAreaImage({{0xFF, 7, 0, 0, 0, 0, 0}}), 0, "", "uget FF rc=0 FF070000000000"},
    };
    for (const auto &c : cases) {
        TempMachine machine(c.preset);
        if (c.area) machine.setDevice(kUserDevice, *c.area);
        machine.enableLog();
        const ChildEnv env = {{"QORASST_MACHINE", machine.path()},
                              {"QORASST_NAMESPACE", UniqueNamespace()}};
        const ChildResult r = RunChild({"status"}, env);
        ASSERT_EQ(r.exit_code, 0) << c.name;
        // The bring-up's writes: those after the last whole-area read store the "Network"
        // structure (tests/hostid).
        const Lines traffic = UserAreaTraffic(machine);
        const auto loaded =
            std::find_if(traffic.rbegin(), traffic.rend(), [](auto &l) { return l[0] == 'R'; });
        EXPECT_EQ(
            std::count_if(traffic.begin(), loaded.base(), [](auto &l) { return l[0] == 'W'; }),
            c.writes)
            << c.name;
        EXPECT_EQ(LinesStartingWith(r.err, "Info: "), c.info.empty() ? Lines{} : Lines{c.info})
            << c.name;
        if (c.preset == Preset::kRf) {
            EXPECT_EQ(UserAreaValidate(machine.device(kUserDevice).data()).result, 0) << c.name;
        }
        // A later process's read (the cache went with the first): what the device holds.
        const ChildResult g = RunChild({"uget", "FF"}, env);
        EXPECT_EQ(LinesStartingWith(g.out, "uget"), Lines{c.get}) << c.name;
    }
}

TEST(UserAreaProcesses, ConcurrentStoresLoseNothingAndKeepTheAreaBalanced) {
    TempMachine machine(Preset::kRf);
    machine.setDevice(kUserDevice, qorsim::UserAreaImage({}));
    const ChildEnv env = {{"QORASST_MACHINE", machine.path()},
                          {"QORASST_NAMESPACE", UniqueNamespace()}};
    TempDir sync;
    constexpr int kWriters = 4;
    // The first process holds the cache until every writer is done, then reads it back.
    std::vector<std::string> holder = {"touch", sync.file("up")};
    for (int w = 0; w < kWriters; ++w)
        holder.insert(holder.end(), {"wait", sync.file(std::to_string(w))});
    holder.push_back("udirty");
    for (int w = 0; w < kWriters; ++w)
        holder.insert(holder.end(), {"uget", qorsim::Hex2(0x20 + w)});
    holder.insert(holder.end(), {"uget", "FF"});
    Child first(BinPath("qor_child"), holder, env);
    // The writers load the library only once the holder is up, so that it is the first
    // process (a writer loading earlier could be first, and store while its start-up still
    // brings the area up and records the host).
    for (int i = 0; i < 3000 && !std::filesystem::exists(sync.file("up")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::vector<std::unique_ptr<Child>> writers;
    for (int w = 0; w < kWriters; ++w) {
        const std::string own = qorsim::Hex2(0x20 + w), tag = qorsim::Hex2(0x41 + w);
        // Own structure stored, grown, shrunk, removed and stored again; "User" fought over.
        std::vector<std::string> args = {"wait", sync.file("up")};
        for (const std::string &s :
             {own + "04" + tag + "00", own + "07" + tag + tag + tag + tag + "00", own + "00",
              "FF0B" + tag + "00" + tag + "00" + tag + tag + "000000", own + "03" + tag})
            args.insert(args.end(), {"uset", s});
        args.insert(args.end(), {"touch", sync.file(std::to_string(w))});
        writers.push_back(std::make_unique<Child>(BinPath("qor_child"), args, env));
    }
    for (auto &w : writers) {
        const ChildResult r = w->Wait();
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_EQ(LinesStartingWith(r.out, "uset").size(), 5u);
        for (const auto &l : LinesStartingWith(r.out, "uset"))
            EXPECT_NE(l.find("rc=0"), l.npos) << l;
    }
    const ChildResult r = first.Wait();
    ASSERT_EQ(r.exit_code, 0) << r.err;

    const auto img = machine.device(kUserDevice);
    ASSERT_EQ(UserAreaValidate(img.data()).result, 0);
    Lines want = {"udirty rc=0"};
    for (int w = 0; w < kWriters; ++w) {
        const std::string own = qorsim::Hex2(0x20 + w), tag = qorsim::Hex2(0x41 + w);
        want.push_back("uget " + own + " rc=0 " + own + "03" + tag);
    }
    uint8_t user[256];
    ASSERT_EQ(UserAreaFindStruct(img.data(), 0xFF, 1, user, nullptr), 0);
    want.push_back("uget FF rc=0 " + qorsim::Hex(user, user[1]));
    Lines got = LinesStartingWith(r.out, "udirty");
    for (const auto &l : LinesStartingWith(r.out, "uget")) got.push_back(l);
    EXPECT_EQ(got, want);
    // Beside the writers' structures and the User structure, the first process's "Network".
    uint8_t network[256];
    ASSERT_EQ(UserAreaFindStruct(img.data(), 0xFA, 1, network, nullptr), 0);
    EXPECT_EQ(img[4], 16 + kWriters * 3 + 11 + network[1]);
}

}  // namespace
