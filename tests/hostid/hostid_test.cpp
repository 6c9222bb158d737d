// Host identity: the names from the registry fixture, the routing-table rules on text fixtures,
// the exports on a simulated host (and their silence on the bus), the "Network" structure's
// fit and staleness, and the qorasst tool's view of it all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "eeprom/userarea/userarea.h"
#include "hostid/network.h"
#include "hostid/routes.h"
#include "state/state.h"
#include "support/child.h"
#include "support/machine.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::string Fixture(const std::string &name) {
    return std::string(QOR_SOURCE_DIR) + "/tests/hostid/" + name;
}

// A REGEDIT4 fixture as the machine registry. POSIX reads the file that QORASST_REGISTRY names;
// Windows reads its own registry, into which the fixture is imported as it stands (adding and
// removing values only: it names keys the system holds itself, which must stay).
class Registry {
  public:
    explicit Registry(const std::string &path) : path_(path) {
#ifdef _WIN32
        for (char &c : path_) c = c == '/' ? '\\' : c;
        char windows[MAX_PATH];
        GetWindowsDirectoryA(windows, sizeof windows);
        Child regedit(std::string(windows) + "\\regedit.exe", {"/S", path_}, {});
        EXPECT_EQ(regedit.Wait().exit_code, 0);
#else
        env_ = std::make_unique<ScopedEnv>("QORASST_REGISTRY", path_);
#endif
    }
    // What a child process needs to read the same registry.
    ChildEnv env() const {
#ifdef _WIN32
        return {};
#else
        return {{"QORASST_REGISTRY", path_}};
#endif
    }

  private:
    std::string path_;
    std::unique_ptr<ScopedEnv> env_;
};

uint32_t Addr(const char *dotted) {
    return InetAddr(dotted);
}

// Whatever the library hands out, as text, released.
struct IpConfig {
    int count = 0;
    std::vector<std::string> addresses, masks;
    std::string gateway = "(none)";
};
// The gateway output is read through its pointer, after the call that fills it.
IpConfig Collect(int count, char **addresses, char **masks, char **gateway) {
    IpConfig c;
    c.count = count;
    for (int i = 0; i < count; ++i) {
        c.addresses.emplace_back(addresses[i]);
        c.masks.emplace_back(masks[i]);
        std::free(addresses[i]);
        std::free(masks[i]);
    }
    if (gateway != nullptr && *gateway != nullptr) c.gateway = *gateway;
    if (gateway != nullptr) std::free(*gateway);
    return c;
}

class HostNames : public ::testing::Test {
  protected:
    ~HostNames() override { g_state.is_nt = 0; }
};

TEST_F(HostNames, ComeFromTheKeyOfThePlatformFamilyCutAndPadded) {
    Registry registry(Fixture("names.reg"));
    const std::string long_name =
        "QORPC95-A-NAME-OF-SIXTY-FOUR-CHARACTERS-THAT-64-BYTE-BUFFERS-CUT";
    struct Case {
        int nt;
        int (*get)(char *, int);
        int size;
        int result;
        std::string text;  // the buffer's first size bytes are this, then NULs
    };
    const Case cases[] = {
        {1, AssetGetSystemName, 64, 1, "QORPC01"},
        {1, AssetGetLoginName, 64, 1, "qoruser"},
        {1, AssetGetLoginName, 512, 1, "qoruser"},
        {1, AssetGetSystemName, 8, 1, "QORPC01"},  // seven characters and the terminator
        {1, AssetGetSystemName, 4, 1, "QOR"},
        {1, AssetGetSystemName, 1, 1, ""},
        {0, AssetGetSystemName, 64, 1, long_name.substr(0, 63)},
        {0, AssetGetSystemName, 65, 1, long_name},
        {0, AssetGetLoginName, 64, 0, ""},  // a number, not a string
        {1, AssetGetSystemName, 0, 0, ""},
        {1, AssetGetSystemName, -1, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.nt) + " " + std::to_string(c.size) + " " + c.text);
        g_state.is_nt = c.nt;
        std::vector<char> buffer(600, '#');
        EXPECT_EQ(c.get(buffer.data(), c.size), c.result);
        // A name is padded with NULs to size; a failure writes only the first byte.
        const size_t size = c.size > 0 ? static_cast<size_t>(c.size) : 0;
        const size_t written = c.result == 1 ? size : std::min<size_t>(size, 1);
        std::string expected = c.text;
        expected.resize(written, '\0');
        EXPECT_EQ(std::string(buffer.data(), written), expected);
        EXPECT_EQ(buffer[written], '#');  // nothing beyond size
    }
    EXPECT_EQ(AssetGetSystemName(nullptr, 64), 0);

    // A key without the value: 0 and an empty name.
    Registry nouser(Fixture("nouser.reg"));
    g_state.is_nt = 1;
    char name[64] = "stale";
    EXPECT_EQ(AssetGetLoginName(name, sizeof name), 0);
    EXPECT_STREQ(name, "");
}

