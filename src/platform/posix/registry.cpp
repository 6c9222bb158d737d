#include "platform/registry.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

#include "platform/posix/regfile.h"

struct PlatKey {
    RegFileKey key;
};

PlatKey *PlatRegOpen(const char *path) {
    const char *file = std::getenv("QORASST_REGISTRY");
    if (file == nullptr || file[0] == '\0') return nullptr;
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    std::stringstream text;
    text << in.rdbuf();
    std::vector<RegFileKey> keys = ParseRegFile(text.str());
    const RegFileKey *found = FindRegKey(keys, "HKEY_LOCAL_MACHINE", path);
    if (found == nullptr) return nullptr;
    return new (std::nothrow) PlatKey{*found};
}

namespace {
bool CopyData(const RegFileValue &value, uint8_t *data, uint32_t *data_size, uint32_t *type) {
    if (value.data.size() > *data_size) return false;
    if (!value.data.empty()) std::memcpy(data, value.data.data(), value.data.size());
    *data_size = static_cast<uint32_t>(value.data.size());
    if (type != nullptr) *type = value.type;
    return true;
}
}  // namespace

bool PlatRegEnumValue(PlatKey *key, uint32_t index, char *name, uint32_t name_size, uint8_t *data,
                      uint32_t *data_size, uint32_t *type) {
    if (key == nullptr || index >= key->key.values.size()) return false;
    const RegFileValue &value = key->key.values[index];
    if (value.name.size() + 1 > name_size) return false;
    if (!CopyData(value, data, data_size, type)) return false;
    std::memcpy(name, value.name.c_str(), value.name.size() + 1);
    return true;
}

bool PlatRegQueryValue(PlatKey *key, const char *name, uint8_t *data, uint32_t *data_size,
                       uint32_t *type) {
    if (key == nullptr) return false;
    for (const auto &value : key->key.values) {
        if (strcasecmp(value.name.c_str(), name) == 0) {
            return CopyData(value, data, data_size, type);
        }
    }
    return false;
}

void PlatRegClose(PlatKey *key) {
    delete key;
}
