// AssetGetIPConfig's answers in one line, for the host tests of every platform.
#pragma once

#include <cstdlib>
#include <string>

// One call's answer as "count address/mask ... gw gateway", every string released.
template <typename Call>
std::string IpConfig(Call call, int capacity) {
    char *addresses[50] = {}, *masks[50] = {}, *gateway = nullptr;
    const int count = call(addresses, masks, &gateway, capacity);
    std::string out = std::to_string(count);
    for (int i = 0; i < count && addresses[i] != nullptr; ++i) {
        out += std::string(" ") + addresses[i] + "/" + masks[i];
        std::free(addresses[i]);
        std::free(masks[i]);
    }
    out += std::string(" gw ") + (gateway != nullptr ? gateway : "-");
    std::free(gateway);
    return out;
}
