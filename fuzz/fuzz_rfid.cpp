// RF identifier decoding over arbitrary 12-byte blocks.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "QORasstW.h"
#include "rfid/rfid.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> block(kRfIdBlockSize, 0);
    std::memcpy(block.data(), data, size < block.size() ? size : block.size());
    std::vector<char> buffer(kRfIdTextSize, '#');
    const int result = RfIdDecode(block.data(), buffer.data());
    if (result != ASSET_OK && result != ASSET_ERR_CHECKSUM && result != ASSET_ERR_RFID_GROUP) {
        std::abort();
    }
    // Letters and digits, then zeros only.
    size_t n = 0;
    while (n < buffer.size() && buffer[n] != '\0') {
        const char c = buffer[n++];
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) std::abort();
    }
    for (size_t i = n; i < buffer.size(); ++i)
        if (buffer[i] != '\0') std::abort();
    if (result == ASSET_OK && n != static_cast<size_t>(kRfIdChars)) std::abort();
    if (result == ASSET_ERR_CHECKSUM && n != 0) std::abort();
    return 0;
}
