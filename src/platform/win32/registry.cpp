// The machine registry itself: HKEY_LOCAL_MACHINE, read-only.
#include "platform/registry.h"

#include <windows.h>

namespace {
HKEY AsKey(PlatKey *key) {
    return reinterpret_cast<HKEY>(key);
}
}  // namespace

PlatKey *PlatRegOpen(const char *path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return reinterpret_cast<PlatKey *>(key);
}

bool PlatRegEnumValue(PlatKey *key, uint32_t index, char *name, uint32_t name_size, uint8_t *data,
                      uint32_t *data_size, uint32_t *type) {
    if (key == nullptr) return false;
    DWORD name_length = name_size;
    DWORD data_length = *data_size;
    DWORD value_type = 0;
    // ERROR_NO_MORE_ITEMS ends the list; ERROR_MORE_DATA means a buffer is too small.
    if (RegEnumValueA(AsKey(key), index, name, &name_length, nullptr, &value_type, data,
                      &data_length) != ERROR_SUCCESS) {
        return false;
    }
    *data_size = data_length;
    if (type != nullptr) *type = value_type;
    return true;
}

bool PlatRegQueryValue(PlatKey *key, const char *name, uint8_t *data, uint32_t *data_size,
                       uint32_t *type) {
    if (key == nullptr) return false;
    DWORD data_length = *data_size;
    DWORD value_type = 0;
    if (RegQueryValueExA(AsKey(key), name, nullptr, &value_type, data, &data_length) !=
        ERROR_SUCCESS) {
        return false;
    }
    *data_size = data_length;
    if (type != nullptr) *type = value_type;
    return true;
}

void PlatRegClose(PlatKey *key) {
    if (key != nullptr) RegCloseKey(AsKey(key));
}