TEST(RouteTable, AddressesReadAsTheResolverReadsThem) {
    const struct {
        const char *text;
        const char *dotted;  // nullptr: no address
    } cases[] = {
        {"192.168.1.10", "192.168.1.10"},
        {"10.1", "10.0.0.1"},
        {"1.2.65535", "1.2.255.255"},
        {"0x7f.1", "127.0.0.1"},
        {"010.0.0.1", "8.0.0.1"},
        {"1.2.3.4   next column", "1.2.3.4"},
        {"", "0.0.0.0"},
        {"255.255.255.255", nullptr},
        {"256.1.1.1", nullptr},
        {"1.2.3.256", nullptr},
        {"1.2.3.4x", nullptr},
        {"08.1.1.1", nullptr},
        {"1.2.3.4.5", nullptr},
        {"1..2", nullptr},
        {"On-link", nullptr},
        {"4294967296", nullptr},
    };
    for (const auto &c : cases) {
        const uint32_t value = InetAddr(c.text);
        if (c.dotted == nullptr) {
            EXPECT_EQ(value, kInAddrNone) << c.text;
            continue;
        }
        char text[16];
        InetNtoa(value, text);
        EXPECT_STREQ(text, c.dotted) << c.text;
    }
}

TEST(RouteTable, SelectsMasksAndTheGatewayFromTheRows) {
    const std::string onlink = "192.168.1.0 255.255.255.0 192.168.1.10 192.168.1.10 1\n";
    const std::string deflt = "0.0.0.0 0.0.0.0 192.168.1.1 192.168.1.10 1\n";
    const std::string headings =
        "Route Table\n=====\nActive Routes:\nNetwork Destination        Netmask          "
        "Gateway       Interface  Metric\n  255.255.255.255  255.255.255.255   10.0.0.1  "
        "10.0.0.1  1\n";
    struct Case {
        const char *name;
        std::vector<const char *> host;
        std::string table;
        int capacity;
        IpConfig expected;
    };
    const Case cases[] = {
        {"one address",
         {"192.168.1.10"},
         deflt + onlink,
         50,
         {1, {"192.168.1.10"}, {"255.255.255.0"}, "192.168.1.1"}},
        {"no default row",
         {"192.168.1.10"},
         onlink,
         50,
         {1, {"192.168.1.10"}, {"255.255.255.0"}, "(none)"}},
        {"no on-link row",
         {"192.168.1.10", "10.0.0.5"},
         deflt + onlink,
         50,
         {2, {"192.168.1.10", "10.0.0.5"}, {"255.255.255.0", ""}, "192.168.1.1"}},
        {"headings and broadcast rows",
         {"10.0.0.1"},
         headings + deflt,
         50,
         {1, {"10.0.0.1"}, {""}, "192.168.1.1"}},
        {"more addresses than capacity",
         {"192.168.1.10", "10.0.0.5", "172.16.0.1"},
         onlink,
         2,
         {2, {"192.168.1.10", "10.0.0.5"}, {"255.255.255.0", ""}, "(none)"}},
        {"the later default row",
         {"192.168.1.10"},
         deflt + "0.0.0.0 0.0.0.0 192.168.1.254 192.168.1.10\n" + onlink,
         50,
         {1, {"192.168.1.10"}, {"255.255.255.0"}, "192.168.1.254"}},
        // Destination 0 or another network never gives a mask; the first row that does wins.
        {"first fitting row",
         {"10.1.2.3"},
         "0.0.0.0 255.0.0.0 0.0.0.0 10.1.2.3\n10.1.0.0 255.255.0.0 0.0.0.0 10.1.2.4\n"
         "10.0.0.0 255.0.0.0 0.0.0.0 10.1.2.3\n10.1.2.0 255.255.255.0 0.0.0.0 10.1.2.3\n",
         50,
         {1, {"10.1.2.3"}, {"255.0.0.0"}, "(none)"}},
        {"no room: the gateway only",
         {"192.168.1.10"},
         deflt + onlink,
         0,
         {0, {}, {}, "192.168.1.1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint32_t> host;
        for (const char *a : c.host) host.push_back(Addr(a));
        RouteRow rows[kMaxRoutes];
        const int n = ParseRouteTable(c.table.data(), c.table.size(), rows, kMaxRoutes);
        char *addresses[50] = {}, *masks[50] = {}, *gateway = nullptr;
        const IpConfig got = Collect(FillIpConfig(host.data(), static_cast<int>(host.size()), rows,
                                                  n, addresses, masks, &gateway, c.capacity),
                                     addresses, masks, &gateway);
        EXPECT_EQ(got.count, c.expected.count);
        EXPECT_EQ(got.addresses, c.expected.addresses);
        EXPECT_EQ(got.masks, c.expected.masks);
        EXPECT_EQ(got.gateway, c.expected.gateway);
    }
}

TEST(RouteTable, ReadsLinesAsALineBufferDoesAndStopsAt256Rows) {
    // A line of more than 254 characters is read in pieces; the second piece is a row here.
    const std::string long_line =
        std::string(250, ' ') + "x   10.0.0.0 255.0.0.0 1.1.1.1 2.2.2.2\n";
    RouteRow rows[kMaxRoutes + 1];
    ASSERT_EQ(ParseRouteTable(long_line.data(), long_line.size(), rows, kMaxRoutes), 1);
    EXPECT_EQ(rows[0].destination, Addr("10.0.0.0"));
    EXPECT_EQ(rows[0].interface_addr, Addr("2.2.2.2"));
    // A short row keeps what its missing columns read as; text past a NUL is not read.
    const std::string short_row("1.0.0.0 255.0.0.0\n2.0.0.0\0 3.0.0.0\n", 35);
    ASSERT_EQ(ParseRouteTable(short_row.data(), short_row.size(), rows, kMaxRoutes), 2);
    EXPECT_EQ(rows[0].gateway, 0u);
    EXPECT_EQ(rows[1].netmask, 0u);
    std::string many;
    for (int i = 0; i < 300; ++i) many += "1.2.3.4 0.0.0.0 0.0.0.0 0.0.0.0\n";
    EXPECT_EQ(ParseRouteTable(many.data(), many.size(), rows, kMaxRoutes), kMaxRoutes);
}

// The exports on a simulated host: its addresses and rows from the machine's host.conf, the
// names from the fixture, and not one bus transfer.
TEST_F(MachineFixture, HostExportsAnswerFromTheSimulatedHostWithoutBusTraffic) {
    Registry registry(Fixture("names.reg"));
    g_state.is_nt = 1;
    WriteTextFile(machine_.path() + "/host.conf",
                  "# a host of two addresses\naddress 192.168.1.10\naddress 10.0.0.5\n"
                  "route Network Destination Netmask Gateway Interface\n"
                  "route 0.0.0.0 0.0.0.0 192.168.1.1 192.168.1.10 20\n"
                  "route 192.168.1.0 255.255.255.0 192.168.1.10 192.168.1.10 20\n");
    char *addresses[3] = {}, *masks[3] = {}, *gateway = nullptr;
    const IpConfig got =
        Collect(AssetGetIPConfig(addresses, masks, &gateway, 3), addresses, masks, &gateway);
    EXPECT_EQ(got.addresses, (std::vector<std::string>{"192.168.1.10", "10.0.0.5"}));
    EXPECT_EQ(got.masks, (std::vector<std::string>{"255.255.255.0", ""}));
    EXPECT_EQ(got.gateway, "192.168.1.1");
    // Null arrays: 0, the gateway still reported; a null gateway output is left alone.
    EXPECT_EQ(AssetGetIPConfig(nullptr, masks, &gateway, 3), 0);
    EXPECT_STREQ(gateway, "192.168.1.1");
    std::free(gateway);
    EXPECT_EQ(Collect(AssetGetIPConfig(addresses, masks, nullptr, 1), addresses, masks, nullptr)
                  .addresses,
              std::vector<std::string>{"192.168.1.10"});
    char name[64];
    EXPECT_EQ(AssetGetLoginName(name, sizeof name), 1);
    EXPECT_EQ(AssetGetSystemName(name, sizeof name), 1);
    g_state.is_nt = 0;
    EXPECT_TRUE(machine_.log().empty());
}

TEST(NetworkStruct, TakesAsManyAddressPairsAsFitAndCutsNames) {
    HostIdentity host{};
    std::snprintf(host.computer_name, sizeof host.computer_name, "PC");
    std::snprintf(host.login_name, sizeof host.login_name, "ann");
    host.count = 2;
    host.addresses[0] = Addr("192.168.1.10");
    host.masks[0] = Addr("255.255.255.0");
    host.addresses[1] = Addr("10.0.0.5");
    host.gateway = Addr("192.168.1.1");
    uint8_t out[kNetworkBufferSize];
    ASSERT_EQ(BuildNetworkStruct(host, 232, out), 30);
    const std::vector<uint8_t> expected = {0xFA, 30, 2, 192, 168, 1,   1,   192, 168, 1,
                                           10,   10, 0, 0,   5,   255, 255, 255, 0,   0,
                                           0,    0,  0, 'P', 'C', 0,   'a', 'n', 'n', 0};
    EXPECT_EQ(std::vector<uint8_t>(out, out + 30), expected);

    struct Case {
        int count;
        size_t name_length;
        int room;
        int pairs;
        int size;
    };
    const Case cases[] = {
        {50, 3, 248, 27, 231},   // at most 231 bytes
        {50, 3, 30, 1, 23},      // the area's free space
        {1, 3, 22, 0, 15},       // one pair does not fit
        {0, 3, 248, 0, 15},      // no address: 9 plus the names
        {50, 70, 248, 12, 231},  // names cut to 63 characters each
        {50, 70, 100, 0, 135},   // the names alone exceed the room: none of the pairs
    };
    for (const auto &c : cases) {
        HostIdentity h{};
        h.count = c.count;
        std::memset(h.computer_name, 'c', std::min<size_t>(c.name_length, 63));
        std::memset(h.login_name, 'l', std::min<size_t>(c.name_length, 63));
        uint8_t buffer[kNetworkBufferSize];
        EXPECT_EQ(BuildNetworkStruct(h, c.room, buffer), c.size) << c.room;
        EXPECT_EQ(buffer[2], c.pairs) << c.room;
    }
}

TEST(NetworkStruct, StaleTestsDecideInTheirOrder) {
    HostIdentity host{};
    std::snprintf(host.computer_name, sizeof host.computer_name, "PC");
    std::snprintf(host.login_name, sizeof host.login_name, "ann");
    host.count = 1;
    host.addresses[0] = Addr("192.168.1.10");
    host.masks[0] = Addr("255.255.255.0");
    uint8_t built[kNetworkBufferSize];
    const int size = BuildNetworkStruct(host, 232, built);
    struct Case {
        const char *name;
        int offset;  // byte to change in a copy of the built structure (-1: none)
        uint8_t value;
        NetworkStale stale;
    };
    const Case cases[] = {
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
    for (const auto &c : cases) {
        uint8_t stored[kNetworkBufferSize];
        std::memcpy(stored, built, sizeof stored);
        if (c.offset >= 0) stored[c.offset] = c.value;
        EXPECT_EQ(CheckNetworkStruct(stored, built), c.stale) << c.name << " of " << size;
    }
    EXPECT_EQ(CheckNetworkStruct(nullptr, built), NetworkStale::kMissing);
}

// qorasst ip shows what the exports give, in the platform family's names.
TEST(HostTool, ShowsNamesAddressesAndGateway) {
    Registry registry(Fixture("names.reg"));
    TempMachine machine;
    WriteTextFile(machine.path() + "/host.conf",
                  "address 192.168.1.10\naddress 10.0.0.5\n"
                  "route 0.0.0.0 0.0.0.0 192.168.1.1 192.168.1.10\n"
                  "route 192.168.1.0 255.255.255.0 192.168.1.10 192.168.1.10\n");
    ChildEnv env = registry.env();
    env[qorsim::kMachineEnv] = machine.path();
    env["QORASST_NAMESPACE"] = UniqueNamespace();
    const char *personality = std::getenv("QORASST_PERSONALITY");
    const bool nt = personality == nullptr || std::string(personality) != "win98";
    const std::string names =
        nt ? "  computer_name: QORPC01\n  login_name: qoruser\n"
           : "  computer_name: QORPC95-A-NAME-OF-SIXTY-FOUR-CHARACTERS-THAT-64-BYTE-BUFFERS-CU\n"
             "  login_name: -\n";
    const ChildResult text = RunChildProgram("qorasst", {"ip"}, env);
    EXPECT_EQ(text.exit_code, 0) << text.err;
    EXPECT_EQ(text.out, "host:\n" + names +
                            "  addresses:\n    - address: 192.168.1.10\n      mask: 255.255.255.0\n"
                            "    - address: 10.0.0.5\n      mask: -\n  gateway: 192.168.1.1\n");
    const ChildResult json = RunChildProgram("qorasst", {"ip", "--json"}, env);
    EXPECT_NE(json.out.find("\"addresses\": [\n      {\n        \"address\": \"192.168.1.10\",\n"
                            "        \"mask\": \"255.255.255.0\"\n      },"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"gateway\": \"192.168.1.1\""), std::string::npos);
}

// The start-up refresh in first processes on an RF machine: what lands in the "Network"
// structure, and exactly which bytes of the user area are written for it.
TEST(NetworkRefresh, StoresTheHostOnceAndRewritesWhatChanged) {
    TempMachine machine(Preset::kRf);  // the user area erased: formatted at the first start-up
    TempDir dir;
    const std::string onlink = "route 192.168.1.0 255.255.255.0 0.0.0.0 192.168.1.10\n";
    const std::string deflt = "route 0.0.0.0 0.0.0.0 192.168.1.1 192.168.1.10\n";
    const std::string one = "address 192.168.1.10\n";
    const qorsim::Bytes pair = {192, 168, 1, 10, 255, 255, 255, 0}, gw = {192, 168, 1, 1};
    const qorsim::Bytes user7 = {0xFF, 7, 0, 0, 0, 0, 0};
    // The structure by hand: type, size, count, gateway, addresses and masks, two names.
    auto network = [](uint8_t count, qorsim::Bytes gateway, const qorsim::Bytes &pairs,
                      const std::string &pc) {
        const std::string names = pc + '\0' + "qoruser" + '\0';
        qorsim::Bytes b = {0xFA, 0, count};
        for (const auto &part : {gateway, pairs, qorsim::Bytes(names.begin(), names.end())}) {
            for (uint8_t x : part) b.push_back(x);
        }
        b[1] = static_cast<uint8_t>(b.size());
        return b;
    };
    auto range = [](int first, int last, std::vector<int> then) {
        std::vector<int> offsets;
        for (int o = first; o <= last; ++o) offsets.push_back(o);
        offsets.insert(offsets.end(), then.begin(), then.end());
        return offsets;
    };
    struct Case {
        const char *name;
        std::vector<qorsim::Bytes> area;  // the structures before start-up (none: as it is)
        std::string pc, host;
        std::vector<int> writes;  // offsets written after the area was loaded
        qorsim::Bytes stored;
        int at;  // where the structure then stands
    };
    const Case cases[] = {
        {"fresh area: appended at 16",
         {},
         "QORPC01",
         one + deflt + onlink,
         range(16, 46, {4, 8, 7}),
         network(1, gw, pair, "QORPC01"),
         16},
        {"same host again: nothing written",
         {},
         "QORPC01",
         one + deflt + onlink,
         {},
         network(1, gw, pair, "QORPC01"),
         16},
        {"name of the same length: in place",
         {},
         "QORPC02",
         one + deflt + onlink,
         range(16, 46, {8}),
         network(1, gw, pair, "QORPC02"),
         16},
        {"longer name: moved to the end",
         {network(1, gw, pair, "QORPC02"), user7},
         "QORPC002",
         one + deflt + onlink,
         range(16, 54, {4, 7, 8}),
         network(1, gw, pair, "QORPC002"),
         23},
        {"no default route: gateway 0",
         {},
         "QORPC01",
         one + onlink,
         range(23, 54, {4, 7, 8}),
         network(1, {0, 0, 0, 0}, pair, "QORPC01"),
         23},
        {"no address: count 0",
         {},
         "QORPC01",
         deflt,
         range(23, 53, {4, 7, 8}),
         network(0, gw, {}, "QORPC01"),
         23},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.area.empty()) machine.setDevice(kUserDevice, qorsim::UserAreaImage(c.area));
        WriteTextFile(machine.path() + "/host.conf", c.host);
        std::string reg = "REGEDIT4\n\n";
        for (const char *key :
             {"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName",
              "SYSTEM\\CurrentControlSet\\control\\ComputerName\\ComputerName"}) {
            reg += std::string("[HKEY_LOCAL_MACHINE\\") + key + "]\n\"ComputerName\"=\"" + c.pc +
                   "\"\n\n";
        }
        reg +=
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon]\n"
            "\"DefaultUserName\"=\"qoruser\"\n\n"
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control]\n\"Current "
            "User\"=\"qoruser\"\n";
        WriteTextFile(dir.file("host.reg"), reg);
        Registry registry(dir.file("host.reg"));
        ChildEnv env = registry.env();
        env[qorsim::kMachineEnv] = machine.path();
        env["QORASST_NAMESPACE"] = UniqueNamespace();
        machine.enableLog();
        machine.clearLog();
        ASSERT_EQ(RunChild({"status"}, env).exit_code, 0);

        std::vector<I2cTransfer> user;
        for (const auto &t : machine.i2cTransfers()) {
            if (t.dev == kUserDevice) user.push_back(t);
        }
        std::vector<int> writes;
        for (const auto &t : user) {
            if (t.dir == 'R') writes.clear();  // what comes before the load is not the refresh's
            if (t.dir == 'W' && t.len == 1 && t.ok) writes.push_back(t.off);
        }
        EXPECT_EQ(writes, c.writes);
        const auto image = machine.device(kUserDevice);
        EXPECT_EQ(UserAreaValidate(image.data()).result, 0);
        uint8_t pos = 0;
        uint8_t stored[256] = {};
        ASSERT_EQ(UserAreaFindStruct(image.data(), 0xFA, 1, stored, &pos), 0);
        EXPECT_EQ(qorsim::Bytes(stored, stored + stored[1]), c.stored);
        EXPECT_EQ(pos, c.at);
    }
}

}  // namespace
