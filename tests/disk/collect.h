// What the disk tests share: the collector run into an HDD cache of the test's own, its
// entries, and the disk request log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "disk/collector.h"
#include "sim_disks.h"
#include "state/state.h"

struct Entry {
    std::string text;
    uint32_t interface, address;
    bool operator==(const Entry &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Entry &e) {
    return os << "{\"" << e.text << "\", " << e.interface << ", " << e.address << "}";
}

// Runs the collector into a cache of its own; answers the entries up to the last used.
inline std::vector<Entry> CollectIntoCache() {
    std::vector<uint8_t> view(kMappingSize, 0);
    char *slots[kHddEntries];
    for (int i = 0; i < kHddEntries; ++i)
        slots[i] = reinterpret_cast<char *>(view.data() + kHddTextSize * i);
    HddThreadParams params{slots, reinterpret_cast<uint32_t *>(view.data() + 552),
                           reinterpret_cast<uint32_t *>(view.data() + 648)};
    DiskSerialCollector(&params);
    std::vector<Entry> entries;
    for (int i = 0; i < kHddEntries; ++i)
        entries.push_back({slots[i], params.interfaces[i], params.addresses[i]});
    while (!entries.empty() && entries.back() == Entry{"", 0, 0}) entries.pop_back();
    EXPECT_TRUE(std::all_of(view.begin() + 744, view.end(), [](uint8_t b) { return b == 0; }));
    return entries;
}

// Hex digits written in groups for the reader: the spaces go.
inline std::string Ungrouped(std::string hex) {
    std::erase(hex, ' ');
    return hex;
}

// The lines of a machine's disk log that start with prefix, without it.
inline std::vector<std::string> LogLines(const std::string &machine, const std::string &prefix) {
    std::vector<std::string> out;
    for (const auto &l : qorsim::ReadDiskLog(machine))
        if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
    return out;
}
