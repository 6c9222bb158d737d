#include "platform/hostinfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/activity.h"

namespace {

void CopyCut(const char *text, char *out, size_t size) {
    if (size == 0) return;
    std::snprintf(out, size, "%s", text);
}

bool Ipv4Of(const ifaddrs *ifa, uint32_t *address, uint32_t *mask) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) return false;
    sockaddr_in in{};
    std::memcpy(&in, ifa->ifa_addr, sizeof in);
    *address = in.sin_addr.s_addr;
    *mask = 0;
    if (ifa->ifa_netmask != nullptr && ifa->ifa_netmask->sa_family == AF_INET) {
        std::memcpy(&in, ifa->ifa_netmask, sizeof in);
        *mask = in.sin_addr.s_addr;
    }
    return true;
}

bool Listed(const ifaddrs *ifa) {
    return (ifa->ifa_flags & IFF_UP) != 0 && (ifa->ifa_flags & IFF_LOOPBACK) == 0;
}

std::string Dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr in{};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

// The first IPv4 address of a device, 0 when it has none.
uint32_t DeviceAddress(const ifaddrs *list, const std::string &device) {
    for (const ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        uint32_t address = 0, mask = 0;
        if (device == ifa->ifa_name && Ipv4Of(ifa, &address, &mask)) return address;
    }
    return 0;
}

}  // namespace

int PlatHostAddresses(uint32_t *addresses, int capacity) {
    PlatNoteActivity(PlatActivity::kHostAddresses);
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return -1;
    int count = 0;
    for (const ifaddrs *ifa = list; ifa != nullptr && count < capacity; ifa = ifa->ifa_next) {
        uint32_t address = 0, mask = 0;
        if (Listed(ifa) && Ipv4Of(ifa, &address, &mask)) addresses[count++] = address;
    }
    freeifaddrs(list);
    return count;
}

bool PlatRouteTable(std::string *text) {
    PlatNoteActivity(PlatActivity::kRouteTable);
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    text->clear();
    // The kernel's table: Iface Destination Gateway Flags RefCnt Use Metric Mask ..., the
    // addresses in hexadecimal as the kernel holds them (network byte order).
    std::ifstream in("/proc/net/route");
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream columns(line);
        std::string device, flags, refcnt, use, metric;
        unsigned long destination = 0, gateway = 0, mask = 0;
        columns >> device >> std::hex >> destination >> gateway >> flags >> refcnt >> use >>
            metric >> mask;
        if (!columns) continue;
        *text += Dotted(static_cast<uint32_t>(destination)) + " " +
                 Dotted(static_cast<uint32_t>(mask)) + " " +
                 Dotted(static_cast<uint32_t>(gateway)) + " " +
                 Dotted(DeviceAddress(list, device)) + "\n";
    }
    // Every address's own network, also where the kernel lists it under another address of
    // the same device.
    for (const ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        uint32_t address = 0, mask = 0;
        if (!Listed(ifa) || !Ipv4Of(ifa, &address, &mask)) continue;
        *text += Dotted(address & mask) + " " + Dotted(mask) + " 0.0.0.0 " + Dotted(address) + "\n";
    }
    freeifaddrs(list);
    return true;
}

bool PlatComputerName(char *out, size_t size) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    CopyCut(name, out, size);
    return true;
}

bool PlatLoginName(char *out, size_t size) {
    char name[256] = {};
    if (getlogin_r(name, sizeof name) == 0 && name[0] != '\0') {
        CopyCut(name, out, size);
        return true;
    }
    passwd entry{};
    passwd *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return false;
    }
    CopyCut(found->pw_name, out, size);
    return true;
}

bool PlatGetEnv(const char *name, char *out, size_t size) {
    const char *value = std::getenv(name);
    if (value == nullptr || std::strlen(value) >= size) return false;
    std::memcpy(out, value, std::strlen(value) + 1);
    return true;
}
