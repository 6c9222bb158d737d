// AssetGetIPConfig's real command path: the Winsock resolver gives the addresses, and the
// netstat of the system folder (tests/support/win32/netstat.cpp, put there by
// scripts/test-windows.sh) prints the routing table that the library reads back from its
// temporary file, which is gone after every call; the one planted beside this program never
// runs.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <winsock.h>
// clang-format on

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "hostid/ip_config.h"
#include "support/machine.h"

namespace {

std::vector<std::string> ResolverAddresses() {
    std::vector<std::string> out;
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) return out;
    char name[255] = {};
    const hostent *host = gethostname(name, sizeof name) == 0 ? gethostbyname(name) : nullptr;
    for (char **entry = host != nullptr ? host->h_addr_list : nullptr;
         entry != nullptr && *entry != nullptr; ++entry)
        out.emplace_back(inet_ntoa(*reinterpret_cast<in_addr *>(*entry)));
    WSACleanup();
    return out;
}

std::set<std::string> TemporaryFiles() {
    std::set<std::string> names;
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((std::string(folder) + "qip*.tmp").c_str(), &found);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &found))
        names.insert(found.cFileName);
    if (find != INVALID_HANDLE_VALUE) FindClose(find);
    return names;
}

TEST(Win32HostId, ReadsTheRoutingTableThatNetstatPrints) {
    const std::vector<std::string> host = ResolverAddresses();
    if (host.empty()) GTEST_SKIP() << "the resolver knows no address of this host";
    ScopedEnv no_machine(qorsim::kMachineEnv, "");
    const std::string a = host[0], network = a.substr(0, a.rfind('.')) + ".0";
    TempDir dir;
    const auto row = [&](const std::string &to, const char *mask, const std::string &via) {
        return "  " + to + "  " + mask + "  " + via + "  " + a + "  1\n";
    };
    WriteTextFile(
        dir.file("table.txt"),
        "=====\nActive Routes:\nNetwork Destination  Netmask  Gateway  Interface  Metric\n" +
            row("0.0.0.0", "0.0.0.0", "10.9.8.1") + row("0.0.0.0", "0.0.0.0", "10.9.8.254") +
            row(network, "255.255.255.0", a) + row("255.255.255.255", "255.255.255.255", a) +
            "Default Gateway:        10.9.8.254\n");
    const struct {
        const char *name, *table, *hang, *first_mask, *gateway;
    } cases[] = {
        {"table", "table.txt", "", "255.255.255.0", "10.9.8.254"},
        {"no output", "none.txt", "", "", nullptr},
        // Stopped after five seconds; what it printed by then still counts.
        {"hangs", "table.txt", "30", "255.255.255.0", "10.9.8.254"},
    };
    const std::set<std::string> before = TemporaryFiles();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnv table("QORASST_NETSTAT_TABLE", dir.file(c.table));
        ScopedEnv hang("QORASST_NETSTAT_HANG", c.hang);
        std::string want = std::to_string(host.size());
        for (size_t i = 0; i < host.size(); ++i)
            want += " " + host[i] + "/" + (i ? "" : c.first_mask);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(IpConfig(AssetGetIPConfig, 50), want + " gw " + (c.gateway ? c.gateway : "-"));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
        EXPECT_EQ(TemporaryFiles(), before);
    }
}

}  // namespace
