// The routing-table parser and the mask and gateway rules over arbitrary text.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hostid/routes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static RouteRow rows[kMaxRoutes];
    const char *text = reinterpret_cast<const char *>(data);
    const int count = ParseRouteTable(text, size, rows, kMaxRoutes);
    if (count < 0 || count > kMaxRoutes) std::abort();
    // Every row's interface stands for a host address; the strings handed out are dotted text.
    uint32_t host[4];
    for (int i = 0; i < 4; ++i) host[i] = i < count ? rows[i].interface_addr : 0;
    char *addresses[4] = {}, *masks[4] = {}, *gateway = nullptr;
    const int reported = FillIpConfig(host, 4, rows, count, addresses, masks, &gateway, 3);
    if (reported != 3) std::abort();
    for (int i = 0; i < reported; ++i) {
        if (std::strlen(addresses[i]) > 15 || std::strlen(masks[i]) > 15) std::abort();
        std::free(addresses[i]);
        std::free(masks[i]);
    }
    std::free(gateway);
    // The rows kept as deciding give the answers of the whole table.
    RouteRow decisive[5];
    const int kept = ParseDecisiveRoutes(text, size, host, 4, decisive);
    uint32_t a = 0, b = 0;
    if (count < kMaxRoutes &&
        (SelectGateway(rows, count, &a) != SelectGateway(decisive, kept, &b) || a != b)) {
        std::abort();
    }
    for (int i = 0; i < 4 && count < kMaxRoutes; ++i) {
        a = b = 0;
        if (SelectMask(rows, count, host[i], &a) != SelectMask(decisive, kept, host[i], &b) ||
            a != b) {
            std::abort();
        }
    }
    // inet_addr of a dotted text gives the value back.
    char dotted[16];
    for (int i = 0; i < count; ++i) {
        InetNtoa(rows[i].netmask, dotted);
        if (rows[i].netmask != kInAddrNone && InetAddr(dotted) != rows[i].netmask) std::abort();
    }
    return 0;
}
