// EDID decoding over arbitrary bytes: the first 128 bytes are the block, the next one the size
// of the caller's buffer that the texts are delivered into.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "monitor/edid.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

void Deliver(const char *text, int length, int size) {
    // Exactly the caller's room, so that any write past it is caught.
    std::vector<char> buffer(static_cast<size_t>(size > 0 ? size : 1), '#');
    EdidDeliverText(size > 0 ? buffer.data() : nullptr, size, text, length);
    if (size > 0) Require(buffer[static_cast<size_t>(size) - 1] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> block(kEdidSize, 0);
    std::memcpy(block.data(), data, size < block.size() ? size : block.size());
    const int room = size > kEdidSize ? static_cast<int>(data[kEdidSize]) - 8 : 16;

    char manufacturer[4];
    EdidManufacturerText(block.data(), manufacturer);
    for (int i = 0; i < 3; ++i) Require(manufacturer[i] >= 0x40 && manufacturer[i] <= 0x5F);
    Deliver(manufacturer, 3, room);

    char version[8];
    const int version_length = EdidVersionText(block.data(), version);
    Require(version_length >= 3 && version_length <= 7);
    Deliver(version, version_length, room);

    for (uint8_t tag : {uint8_t{0xFC}, uint8_t{0xFF}}) {
        std::vector<char> text(kEdidTextRoom);
        const int length = EdidDescriptorText(block.data(), tag, text.data());
        Require(length >= 0 && length <= kEdidMaxText);
        Deliver(text.data(), length, room);
    }

    ModeTable table;
    EdidBuildModes(block.data(), &table);
    Require(table.count >= 0 && table.count <= kMaxModes);
    for (int i = 0; i < table.count; ++i) {
        const DisplayMode &m = table.modes[i];
        Require(m.width >= 248 && m.width <= 2288 && m.height > 0 && m.height <= m.width);
        Require(m.refresh >= 56 && m.refresh <= 123);
        Require(m.kind == kModeKindNormal || m.kind == kModeKindInterlaced);
    }
    return 0;
}
