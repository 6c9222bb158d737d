#include "eeprom/messages.h"

#include <atomic>
#include <cstring>

#include "eeprom/eeprom.h"
#include "platform/lock.h"
#include "platform/message.h"

namespace {

constexpr int kKept = 16;       // far more than one load raises
constexpr int kTextSize = 192;  // every load message fits

struct Kept {
    char text[kTextSize];
    EeMessageSink sink;
    unsigned serial;  // names the entry while it is shown
    bool showing;     // taken by a thread that shows it
};

// Fixed storage: written as lines at the end even where the heap may be locked.
PlatSpinLock g_lock;
Kept g_kept[kKept];
int g_count = 0;
unsigned g_serial = 0;
std::atomic<bool> g_hold{false};

void Deliver(const char *text, EeMessageSink sink) {
    if (sink != nullptr) {
        sink(text);
    } else {
        PlatShowMessage(text);
    }
}

bool MayShow() {
    return !g_hold.load() && !EeHeldByThisThread();
}

}  // namespace

void EeShowMessage(const char *text, EeMessageSink sink) {
    if (MayShow()) {
        Deliver(text, sink);
        return;
    }
    g_lock.Acquire();
    if (g_count < kKept) {
        Kept &k = g_kept[g_count++];
        std::strncpy(k.text, text, kTextSize - 1);
        k.text[kTextSize - 1] = '\0';
        k.sink = sink;
        k.serial = ++g_serial;
        k.showing = false;
        g_lock.Release();
        return;
    }
    g_lock.Release();
    PlatWriteMessageLine(text);  // no room to keep it: the line, which never waits
}

void EeHoldMessages(bool hold) {
    g_hold.store(hold);
}

void EeShowKeptMessages() {
    while (MayShow()) {
        Kept next;
        g_lock.Acquire();
        int i = 0;
        while (i < g_count && g_kept[i].showing) ++i;
        if (i == g_count) {
            g_lock.Release();
            return;
        }
        g_kept[i].showing = true;
        next = g_kept[i];
        g_lock.Release();
        Deliver(next.text, next.sink);
        // Gone only once shown: one the process ended during goes out as a line at the end.
        g_lock.Acquire();
        for (int k = 0; k < g_count; ++k) {
            if (g_kept[k].serial == next.serial) {
                std::memmove(&g_kept[k], &g_kept[k + 1], sizeof(Kept) * (g_count - k - 1));
                --g_count;
                break;
            }
        }
        g_lock.Release();
    }
}

void EeWriteKeptMessages() {
    if (!g_lock.TryAcquire()) return;
    for (int i = 0; i < g_count; ++i) PlatWriteMessageLine(g_kept[i].text);
    g_count = 0;
    g_lock.Release();
}
