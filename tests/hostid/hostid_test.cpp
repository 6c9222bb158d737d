// Host identity: the names from the registry fixture, the routing-table rules on text fixtures,
// the exports on a simulated host (and their silence on the bus), the "Network" structure's
// fit and staleness, and the qorasst tool's view of it all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "eeprom/userarea/network.h"
#include "eeprom/userarea/userarea.h"
#include "hostid/ip_config.h"
#include "hostid/routes.h"
#include "state/state.h"
#include "support/machine.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string Fixture(const std::string &name) {
    return std::string(QOR_SOURCE_DIR) + "/tests/hostid/" + name;
}

// The computer name of the 95 family in names.reg.
const std::string kLongName = "QORPC95-A-NAME-OF-SIXTY-FOUR-CHARACTERS-THAT-64-BYTE-BUFFERS-CUT";

// A REGEDIT4 fixture as the machine registry: the file QORASST_REGISTRY names on POSIX (child
// processes inherit it); on Windows imported into the real registry (adding and removing values
// only).
struct Registry {
    explicit Registry(std::string path) {
#ifdef _WIN32
        std::replace(path.begin(), path.end(), '/', '\\');
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, sizeof windows);
        Child regedit(std::string(windows) + "\\regedit.exe", {"/S", path}, {});
        EXPECT_EQ(regedit.Wait().exit_code, 0);
#else
        env = std::make_unique<ScopedEnv>("QORASST_REGISTRY", path);
#endif
    }
    std::unique_ptr<ScopedEnv> env;
};

TEST(HostNames, ComeFromTheKeyOfThePlatformFamilyCutAndPadded) {
    Registry registry(Fixture("names.reg"));
    struct Case {
        int nt;
        int (*get)(char *, int);
        int size, result;
        std::string text;  // the buffer's first size bytes are this, then NULs
    };
    const Case cases[] = {
        {1, AssetGetSystemName, 64, 1, "QORPC01"},
        {1, AssetGetLoginName, 512, 1, "qoruser"},
        {1, AssetGetSystemName, 8, 1, "QORPC01"},
        {1, AssetGetSystemName, 4, 1, "QOR"},
        {1, AssetGetSystemName, 1, 1, ""},
        {0, AssetGetSystemName, 64, 1, kLongName.substr(0, 63)},
        {0, AssetGetSystemName, 65, 1, kLongName},
        {0, AssetGetLoginName, 64, 0, ""},  // a number
        {1, AssetGetSystemName, 0, 0, ""},
        {1, AssetGetSystemName, -1, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.nt) + " " + std::to_string(c.size) + " " + c.text);
        g_state.is_nt = c.nt;
        std::vector<char> buffer(600, '#');
        EXPECT_EQ(c.get(buffer.data(), c.size), c.result);
        // A name is padded with NULs to size; a failure writes only the first byte.
        const size_t size = static_cast<size_t>(std::max(c.size, 0));
        const size_t written = c.result == 1 ? size : std::min<size_t>(size, 1);
        std::string expected = c.text;
        expected.resize(written, '\0');
        EXPECT_EQ(std::string(buffer.data(), written + 1), expected + '#');
    }
    Registry nouser(Fixture("nouser.reg"));  // a key without the value: 0 and an empty name
    g_state.is_nt = 1;
    char name[64] = "stale";
    EXPECT_EQ(AssetGetLoginName(name, sizeof name), 0);
    EXPECT_STREQ(name, "");
    g_state.is_nt = 0;
}

TEST(RouteTable, AddressesReadAsTheResolverReadsThem) {
    // Each entry: the text, then the address it reads as ("-": none).
    std::istringstream cases(
        "192.168.1.10=192.168.1.10;10.1=10.0.0.1;1.2.65535=1.2.255.255;0x7f.1=127.0.0.1;"
        "010.0.0.1=8.0.0.1;1.2.3.4   next column=1.2.3.4;=0.0.0.0;255.255.255.255=-;256.1.1.1=-;"
        "1.2.3.256=-;1.2.3.4x=-;08.1.1.1=-;1.2.3.4.5=-;1..2=-;On-link=-;4294967296=-;");
    for (std::string input, expected;
         std::getline(cases, input, '=') && std::getline(cases, expected, ';');) {
        char text[16] = "-";
        if (InetAddr(input.c_str()) != kInAddrNone) InetNtoa(InetAddr(input.c_str()), text);
        EXPECT_EQ(text, expected) << input;
    }
}

