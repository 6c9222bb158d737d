// The user area in real processes that load the library: start-up on RF machines, the
// message line, and several processes storing at once.
#include <gtest/gtest.h>

#include "eeprom/area_fixture.h"
#include "eeprom/userarea/userarea.h"

using namespace area_test;
using qorsim::Bytes;
using qorsim::UserAreaImage;

namespace {

TEST(UserAreaStartup, FirstProcessOnRfMachinesBringsTheAreaUp) {
    const std::string info =
        "Info: Keystrata Warning -- UserArea structure type FF (User) corrupted.  The problem "
        "will be corrected.";
    const Bytes user6 = {0xFF, 6, 0, 0, 0, 0}, user7 = {0xFF, 7, 0, 0, 0, 0, 0};
    const struct {
        const char *name;
        Preset preset;
        std::optional<qorsim::Image> area;
        size_t writes;
        bool info;  // the message line
        std::string get;
    } cases[] = {
        {"erased: formatted", Preset::kRf, std::nullopt, 257, false, "rc=9 FF07"},
        {"corrupted user: repaired", Preset::kRf, UserAreaImage({user6}), 10, true,
         "rc=0 " + qorsim::Hex(user7)},
        // Untouched at start-up; the first access finds the cache behind and loads it.
        {"no RF device: untouched", Preset::kBlank, UserAreaImage({user7}), 0, false,
         "rc=0 " + qorsim::Hex(user7)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempMachine machine(c.preset);
        if (c.area) machine.setDevice(kUserDevice, *c.area);
        machine.enableLog();
        const ChildEnv env = ChildOn(machine);
        // The read waits for start-up's own thread (the refresh, the message).
        const ChildResult r = RunChild({"status", "uget", "FF"}, env);
        ASSERT_EQ(r.exit_code, 0);
        // The bring-up's writes: those before the last whole-area read (the writes after it
        // store the "Network" structure, tests/hostid).
        size_t writes = 0, bring_up = 0;
        for (const auto &t : machine.i2cTransfers()) {
            if (t.dev == kUserDevice && t.dir == 'R' && t.len == 248) bring_up = writes;
            writes += t.dev == kUserDevice && t.dir == 'W';
        }
        EXPECT_EQ(bring_up, c.writes);
        EXPECT_EQ(LinesStartingWith(r.err, "Info: "), c.info ? Lines{info} : Lines{});
        EXPECT_EQ(UserAreaValidate(machine.device(kUserDevice).data()).result, 0);
        // A later process's read (the cache went with the first): what the device holds.
        const ChildResult g = RunChild({"uget", "FF"}, env);
        EXPECT_EQ(LinesStartingWith(g.out, "uget"), Lines{"uget FF " + c.get});
    }
}

TEST(UserAreaProcesses, ConcurrentStoresLoseNothingAndKeepTheAreaBalanced) {
    TempMachine machine(Preset::kRf);
    machine.setDevice(kUserDevice, UserAreaImage({}));
    const ChildEnv env = ChildOn(machine);
    TempDir sync;
    constexpr int kWriters = 4;  // types 20 to 23
    // The first process holds the cache until every writer is done, then reads it back.
    Child first(BinPath("qor_child"),
                {"touch", sync.file("up"), "wait", sync.file("done"), "udirty", "uget", "20",
                 "uget", "21", "uget", "22", "uget", "23", "uget", "FF"},
                env);
    // The writers load the library only once the holder is up, so that it is the first
    // process (a writer loading earlier could be first, and store while its start-up still
    // brings the area up and records the host).
    AppearsWithin(sync.file("up"), 30);
    std::vector<std::unique_ptr<Child>> writers;
    Lines want = {"udirty rc=0"};
    for (int w = 0; w < kWriters; ++w) {
        const std::string own = qorsim::Hex2(0x20 + w), tag = qorsim::Hex2(0x41 + w);
        // Own structure stored, grown, shrunk, removed and stored again; "User" fought over.
        std::vector<std::string> args = {"wait", sync.file("up")};
        for (const std::string &s :
             {own + "04" + tag + "00", own + "07" + tag + tag + tag + tag + "00", own + "00",
              "FF0B" + tag + "00" + tag + "00" + tag + tag + "000000", own + "03" + tag})
            args.insert(args.end(), {"uset", s});
        writers.push_back(std::make_unique<Child>(BinPath("qor_child"), args, env));
        want.push_back("uget " + own + " rc=0 " + own + "03" + tag);
    }
    for (auto &w : writers) {
        const ChildResult r = w->Wait();
        ASSERT_EQ(r.exit_code, 0) << r.err;
        const Lines stores = LinesStartingWith(r.out, "uset");
        EXPECT_EQ(stores.size(), 5u);
        for (const auto &l : stores) EXPECT_NE(l.find("rc=0"), l.npos) << l;
    }
    WriteTextFile(sync.file("done"), "");
    const ChildResult r = first.Wait();
    ASSERT_EQ(r.exit_code, 0) << r.err;

    const auto img = machine.device(kUserDevice);
    ASSERT_EQ(UserAreaValidate(img.data()).result, 0);
    uint8_t user[256], network[256];
    ASSERT_EQ(UserAreaFindStruct(img.data(), 0xFF, 1, user, nullptr), 0);
    want.push_back("uget FF rc=0 " + qorsim::Hex(user, user[1]));
    EXPECT_EQ(Join({LinesStartingWith(r.out, "udirty"), LinesStartingWith(r.out, "uget")}), want);
    // Beside the writers' structures and the User structure, the first process's "Network".
    ASSERT_EQ(UserAreaFindStruct(img.data(), 0xFA, 1, network, nullptr), 0);
    EXPECT_EQ(img[4], 16 + kWriters * 3 + 11 + network[1]);
}

}  // namespace
