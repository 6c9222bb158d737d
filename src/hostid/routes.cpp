#include "hostid/routes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The C locale's classes, whatever locale the caller has set.
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char *SkipSpaces(const char *p) {
    while (*p != '\0' && IsSpace(*p)) ++p;
    return p;
}
const char *SkipNonSpaces(const char *p) {
    while (*p != '\0' && !IsSpace(*p)) ++p;
    return p;
}

uint32_t FromBytes(uint32_t host_order) {
    const uint8_t bytes[4] = {
        static_cast<uint8_t>(host_order >> 24), static_cast<uint8_t>(host_order >> 16),
        static_cast<uint8_t>(host_order >> 8), static_cast<uint8_t>(host_order)};
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Calls take(row) for each row of a routing table's text, in order, while it answers true.
template <typename Take>
void ForEachRouteRow(const char *text, size_t length, Take take) {
    size_t at = 0;
    while (at < length) {
        // One read of a 255-byte line buffer: up to the newline, at most 254 characters.
        char line[255];
        size_t n = 0;
        while (at < length && n < sizeof line - 1) {
            const char c = text[at++];
            line[n++] = c;
            if (c == '\n') break;
        }
        line[n] = '\0';
        const char *p = SkipSpaces(line);
        if (!IsDigit(*p)) continue;
        RouteRow row{};
        row.destination = InetAddr(p);
        if (row.destination == kInAddrNone) continue;
        uint32_t *columns[3] = {&row.netmask, &row.gateway, &row.interface_addr};
        for (uint32_t *column : columns) {
            p = SkipSpaces(SkipNonSpaces(p));
            *column = InetAddr(p);
        }
        if (!take(row)) return;
    }
}

// A row that may give the address its mask.
bool OnLink(const RouteRow &row, uint32_t address) {
    return row.interface_addr == address && row.destination != 0 &&
           (row.interface_addr & row.netmask) == row.destination;
}

char *DupText(const char *text) {
    const size_t length = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(length));
    if (copy != nullptr) std::memcpy(copy, text, length);
    return copy;
}

}  // namespace

uint32_t InetAddr(const char *text) {
    if (*text == '\0') return 0;
    uint32_t parts[4] = {0, 0, 0, 0};
    int count = 0;
    const char *p = text;
    for (;;) {
        if (!IsDigit(*p)) return kInAddrNone;
        uint64_t value = 0;
        uint32_t base = 10;
        if (*p == '0') {
            base = 8;
            ++p;
            if (*p == 'x' || *p == 'X') {
                base = 16;
                ++p;
            }
        }
        for (;; ++p) {
            const int digit = base == 16 ? HexValue(*p) : (IsDigit(*p) ? *p - '0' : -1);
            if (digit < 0) break;
            if (base == 8 && digit > 7) return kInAddrNone;
            value = value * base + static_cast<uint32_t>(digit);
            if (value > 0xFFFFFFFFu) return kInAddrNone;
        }
        parts[count++] = static_cast<uint32_t>(value);
        if (*p != '.') break;
        if (count == 4 || value > 0xFF) return kInAddrNone;
        ++p;
    }
    if (*p != '\0' && !IsSpace(*p)) return kInAddrNone;
    // The last part fills the bytes the earlier parts leave: a, a.b (8.24), a.b.c (8.8.16).
    static constexpr uint32_t kLastMax[4] = {0xFFFFFFFFu, 0xFFFFFFu, 0xFFFFu, 0xFFu};
    uint32_t value = parts[count - 1];
    if (value > kLastMax[count - 1]) return kInAddrNone;
    for (int i = 0; i < count - 1; ++i) value |= parts[i] << (24 - 8 * i);
    return FromBytes(value);
}

void InetNtoa(uint32_t address, char *out) {
    uint8_t b[4];
    std::memcpy(b, &address, sizeof b);
    std::snprintf(out, 16, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

int ParseRouteTable(const char *text, size_t length, RouteRow *rows, int max) {
    int count = 0;
    if (max <= 0) return 0;
    ForEachRouteRow(text, length, [&](const RouteRow &row) {
        rows[count++] = row;
        return count < max;
    });
    return count;
}

int ParseDecisiveRoutes(const char *text, size_t length, const uint32_t *addresses,
                        int address_count, RouteRow *rows) {
    int count = 0;
    RouteRow last_default{};
    bool has_default = false;
    std::vector<bool> given(static_cast<size_t>(address_count > 0 ? address_count : 0));
    ForEachRouteRow(text, length, [&](const RouteRow &row) {
        if (row.destination == 0 && row.netmask == 0) {
            last_default = row;
            has_default = true;
            return true;
        }
        // The first entry of the address (a repeated address is answered alike).
        int i = 0;
        while (i < address_count && addresses[i] != row.interface_addr) ++i;
        if (i < address_count && !given[static_cast<size_t>(i)] && OnLink(row, addresses[i])) {
            given[static_cast<size_t>(i)] = true;
            rows[count++] = row;
        }
        return true;
    });
    if (has_default) rows[count++] = last_default;
    return count;
}

bool SelectGateway(const RouteRow *rows, int count, uint32_t *gateway) {
    bool found = false;
    for (int i = 0; i < count; ++i) {
        if (rows[i].destination == 0 && rows[i].netmask == 0) {
            *gateway = rows[i].gateway;
            found = true;
        }
    }
    return found;
}

bool SelectMask(const RouteRow *rows, int count, uint32_t address, uint32_t *mask) {
    for (int i = 0; i < count; ++i) {
        if (OnLink(rows[i], address)) {
            *mask = rows[i].netmask;
            return true;
        }
    }
    return false;
}

int FillIpConfig(const uint32_t *host_addresses, int host_count, const RouteRow *rows,
                 int row_count, char **addresses, char **masks, char **gateway, int capacity) {
    char text[16];
    if (gateway != nullptr) {
        *gateway = nullptr;
        uint32_t value = 0;
        if (SelectGateway(rows, row_count, &value)) {
            InetNtoa(value, text);
            *gateway = DupText(text);
            if (*gateway == nullptr) return 0;
        }
    }
    if (capacity <= 0 || addresses == nullptr || masks == nullptr) return 0;
    const int count = host_count < capacity ? host_count : capacity;
    for (int i = 0; i < count; ++i) {
        InetNtoa(host_addresses[i], text);
        addresses[i] = DupText(text);
        uint32_t mask = 0;
        if (SelectMask(rows, row_count, host_addresses[i], &mask)) {
            InetNtoa(mask, text);
        } else {
            text[0] = '\0';
        }
        masks[i] = DupText(text);
        if (addresses[i] == nullptr || masks[i] == nullptr) {
            // Out of memory: hand out nothing at all.
            for (int j = 0; j <= i; ++j) {
                std::free(addresses[j]);
                std::free(masks[j]);
            }
            if (gateway != nullptr) {
                std::free(*gateway);
                *gateway = nullptr;
            }
            return 0;
        }
    }
    return count;
}