TEST(RouteTable, SelectsMasksAndTheGatewayFromTheRows) {
    const std::string onlink = "192.168.1.0 255.255.255.0 192.168.1.10 192.168.1.10 1\n";
    const std::string deflt = "0.0.0.0 0.0.0.0 192.168.1.1 192.168.1.10 1\n";
    const std::string headings =
        "Route Table\n=====\nActive Routes:\nNetwork Destination        Netmask          "
        "Gateway       Interface  Metric\n  255.255.255.255  255.255.255.255   10.0.0.1  "
        "10.0.0.1  1\n";
    const struct {
        const char *host;
        std::string table;
        int capacity;
        const char *expected;
    } cases[] = {
        {"192.168.1.10", deflt + onlink, 50, "1 192.168.1.10/255.255.255.0 gw 192.168.1.1"},
        {"192.168.1.10", onlink, 50, "1 192.168.1.10/255.255.255.0 gw -"},  // no default row
        {"192.168.1.10 10.0.0.5", deflt + onlink, 50,                       // no on-link row
         "2 192.168.1.10/255.255.255.0 10.0.0.5/ gw 192.168.1.1"},
        {"10.0.0.1", headings + deflt, 50, "1 10.0.0.1/ gw 192.168.1.1"},
        {"192.168.1.10 10.0.0.5 172.16.0.1", onlink, 2,  // more addresses than capacity
         "2 192.168.1.10/255.255.255.0 10.0.0.5/ gw -"},
        {"192.168.1.10", deflt + "0.0.0.0 0.0.0.0 192.168.1.254 192.168.1.10\n" + onlink, 50,
         "1 192.168.1.10/255.255.255.0 gw 192.168.1.254"},  // the later default row
        // Destination 0 or another network never gives a mask; the first row that does wins.
        {"10.1.2.3",
         "0.0.0.0 255.0.0.0 0.0.0.0 10.1.2.3\n10.1.0.0 255.255.0.0 0.0.0.0 10.1.2.4\n"
         "10.0.0.0 255.0.0.0 0.0.0.0 10.1.2.3\n10.1.2.0 255.255.255.0 0.0.0.0 10.1.2.3\n",
         50, "1 10.1.2.3/255.0.0.0 gw -"},
        {"192.168.1.10", deflt + onlink, 0, "0 gw 192.168.1.1"},  // no room: the gateway only
    };
    for (const auto &c : cases) {
        std::vector<uint32_t> host;
        std::istringstream words(c.host);
        for (std::string a; words >> a;) host.push_back(InetAddr(a.c_str()));
        RouteRow rows[kMaxRoutes];
        const int n = ParseDecisiveRoutes(c.table.data(), c.table.size(), host.data(),
                                          static_cast<int>(host.size()), rows);
        const auto fill = [&](char **addresses, char **masks, char **gateway, int capacity) {
            return FillIpConfig(host.data(), static_cast<int>(host.size()), rows, n, addresses,
                                masks, gateway, capacity);
        };
        EXPECT_EQ(IpConfig(fill, c.capacity), c.expected) << c.table;
    }
}

TEST(RouteTable, ReadsLinesAsALineBufferDoes) {
    // A line of more than 254 characters is read in pieces; the second piece is a row here.
    const std::string long_line =
        std::string(250, ' ') + "x   10.0.0.0 255.0.0.0 1.1.1.1 2.2.2.2\n";
    RouteRow rows[kMaxRoutes + 1];
    ASSERT_EQ(ParseRouteTable(long_line.data(), long_line.size(), rows, kMaxRoutes), 1);
    EXPECT_EQ(rows[0].destination, InetAddr("10.0.0.0"));
    EXPECT_EQ(rows[0].interface_addr, InetAddr("2.2.2.2"));
    // A short row keeps what its missing columns read as; text past a NUL is not read.
    const std::string short_row("1.0.0.0 255.0.0.0\n2.0.0.0\0 3.0.0.0\n", 35);
    ASSERT_EQ(ParseRouteTable(short_row.data(), short_row.size(), rows, kMaxRoutes), 2);
    EXPECT_EQ(rows[0].gateway, 0u);
    EXPECT_EQ(rows[1].netmask, 0u);
}

// A simulated host of two addresses, the first on a network with a default route, its
// on-link row behind 300 others (more than a table of 256 rows holds).
std::string HostConf() {
    std::string conf =
        "# a host of two addresses\naddress 192.168.1.10\naddress 10.0.0.5\n"
        "route Network Destination Netmask Gateway Interface\n"
        "route 0.0.0.0 0.0.0.0 192.168.1.1 192.168.1.10 20\n";
    for (int i = 0; i < 300; ++i)
        conf += "route 172.16." + std::to_string(i % 256) + ".0 255.255.255.0 192.168.1.1 " +
                "192.168.1.10 20\n";
    return conf + "route 192.168.1.0 255.255.255.0 192.168.1.10 192.168.1.10 20\n";
}

