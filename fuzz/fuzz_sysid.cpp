// The system-ID walk over arbitrary memory: the input is physical memory from address 0, and
// its first 17 bytes are the table header that was found.
//
// Random bytes rarely balance a zero-sum, so two bits of header byte 7 (a byte the walk never
// examines) ask the harness to repair sums: bit 0 makes the header valid (length 17, balanced),
// bit 1 balances every "_UUID_" structure read through byte 6 (also never examined). Inputs
// without those bits keep exercising the refusals.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bios/sysid.h"

namespace {

void Balance(uint8_t *bytes, size_t size, size_t at) {
    bytes[at] = 0;
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) sum += bytes[i];
    bytes[at] = static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < static_cast<size_t>(kSysIdHeaderSize)) return 0;
    const bool fix_header = (data[7] & 1) != 0;
    const bool fix_structures = (data[7] & 2) != 0;
    // Copies of exactly the sizes the walk is given, so that any overrun is caught.
    std::vector<uint8_t> header(data, data + kSysIdHeaderSize);
    if (fix_header) {
        header[8] = kSysIdHeaderSize;
        header[9] = 0;
        Balance(header.data(), header.size(), 16);
    }
    std::vector<uint8_t> raw(kUuidSize);
    std::vector<char> text(kUuidTextSize);
    size_t reads = 0;
    auto read = [&](uint8_t *buffer, uint32_t address, uint32_t length) {
        ++reads;
        if (address > size || length > size - address) return 1;
        std::memcpy(buffer, data + address, length);
        if (fix_structures && length == kUuidStructSize && std::memcmp(buffer, "_UUID_", 6) == 0) {
            Balance(buffer, length, 6);
        }
        return 0;
    };
    const int found = SysIdWalk(header.data(), read, raw.data(), text.data());
    // Every structure read moves the walk forward, so it never reads more than the memory
    // holds structure starts, nor more than the count allows.
    if (reads > size + 1 || reads > 0x7FFF) std::abort();
    if (found) {
        if (text[36] != '\0' || text[8] != '-' || text[13] != '-' || text[18] != '-' ||
            text[23] != '-') {
            std::abort();
        }
    }
    return 0;
}
