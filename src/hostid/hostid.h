// Host identity: the login and computer names and the IP configuration.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The host a simulated machine names (file host.conf in the machine's directory): its
// addresses and its routing-table rows as text. False when no simulated machine names one;
// the system answers then.
bool ReadSimulatedHost(std::vector<uint32_t> *addresses, std::string *routes);
