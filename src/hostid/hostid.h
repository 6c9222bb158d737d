// Host identity: the login and computer names and the IP configuration.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int kNetworkNameSize = 64;  // each name, terminator included
constexpr int kNetworkCapacity = 50;  // addresses asked for

// What the user area's "Network" structure records about the host.
struct HostIdentity {
    char computer_name[kNetworkNameSize];
    char login_name[kNetworkNameSize];
    int count;  // addresses (0 to kNetworkCapacity)
    uint32_t addresses[kNetworkCapacity];
    uint32_t masks[kNetworkCapacity];
    uint32_t gateway;  // 0 when there is no default route
};

// Reads the names and the IP configuration through the exports (failures leave empty names
// and no addresses); every string handed out is released. May run a child process and the
// network stack: never inside the loader's lock, never with the EEPROM mutex held.
void GatherHostIdentity(HostIdentity *host);

// The host a simulated machine names (file host.conf in the machine's directory): its
// addresses and its routing-table rows as text. False when no simulated machine names one;
// the system answers then.
bool ReadSimulatedHost(std::vector<uint32_t> *addresses, std::string *routes);
