#include "state/state.h"

#include <cstdarg>
#include <cstdio>

AssetState g_state;

void SetDiagText(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(g_state.diag_text, sizeof g_state.diag_text, format, args);
    va_end(args);
}

void LayOutSerialCache(uint8_t struct_size, uint8_t count) {
    uint8_t *view = g_state.serial_view;
    const int records = struct_size * count;
    for (int i = 0; i < kMaxRecords; ++i) {
        g_state.serial_text[i] =
            i < count ? reinterpret_cast<char *>(view + struct_size * i) : nullptr;
    }
    g_state.serial_type = view + records;
    g_state.serial_index = view + records + kMaxRecords;
    g_state.user_area = view + records + 2 * kMaxRecords;
    g_state.layout_struct_size = struct_size;
    g_state.layout_count = count;
}
