// The "Network" structure of the user area: the host identity it records, how it is built to
// fit, and when a stored one is out of date.
#pragma once

#include <cstdint>

constexpr uint8_t kNetworkType = 0xFA;
constexpr int kNetworkNameSize = 64;  // each name, terminator included
constexpr int kNetworkCapacity = 50;  // addresses asked for
constexpr int kNetworkMaxSize = 231;  // the largest structure a lookup hands back
constexpr int kNetworkBufferSize = 256;

struct HostIdentity {
    char computer_name[kNetworkNameSize];
    char login_name[kNetworkNameSize];
    int count;  // addresses (0 to kNetworkCapacity)
    uint32_t addresses[kNetworkCapacity];
    uint32_t masks[kNetworkCapacity];
    uint32_t gateway;  // 0 when there is no default route
};

// Reads the names and the IP configuration through the exports (failures leave empty names
// and no addresses); every string handed out is released.
void GatherHostIdentity(HostIdentity *host);

// Builds the structure into out (kNetworkBufferSize bytes): as many address pairs as fit into
// room bytes (and into kNetworkMaxSize), names cut to 63 characters. Answers its size, which
// exceeds room only when the names alone do not fit.
int BuildNetworkStruct(const HostIdentity &host, int room, uint8_t *out);

// Why a stored structure differs from the one built, by the first test that fails in this
// order; stored is null when the lookup found none.
enum class NetworkStale {
    kCurrent,
    kMissing,
    kCount,
    kGateway,
    kComputerName,
    kLoginName,
    kAddresses,
};
NetworkStale CheckNetworkStruct(const uint8_t *stored, const uint8_t *built);

// The start-up refresh: rebuilds the "Network" structure in the loaded area (cache) from the
// host's names and IP configuration and stores it when the stored one differs. 3 when the
// version is not 1, else 0 whatever the store gave.
int UserAreaRefreshNetwork(uint8_t version, uint8_t *cache);