// The exports on a simulated host (its host.conf), the names from the fixture, and not one bus
// transfer.
TEST_F(MachineFixture, HostExportsAnswerFromTheSimulatedHostWithoutBusTraffic) {
    Registry registry(Fixture("names.reg"));
    g_state.is_nt = 1;
    WriteTextFile(machine_.path() + "/host.conf", HostConf());
    EXPECT_EQ(IpConfig(AssetGetIPConfig, 3),
              "2 192.168.1.10/255.255.255.0 10.0.0.5/ gw 192.168.1.1");
    const auto no_arrays = [](char **, char **, char **gateway, int) {
        return AssetGetIPConfig(nullptr, nullptr, gateway, 0);  // arrays of no entries
    };
    EXPECT_EQ(IpConfig(no_arrays, 0), "0 gw 192.168.1.1");
    char name[64];
    EXPECT_EQ(AssetGetLoginName(name, sizeof name) + AssetGetSystemName(name, sizeof name), 2);
    g_state.is_nt = 0;
    EXPECT_TRUE(machine_.log().empty());

    // qorasst ip shows what the exports give, in the platform family's names.
    const char *personality = std::getenv("QORASST_PERSONALITY");
    const std::string names =
        personality == nullptr || std::string(personality) != "win98"
            ? "  computer_name: QORPC01\n  login_name: qoruser\n"
            : "  computer_name: " + kLongName.substr(0, 63) + "\n  login_name: -\n";
    const ChildResult text = RunChildProgram("qorasst", {"ip"}, ChildOn(machine_));
    EXPECT_EQ(text.exit_code, 0) << text.err;
    EXPECT_EQ(text.out, "host:\n" + names +
                            "  addresses:\n    - address: 192.168.1.10\n      mask: 255.255.255.0\n"
                            "    - address: 10.0.0.5\n      mask: -\n  gateway: 192.168.1.1\n");
}

HostIdentity Host(int count, size_t name_length) {
    HostIdentity h{};
    h.count = count;
    std::memset(h.computer_name, 'c', std::min<size_t>(name_length, 63));
    std::memset(h.login_name, 'l', std::min<size_t>(name_length, 63));
    return h;
}

TEST(NetworkStruct, TakesWhatFitsAndTellsWhatIsStale) {
    HostIdentity host = Host(2, 2);
    host.addresses[0] = InetAddr("192.168.1.10");
    host.masks[0] = InetAddr("255.255.255.0");
    host.addresses[1] = InetAddr("10.0.0.5");
    host.gateway = InetAddr("192.168.1.1");
    uint8_t built[kNetworkBufferSize];
    ASSERT_EQ(BuildNetworkStruct(host, 232, built), 29);
    const std::vector<uint8_t> expected = {0xFA, 29, 2, 192, 168, 1,   1,   192, 168, 1,
                                           10,   10, 0, 0,   5,   255, 255, 255, 0,   0,
                                           0,    0,  0, 'c', 'c', 0,   'l', 'l', 0};
    EXPECT_EQ(std::vector<uint8_t>(built, built + 29), expected);
    const struct {
        int count;
        size_t name_length;
        int room, pairs, size;
    } cases[] = {
        {50, 3, 248, 27, 231},   // at most 231 bytes
        {50, 3, 30, 1, 23},      // the area's free space
        {1, 3, 22, 0, 15},       // one pair does not fit
        {0, 3, 248, 0, 15},      // no address: 9 plus the names
        {50, 70, 248, 12, 231},  // names cut to 63 characters each
        {50, 70, 100, 0, 135},   // the names alone exceed the room: none of the pairs
    };
    for (const auto &c : cases) {
        uint8_t buffer[kNetworkBufferSize];
        EXPECT_EQ(BuildNetworkStruct(Host(c.count, c.name_length), c.room, buffer), c.size);
        EXPECT_EQ(buffer[2], c.pairs) << c.room;
    }

    // The stale tests decide in their order; on one pair and no gateway the names are at 16, 19.
    host.count = 1;
    host.gateway = 0;
    BuildNetworkStruct(host, 232, built);
    const struct {
        const char *name;
        int offset;  // byte to change in a copy of the built structure (-1: none)
        uint8_t value;
        NetworkStale stale;
    } stale_cases[] = {
        {"same", -1, 0, NetworkStale::kCurrent},
        {"count and gateway", 2, 2, NetworkStale::kCount},
        {"gateway and name", 3, 1, NetworkStale::kGateway},
        {"computer name", 16, 'X', NetworkStale::kComputerName},
        {"computer name longer", 17, 'X', NetworkStale::kComputerName},
        {"login name", 19, 'X', NetworkStale::kLoginName},
        {"address", 7, 10, NetworkStale::kAddresses},
        {"mask", 14, 254, NetworkStale::kAddresses},
        {"shorter than its fields", 1, 10, NetworkStale::kComputerName},
        {"shorter than the gateway", 1, 5, NetworkStale::kGateway},
    };
    for (const auto &c : stale_cases) {
        uint8_t stored[kNetworkBufferSize];
        std::memcpy(stored, built, sizeof stored);
        if (c.offset >= 0) stored[c.offset] = c.value;
        EXPECT_EQ(CheckNetworkStruct(stored, built), c.stale) << c.name;
    }
    EXPECT_EQ(CheckNetworkStruct(nullptr, built), NetworkStale::kMissing);
}

