#include "state/state.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/lock.h"
#include "platform/system.h"
#include "platform/thread.h"

AssetState g_state;

namespace {
PlatSpinLock g_diag_lock;  // threads of every export write the text
std::atomic<bool> g_startup_pending{false};
}  // namespace

void SetStartupPending(bool pending) {
    g_startup_pending.store(pending);
}

void AwaitStartup(unsigned milliseconds) {
    // A thread that ended (or, in a forked child, is not there at all) has nothing pending.
    constexpr unsigned kStep = 5;
    for (unsigned waited = 0; g_startup_pending.load() && waited < milliseconds &&
                              !PlatThreadWaitFor(g_state.startup_thread, 0);
         waited += kStep) {
        PlatSleep(kStep);
    }
}

void SetDiagText(const char *format, ...) {
    char text[kDiagSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_diag_lock.Acquire();
    std::memcpy(g_state.diag_text, text, sizeof text);
    g_diag_lock.Release();
}

SharedExtras *SharedExtrasOf() {
    static SharedExtras local;
    if (g_state.serial_view == nullptr) return &local;
    return reinterpret_cast<SharedExtras *>(g_state.serial_view + kSharedExtrasOffset);
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
