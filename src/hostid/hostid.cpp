// The exported host-identity functions. The names come from the machine registry (on POSIX
// from the system where the registry file does not hold them); the addresses and routes from
// the system, or from a simulated machine that names them.
#include "hostid/hostid.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "QORasstW.h"
#include "hostid/routes.h"
#include "platform/hostinfo.h"
#include "platform/registry.h"
#include "state/state.h"

namespace {

constexpr uint32_t kValueBytes = 512;
constexpr uint32_t kRegExpandSz = 2;
constexpr int kMaxHostAddresses = 256;

struct NameSource {
    const char *nt_key;
    const char *nt_value;
    const char *other_key;
    const char *other_value;
    bool (*system)(char *, size_t);
};

constexpr NameSource kLoginName = {"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                                   "DefaultUserName", "System\\CurrentControlSet\\control",
                                   "Current User", PlatLoginName};
constexpr NameSource kSystemName = {
    "SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName", "ComputerName",
    "SYSTEM\\CurrentControlSet\\control\\ComputerName\\ComputerName", "ComputerName",
    PlatComputerName};

// Copies a name cut to size - 1 characters, the rest of the buffer filled with NULs.
void CopyName(const char *name, char *buffer, int size) {
    const size_t room = static_cast<size_t>(size) - 1;
    size_t length = 0;
    while (length < room && name[length] != '\0') ++length;
    std::memcpy(buffer, name, length);
    std::memset(buffer + length, 0, static_cast<size_t>(size) - length);
}

int ReadName(const NameSource &source, char *buffer, int size) {
    if (buffer == nullptr || size <= 0) return 0;
    buffer[0] = '\0';
    const bool nt = g_state.is_nt != 0;
    PlatKey *key = PlatRegOpen(nt ? source.nt_key : source.other_key);
    if (key == nullptr) {
        char name[kValueBytes];
        if (!source.system(name, sizeof name)) return 0;
        CopyName(name, buffer, size);
        return 1;
    }
    char data[kValueBytes];
    uint32_t length = sizeof data;
    uint32_t type = 0;
    const bool read = PlatRegQueryValue(key, nt ? source.nt_value : source.other_value,
                                        reinterpret_cast<uint8_t *>(data), &length, &type);
    PlatRegClose(key);
    if (!read || (type != kRegSz && type != kRegExpandSz) ||
        std::memchr(data, 0, length) == nullptr) {
        return 0;
    }
    CopyName(data, buffer, size);
    return 1;
}

}  // namespace

bool ReadSimulatedHost(std::vector<uint32_t> *addresses, std::string *routes) {
    char machine[1024];
    if (!PlatGetEnv("QORASST_MACHINE", machine, sizeof machine) || machine[0] == '\0') {
        return false;
    }
    // C streams: the C++ file streams would make the DLL import what NT 4.0 lacks.
    std::FILE *file = std::fopen((std::string(machine) + "/host.conf").c_str(), "rb");
    if (file == nullptr) return false;
    std::string text;
    char chunk[1024];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
    std::fclose(file);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "address") {
            std::string address;
            words >> address;
            const uint32_t value = InetAddr(address.c_str());
            if (value != kInAddrNone) addresses->push_back(value);
        } else if (key == "route") {
            std::string rest;
            std::getline(words, rest);
            *routes += rest + "\n";
        }
    }
    return true;
}

void GatherHostIdentity(HostIdentity *host) {
    std::memset(host, 0, sizeof *host);
    AssetGetSystemName(host->computer_name, kNetworkNameSize);
    AssetGetLoginName(host->login_name, kNetworkNameSize);
    char *addresses[kNetworkCapacity] = {};
    char *masks[kNetworkCapacity] = {};
    char *gateway = nullptr;
    host->count = AssetGetIPConfig(addresses, masks, &gateway, kNetworkCapacity);
    if (gateway != nullptr) host->gateway = InetAddr(gateway);
    for (int i = 0; i < host->count; ++i) {
        host->addresses[i] = InetAddr(addresses[i]);
        host->masks[i] = InetAddr(masks[i]);
        std::free(addresses[i]);
        std::free(masks[i]);
    }
    std::free(gateway);
}

extern "C" {

QORASST_API int QORASST_CALL AssetGetLoginName(char *buffer, int size) {
    return ReadName(kLoginName, buffer, size);
}

QORASST_API int QORASST_CALL AssetGetSystemName(char *buffer, int size) {
    return ReadName(kSystemName, buffer, size);
}

QORASST_API int QORASST_CALL AssetGetIPConfig(char **addresses, char **masks, char **gateway,
                                              int capacity) {
    // Every output is required, except arrays that are to hold no entries.
    if (gateway == nullptr || (capacity > 0 && (addresses == nullptr || masks == nullptr))) {
        return 0;
    }
    *gateway = nullptr;
    const bool want_addresses = capacity > 0;
    std::vector<uint32_t> host;
    std::string table;
    if (!ReadSimulatedHost(&host, &table)) {
        if (want_addresses) {
            uint32_t found[kMaxHostAddresses];
            const int count = PlatHostAddresses(found, kMaxHostAddresses);
            if (count < 0) return 0;
            host.assign(found, found + count);
        }
        if (!PlatRouteTable(&table)) return 0;
    }
    // The rows that decide, wherever they stand in the table, however long it is.
    std::vector<RouteRow> rows(host.size() + 1);
    const int row_count = ParseDecisiveRoutes(table.data(), table.size(), host.data(),
                                              static_cast<int>(host.size()), rows.data());
    return FillIpConfig(host.data(), static_cast<int>(host.size()), rows.data(), row_count,
                        addresses, masks, gateway, capacity);
}

}  // extern "C"