// The start-up refresh in first processes on an RF machine: what lands in the "Network"
// structure, and exactly which bytes of the user area are written for it.
TEST(NetworkRefresh, StoresTheHostOnceAndRewritesWhatChanged) {
    TempMachine machine(Preset::kRf);  // the user area erased: formatted at the first start-up
    TempDir dir;
    const std::string names_reg = ReadWholeFile(Fixture("names.reg"));
    const std::string onlink = "route 192.168.1.0 255.255.255.0 0.0.0.0 192.168.1.10\n";
    const std::string deflt = "route 0.0.0.0 0.0.0.0 192.168.1.1 192.168.1.10\n";
    const std::string one = "address 192.168.1.10\n";
    // The structure by hand: type, size, count, gateway, addresses and masks, two names.
    auto network = [](uint8_t count, uint8_t gateway_last, const std::string &pc) {
        qorsim::Bytes b = {0xFA, 0,  count, 192, 168, 1, gateway_last, 192, 168,
                           1,    10, 255,   255, 255, 0};
        if (gateway_last == 0) b[3] = b[4] = b[5] = 0;
        if (count == 0) b.resize(7);
        for (char ch : pc + '\0' + "qoruser" + '\0') b.push_back(static_cast<uint8_t>(ch));
        b[1] = static_cast<uint8_t>(b.size());
        return b;
    };
    const struct {
        const char *name;
        std::string pc, host;
        const char *writes;  // offsets written after the area was loaded ("a-b": a to b)
        uint8_t count, gateway_last;
        int at;  // where the structure then stands
    } cases[] = {
        {"fresh area: appended at 16", "QORPC01", one + deflt + onlink, "16-46 4 8 7", 1, 1, 16},
        {"same host again: nothing written", "QORPC01", one + deflt + onlink, "", 1, 1, 16},
        {"name of the same length: in place", "QORPC02", one + deflt + onlink, "16-46 8", 1, 1, 16},
        {"longer name: moved to the end", "QORPC002", one + deflt + onlink, "16-54 4 7 8", 1, 1,
         23},
        {"no default route: gateway 0", "QORPC01", one + onlink, "23-54 4 7 8", 1, 0, 23},
        {"no address: count 0", "QORPC01", deflt, "23-53 4 7 8", 0, 1, 23},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.pc == "QORPC002") {  // the old structure with another one after it
            machine.setDevice(kUserDevice, qorsim::UserAreaImage({network(1, 1, "QORPC02"),
                                                                  {0xFF, 7, 0, 0, 0, 0, 0}}));
        }
        WriteTextFile(machine.path() + "/host.conf", c.host);
        // Both families' names: the computer's in both keys, the user's as text.
        std::string reg = names_reg;
        for (const std::string &old :
             {std::string("QORPC01"), kLongName, std::string("dword:00000001")})
            reg.replace(reg.find(old), old.size(), old[0] == 'd' ? "\"qoruser\"" : c.pc);
        WriteTextFile(dir.file("host.reg"), reg);
        Registry registry(dir.file("host.reg"));
        machine.enableLog();
        machine.clearLog();
        // The read waits for the refresh, which start-up's own thread makes.
        ASSERT_EQ(RunChild({"status", "uget", "FA"}, ChildOn(machine)).exit_code, 0);
        std::vector<int> writes, expected;
        for (const auto &t : machine.i2cTransfers()) {
            if (t.dev != kUserDevice) continue;
            if (t.dir == 'R' && t.len == 248) writes.clear();  // before the load: not the refresh's
            if (t.dir == 'W' && t.len == 1 && t.ok) writes.push_back(t.off);
        }
        std::istringstream runs(c.writes);
        for (std::string run; runs >> run;) {
            const int last = std::stoi(run.substr(run.find('-') + 1));  // no dash: one offset
            for (int o = std::stoi(run); o <= last; ++o) expected.push_back(o);
        }
        EXPECT_EQ(writes, expected);
        const auto image = machine.device(kUserDevice);
        EXPECT_EQ(UserAreaValidate(image.data()).result, 0);
        uint8_t pos = 0, stored[256] = {};
        ASSERT_EQ(UserAreaFindStruct(image.data(), 0xFA, 1, stored, &pos), 0);
        EXPECT_EQ(qorsim::Bytes(stored, stored + stored[1]),
                  network(c.count, c.gateway_last, c.pc));
        EXPECT_EQ(pos, c.at);
    }
}

}  // namespace
