// The host's own answers about its names and network: what the system says where no registry
// value and no simulated machine names them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The host's IPv4 addresses in network byte order, in the system's order, at most capacity of
// them: Windows asks the resolver for the host's own name; POSIX lists the addresses of the
// interfaces that are up, loopback excluded. -1 when the system cannot tell.
int PlatHostAddresses(uint32_t *addresses, int capacity);

// The routing table as text whose rows start with the columns destination, netmask, gateway
// and interface (dotted), other lines being headings: Windows runs "netstat -r"; POSIX writes
// the kernel's table, each row's interface being its device's address, and after it the
// on-link row of each address. False when it cannot be had.
bool PlatRouteTable(std::string *text);

// The computer name and the session's login name where the registry does not hold them
// (POSIX: the kernel's host name; the login name, else the password database's name of the
// real user). Zero-terminated, cut to fit size. False where there is no such source (Windows).
bool PlatComputerName(char *out, size_t size);
bool PlatLoginName(char *out, size_t size);

// An environment variable's value, or false when it is unset or does not fit.
bool PlatGetEnv(const char *name, char *out, size_t size);
