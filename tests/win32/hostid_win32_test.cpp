// AssetGetIPConfig's real command path: the Winsock resolver gives the addresses, and the
// "netstat" beside this program (tests/support/win32/netstat.cpp) prints the routing table
// that the library reads back from its temporary file, which is gone after every call.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <winsock.h>
// clang-format on

#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "support/child.h"
#include "support/machine.h"

namespace {

std::vector<std::string> ResolverAddresses() {
    std::vector<std::string> out;
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return out;
    char name[255] = {};
    if (gethostname(name, sizeof name) == 0) {
        if (const hostent *host = gethostbyname(name)) {
            for (char **entry = host->h_addr_list; *entry != nullptr; ++entry) {
                out.emplace_back(inet_ntoa(*reinterpret_cast<in_addr *>(*entry)));
            }
        }
    }
    WSACleanup();
    return out;
}

std::set<std::string> TemporaryFiles() {
    std::set<std::string> names;
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((std::string(folder) + "qip*.tmp").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        names.insert(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    return names;
}

TEST(Win32HostId, ReadsTheRoutingTableThatNetstatPrints) {
    const std::vector<std::string> host = ResolverAddresses();
    if (host.empty()) GTEST_SKIP() << "the resolver knows no address of this host";
    ScopedEnv no_machine(qorsim::kMachineEnv, "");
    const std::string address = host[0];
    const std::string network = address.substr(0, address.rfind('.')) + ".0";
    TempDir dir;
    WriteTextFile(dir.file("table.txt"),
                  "===========================================================================\n"
                  "Active Routes:\n"
                  "Network Destination        Netmask          Gateway       Interface  Metric\n"
                  "          0.0.0.0          0.0.0.0         10.9.8.1  " +
                      address +
                      "  1\n"
                      "          0.0.0.0          0.0.0.0       10.9.8.254  " +
                      address +
                      "  1\n"
                      "  " +
                      network + "    255.255.255.0  " + address + "  " + address +
                      "  1\n"
                      "  255.255.255.255  255.255.255.255  " +
                      address + "  " + address +
                      "  1\n"
                      "Default Gateway:        10.9.8.254\n");
    WriteTextFile(dir.file("empty.txt"), "");
    struct Case {
        const char *name;
        std::string table;
        const char *hang;
        std::string first_mask;
        const char *gateway;
    };
    const Case cases[] = {
        {"table", dir.file("table.txt"), "", "255.255.255.0", "10.9.8.254"},
        {"no output", dir.file("empty.txt"), "", "", nullptr},
        // Stopped after five seconds; what it printed by then still counts.
        {"hangs", dir.file("table.txt"), "30", "255.255.255.0", "10.9.8.254"},
    };
    const std::set<std::string> before = TemporaryFiles();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv table("QORASST_NETSTAT_TABLE", c.table);
        ScopedEnv hang("QORASST_NETSTAT_HANG", c.hang);
        char *addresses[50] = {}, *masks[50] = {}, *gateway = nullptr;
        const auto start = std::chrono::steady_clock::now();
        const int count = AssetGetIPConfig(addresses, masks, &gateway, 50);
        const auto took = std::chrono::steady_clock::now() - start;
        ASSERT_EQ(count, static_cast<int>(host.size()));
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(addresses[i], host[static_cast<size_t>(i)]);
            EXPECT_EQ(masks[i], i == 0 ? c.first_mask : std::string());
            std::free(addresses[i]);
            std::free(masks[i]);
        }
        EXPECT_STREQ(gateway, c.gateway);
        std::free(gateway);
        EXPECT_LT(took, std::chrono::seconds(15));
        EXPECT_EQ(TemporaryFiles(), before);
    }
}

}  // namespace
