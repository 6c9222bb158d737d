// REGEDIT4 files: the text form in which the machine registry is given on POSIX, and the
// same files the Windows tests import into the real registry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RegFileValue {
    std::string name;  // "" for the default value "@"
    uint32_t type;     // 1 REG_SZ, 3 REG_BINARY, 4 REG_DWORD, n for hex(n)
    std::vector<uint8_t> data;
};

struct RegFileKey {
    std::string path;                  // below the hive, e.g. "SYSTEM\CurrentControlSet\Services"
    std::string hive;                  // "HKEY_LOCAL_MACHINE", ...
    std::vector<RegFileValue> values;  // in file order
};

// Parses the text of a REGEDIT4 file. Lines that cannot be read are passed over, as regedit
// does; a key listed twice gathers the values of both sections.
std::vector<RegFileKey> ParseRegFile(const std::string &text);

// The key of that hive whose path equals path without regard to case, or nullptr.
const RegFileKey *FindRegKey(const std::vector<RegFileKey> &keys, const std::string &hive,
                             const std::string &path);
