#include "eeprom/userarea/network.h"

#include <cstring>

#include "eeprom/userarea/userarea.h"

namespace {

constexpr int kFixedPart = 7;
constexpr int kPairSize = 8;

size_t NameLength(const char *name) {
    size_t length = 0;
    while (length < kNetworkNameSize - 1 && name[length] != '\0') ++length;
    return length;
}

// The string at pos of a structure of size bytes, with its length; false when it is not
// terminated inside the structure.
bool StringAt(const uint8_t *structure, int size, int pos, const char **text, size_t *length) {
    if (pos >= size) return false;
    const void *end = std::memchr(structure + pos, 0, static_cast<size_t>(size - pos));
    if (end == nullptr) return false;
    *text = reinterpret_cast<const char *>(structure + pos);
    *length = static_cast<size_t>(static_cast<const uint8_t *>(end) - (structure + pos));
    return true;
}

bool SameString(const uint8_t *stored, int stored_pos, const uint8_t *built, int built_pos,
                int *stored_next, int *built_next) {
    const char *a = nullptr, *b = nullptr;
    size_t la = 0, lb = 0;
    if (!StringAt(stored, stored[1], stored_pos, &a, &la)) return false;
    StringAt(built, built[1], built_pos, &b, &lb);
    *stored_next = stored_pos + static_cast<int>(la) + 1;
    *built_next = built_pos + static_cast<int>(lb) + 1;
    return la == lb && std::memcmp(a, b, la) == 0;
}

}  // namespace

int BuildNetworkStruct(const HostIdentity &host, int room, uint8_t *out) {
    const size_t computer = NameLength(host.computer_name);
    const size_t login = NameLength(host.login_name);
    const int names = static_cast<int>(computer + login) + 2;
    const int limit = room < kNetworkMaxSize ? room : kNetworkMaxSize;
    int count =
        host.count < 0 ? 0 : (host.count > kNetworkCapacity ? kNetworkCapacity : host.count);
    while (count > 0 && kFixedPart + kPairSize * count + names > limit) --count;

    std::memset(out, 0, kNetworkBufferSize);
    out[0] = kNetworkType;
    out[1] = static_cast<uint8_t>(kFixedPart + kPairSize * count + names);
    out[2] = static_cast<uint8_t>(count);
    std::memcpy(out + 3, &host.gateway, 4);
    for (int i = 0; i < count; ++i) {
        std::memcpy(out + kFixedPart + 4 * i, &host.addresses[i], 4);
        std::memcpy(out + kFixedPart + 4 * (count + i), &host.masks[i], 4);
    }
    uint8_t *p = out + kFixedPart + kPairSize * count;
    std::memcpy(p, host.computer_name, computer);
    p += computer + 1;
    std::memcpy(p, host.login_name, login);
    return out[1];
}

NetworkStale CheckNetworkStruct(const uint8_t *stored, const uint8_t *built) {
    if (stored == nullptr) return NetworkStale::kMissing;
    if (stored[2] != built[2]) return NetworkStale::kCount;
    // A structure stored by an application may be shorter than its fields say: what lies
    // beyond its size is not part of it and never matches.
    const int size = stored[1];
    if (size < kFixedPart || std::memcmp(stored + 3, built + 3, 4) != 0) {
        return NetworkStale::kGateway;
    }
    const int strings = kFixedPart + kPairSize * built[2];
    int stored_next = 0, built_next = 0;
    if (!SameString(stored, strings, built, strings, &stored_next, &built_next)) {
        return NetworkStale::kComputerName;
    }
    if (!SameString(stored, stored_next, built, built_next, &stored_next, &built_next)) {
        return NetworkStale::kLoginName;
    }
    for (int i = 0; i < built[2]; ++i) {
        if (std::memcmp(stored + kFixedPart + 4 * i, built + kFixedPart + 4 * i, 4) != 0 ||
            std::memcmp(stored + kFixedPart + 4 * (built[2] + i),
                        built + kFixedPart + 4 * (built[2] + i), 4) != 0) {
            return NetworkStale::kAddresses;
        }
    }
    return NetworkStale::kCurrent;
}

int UserAreaRefreshNetwork(uint8_t version, uint8_t *cache, const HostIdentity &host) {
    if (version != kUserVersion) return 3;
    uint8_t stored[kNetworkBufferSize] = {};
    const bool found = UserAreaFindStruct(cache, kNetworkType, version, stored, nullptr) == 0;
    // The store may use the free space and the room of the structure it replaces.
    const int room = kUserAreaSize - cache[kUserOffsetUsed] + (found ? stored[1] : 0);
    uint8_t built[kNetworkBufferSize];
    BuildNetworkStruct(host, room, built);
    if (CheckNetworkStruct(found ? stored : nullptr, built) != NetworkStale::kCurrent) {
        UserAreaPutStruct(kUserDevice, version, cache, built);
    }
    return 0;
}
