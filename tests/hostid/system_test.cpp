// Without a simulated host or a registry file, Linux answers from the system itself: the
// addresses, masks and gateway agree with what `ip` shows, and the computer name with
// `hostname`.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "QORasstW.h"
#include "hostid/ip_config.h"
#include "support/machine.h"

namespace {

std::string Output(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
    if (pipe != nullptr) pclose(pipe);
    return out;
}

TEST(HostSystem, AgreesWithIpAndHostname) {
    if (Output("command -v ip").empty()) GTEST_SKIP() << "no ip command";
    ScopedEnv no_machine(qorsim::kMachineEnv, "");
    ScopedEnv no_registry("QORASST_REGISTRY", "");

    // `ip -4 addr show up`: a device line "N: name: <FLAGS>", then its "inet A/P" lines; the
    // last default route's gateway.
    std::string expected, gateway = "-";
    int count = 0;
    std::istringstream addr(Output("ip -4 addr show up"));
    bool loopback = false;
    for (std::string line; std::getline(addr, line);) {
        std::string first, second, third;
        std::istringstream(line) >> first >> second >> third;
        if (!first.empty() && first.back() == ':') loopback = third.find("LOOPBACK") != third.npos;
        if (first != "inet" || loopback) continue;
        const size_t slash = second.find('/');
        const int prefix = slash == second.npos ? 32 : std::stoi(second.substr(slash + 1));
        const uint32_t mask = prefix == 0 ? 0 : ~0u << (32 - prefix);
        expected += " " + second.substr(0, slash) + "/" + std::to_string(mask >> 24) + "." +
                    std::to_string((mask >> 16) & 0xFF) + "." + std::to_string((mask >> 8) & 0xFF) +
                    "." + std::to_string(mask & 0xFF);
        ++count;
    }
    std::istringstream route(Output("ip -4 route"));
    for (std::string line; std::getline(route, line);) {
        std::string destination, via, address;
        std::istringstream(line) >> destination >> via >> address;
        if (destination == "default" && via == "via") gateway = address;
    }
    EXPECT_EQ(IpConfig(AssetGetIPConfig, 50), std::to_string(count) + expected + " gw " + gateway);

    std::string hostname = Output("hostname");
    if (!hostname.empty() && hostname.back() == '\n') hostname.pop_back();
    char name[64];
    EXPECT_EQ(AssetGetSystemName(name, sizeof name), 1);
    EXPECT_EQ(name, hostname.substr(0, 63));
    EXPECT_EQ(AssetGetLoginName(name, sizeof name), 1);
    EXPECT_NE(name[0], '\0');
}

}  // namespace
