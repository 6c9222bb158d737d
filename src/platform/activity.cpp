#include "platform/activity.h"

#include <atomic>

namespace {
std::atomic<PlatActivityHook> g_hook{nullptr};
}  // namespace

void PlatSetActivityHook(PlatActivityHook hook) {
    g_hook.store(hook);
}

void PlatNoteActivity(PlatActivity activity) {
    if (PlatActivityHook hook = g_hook.load()) hook(activity);
}
