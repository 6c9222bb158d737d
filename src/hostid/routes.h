// The host's IP configuration in pure form: dotted-address conversion, the routing-table text
// parser and the rules that pick each address's mask and the default gateway. No system calls,
// so the same code serves every platform and can be fuzzed.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kMaxRoutes = 256;
constexpr uint32_t kInAddrNone = 0xFFFFFFFFu;

// One routing-table row, each value in network byte order.
struct RouteRow {
    uint32_t destination;
    uint32_t netmask;
    uint32_t gateway;
    uint32_t interface_addr;
};

// A dotted address as the resolver's inet_addr reads it: one to four parts, each decimal, octal
// (leading 0) or hexadecimal (0x), ending at the NUL or at white space. kInAddrNone when the
// text is no address (so 255.255.255.255 reads as a failure too); the empty text gives 0.
uint32_t InetAddr(const char *text);
// Dotted-decimal text of an address; out holds at least 16 bytes.
void InetNtoa(uint32_t address, char *out);

// Parses the text of a routing table ("netstat -r" output or the same columns from another
// source): lines of at most 254 characters (longer ones are read in pieces, as a 255-byte line
// buffer does); a line is a row when, after blanks, it starts with a digit and that column is
// an address; then the next three columns are its netmask, gateway and interface. Stores at
// most max rows; answers how many.
int ParseRouteTable(const char *text, size_t length, RouteRow *rows, int max);

// Reads every row of such a text but keeps only those that decide an answer for the host's
// addresses: each address's first row that may give its mask (SelectMask), then the last
// default row (SelectGateway). So no table is too long for its answers, and the answers are
// those of the whole table. rows holds address_count + 1 entries; answers how many were kept.
int ParseDecisiveRoutes(const char *text, size_t length, const uint32_t *addresses,
                        int address_count, RouteRow *rows);

// The gateway of the last row whose destination and netmask are both 0; false when none.
bool SelectGateway(const RouteRow *rows, int count, uint32_t *gateway);
// The netmask of the first row whose interface is the address, whose destination is not 0 and
// equals the interface ANDed with the netmask; false when none.
bool SelectMask(const RouteRow *rows, int count, uint32_t address, uint32_t *mask);

// The outputs of AssetGetIPConfig from the host's addresses and its routing table: up to
// capacity address and mask strings (the mask "" where none is known) and the gateway string,
// each from malloc for the caller to free. The gateway is set (to null, or the string) whenever
// gateway is not null; with capacity 0 or less, or null arrays, no other output is written and
// the answer is 0. Answers the number of addresses reported, or 0 when memory runs out (then
// nothing is left allocated and the gateway is null).
int FillIpConfig(const uint32_t *host_addresses, int host_count, const RouteRow *rows,
                 int row_count, char **addresses, char **masks, char **gateway, int capacity);
