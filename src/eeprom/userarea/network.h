// The "Network" structure of the user area: how the host identity it records (gathered by
// src/hostid/) is built to fit, when a stored one is out of date, and the start-up refresh.
#pragma once

#include <cstdint>

#include "hostid/hostid.h"

constexpr uint8_t kNetworkType = 0xFA;
constexpr int kNetworkMaxSize = 231;  // the largest structure a lookup hands back
constexpr int kNetworkBufferSize = 256;

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
// host's names and IP configuration, gathered beforehand (they take a child process and the
// network stack, which never run with the EEPROM mutex held), and stores it when the stored
// one differs. 3 when the version is not 1, else 0 whatever the store gave.
int UserAreaRefreshNetwork(uint8_t version, uint8_t *cache, const HostIdentity &host);
