// Read-only access to HKEY_LOCAL_MACHINE. On POSIX the machine registry is a REGEDIT4 file
// named by QORASST_REGISTRY (no variable: no keys); values enumerate in file order.
#pragma once

#include <cstdint>

struct PlatKey;

enum : uint32_t { kRegSz = 1, kRegBinary = 3, kRegDword = 4 };

// Opens a key below HKEY_LOCAL_MACHINE ("SYSTEM\\CurrentControlSet\\..."); nullptr if absent.
PlatKey *PlatRegOpen(const char *path);
// Value number index, as RegEnumValueA: name receives a zero-terminated name of at most
// name_size - 1 characters, data at most *data_size bytes (*data_size is set to the length).
// False when there is no such value or a buffer is too small for it.
bool PlatRegEnumValue(PlatKey *key, uint32_t index, char *name, uint32_t name_size, uint8_t *data,
                      uint32_t *data_size, uint32_t *type);
// One value by name, as RegQueryValueExA; false when absent or data does not fit.
bool PlatRegQueryValue(PlatKey *key, const char *name, uint8_t *data, uint32_t *data_size,
                       uint32_t *type);
void PlatRegClose(PlatKey *key);
