// Without a simulated host or a registry file, Linux answers from the system itself: the
// addresses, masks and gateway agree with what `ip` shows, and the computer name with
// `hostname`.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "hostid/routes.h"
#include "support/machine.h"

namespace {

std::string Output(const std::string &command) {
    std::string out;
    if (FILE *pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
        pclose(pipe);
    }
    return out;
}

std::string PrefixMask(int prefix) {
    const uint32_t bits = prefix == 0 ? 0 : ~0u << (32 - prefix);
    return std::to_string(bits >> 24) + "." + std::to_string((bits >> 16) & 0xFF) + "." +
           std::to_string((bits >> 8) & 0xFF) + "." + std::to_string(bits & 0xFF);
}

TEST(HostSystem, AgreesWithIpAndHostname) {
    if (Output("command -v ip").empty()) GTEST_SKIP() << "no ip command";
    ScopedEnv no_machine(qorsim::kMachineEnv, "");
    ScopedEnv no_registry("QORASST_REGISTRY", "");

    // `ip -4 addr show up`: a device line "N: name: <FLAGS>", then its "inet A/P" lines.
    std::vector<std::string> addresses, masks;
    std::istringstream addr(Output("ip -4 addr show up"));
    bool loopback = false;
    for (std::string line; std::getline(addr, line);) {
        std::istringstream words(line);
        std::string first, second, third;
        words >> first >> second >> third;
        if (!first.empty() && first.back() == ':') loopback = third.find("LOOPBACK") != third.npos;
        if (first != "inet" || loopback) continue;
        const size_t slash = second.find('/');
        addresses.push_back(second.substr(0, slash));
        masks.push_back(
            PrefixMask(slash == second.npos ? 32 : std::stoi(second.substr(slash + 1))));
    }
    std::string gateway = "(none)";
    std::istringstream route(Output("ip -4 route"));
    for (std::string line; std::getline(route, line);) {
        std::istringstream words(line);
        std::string destination, via, address;
        words >> destination >> via >> address;
        if (destination == "default" && via == "via") gateway = address;  // the last one
    }

    char *got_addresses[50] = {}, *got_masks[50] = {}, *got_gateway = nullptr;
    const int count = AssetGetIPConfig(got_addresses, got_masks, &got_gateway, 50);
    ASSERT_EQ(count, static_cast<int>(addresses.size()));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(got_addresses[i], addresses[static_cast<size_t>(i)]);
        EXPECT_EQ(got_masks[i], masks[static_cast<size_t>(i)]) << got_addresses[i];
        std::free(got_addresses[i]);
        std::free(got_masks[i]);
    }
    EXPECT_EQ(got_gateway != nullptr ? got_gateway : "(none)", gateway);
    std::free(got_gateway);

    std::string hostname = Output("hostname");
    if (!hostname.empty() && hostname.back() == '\n') hostname.pop_back();
    char name[64];
    EXPECT_EQ(AssetGetSystemName(name, sizeof name), 1);
    EXPECT_EQ(name, hostname.substr(0, 63));
    EXPECT_EQ(AssetGetLoginName(name, sizeof name), 1);
    EXPECT_NE(name[0], '\0');
}

}  // namespace
