// Background threads. A thread started from the DLL holds a reference on the DLL for as long
// as it runs and drops it as it exits (FreeLibraryAndExitThread), so a caller that unloads
// the library early cannot pull the code and the shared views from under a running thread:
// the unload then completes when the last thread ends. The reference is counted before the
// thread exists (the DLL is loaded already, so this only counts); a thread whose reference
// cannot be had is not started, since an unload would then wait for it under the loader lock.
// Waiters wait for an event the thread sets when its work is done, so the thread's own handle
// is closed at once.
#include "platform/thread.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>

#include "platform/win32/exiting.h"

struct PlatThread {
    PlatThreadProc proc;
    void *arg;
    HMODULE module;  // reference held by the running thread, or null in a program
    HANDLE done;     // set once proc has returned
    DWORD id;
};

namespace {
std::atomic<bool> g_exiting{false};
std::atomic<int> g_running{0};  // threads started whose work has not ended

// The module this code was linked into: the DLL, or a program that links the code itself.
HMODULE OwnModule() {
    MEMORY_BASIC_INFORMATION info{};
    if (VirtualQuery(reinterpret_cast<const void *>(&OwnModule), &info, sizeof info) == 0) {
        return nullptr;
    }
    return static_cast<HMODULE>(info.AllocationBase);
}

// A program is never unloaded; only a DLL needs the reference. False when it cannot be had.
bool ReferenceOwnDll(HMODULE *module) {
    *module = nullptr;
    HMODULE self = OwnModule();
    if (self == nullptr) return false;
    if (self == GetModuleHandleA(nullptr)) return true;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(self, path, sizeof path);
    if (length == 0 || length >= sizeof path) return false;
    *module = LoadLibraryA(path);
    return *module != nullptr;
}

DWORD WINAPI Trampoline(LPVOID raw) {
    auto *thread = static_cast<PlatThread *>(raw);
    thread->proc(thread->arg);
    const HMODULE module = thread->module;
    g_running.fetch_sub(1);
    SetEvent(thread->done);
    if (module != nullptr) FreeLibraryAndExitThread(module, 0);
    return 0;
}
}  // namespace

void Win32SetProcessExiting() {
    g_exiting = true;
}

bool Win32ThreadsCutOff() {
    return g_running.load() > 0;
}

PlatThread *PlatThreadStart(PlatThreadProc proc, void *arg) {
    // Never freed: a handle stays valid for every waiter for the life of the process.
    auto *thread = static_cast<PlatThread *>(std::calloc(1, sizeof(PlatThread)));
    if (thread == nullptr) return nullptr;
    thread->proc = proc;
    thread->arg = arg;
    thread->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (thread->done == nullptr || !ReferenceOwnDll(&thread->module)) {
        if (thread->done != nullptr) CloseHandle(thread->done);
        std::free(thread);
        return nullptr;
    }
    g_running.fetch_add(1);
    // The 95 family fails CreateThread without somewhere to put the id.
    HANDLE handle = CreateThread(nullptr, 0, Trampoline, thread, 0, &thread->id);
    if (handle == nullptr) {
        g_running.fetch_sub(1);
        if (thread->module != nullptr) FreeLibrary(thread->module);
        CloseHandle(thread->done);
        std::free(thread);
        return nullptr;
    }
    CloseHandle(handle);  // nobody waits on the thread itself
    return thread;
}

void PlatThreadWait(PlatThread *thread) {
    PlatThreadWaitFor(thread, INFINITE);
}

bool PlatThreadWaitFor(PlatThread *thread, unsigned milliseconds) {
    // A thread never waits for its own end; and once the process is ending nobody waits, since
    // a thread the system cut off never sets its event.
    if (thread == nullptr || thread->id == GetCurrentThreadId() || g_exiting) return true;
    return WaitForSingleObject(thread->done, milliseconds) == WAIT_OBJECT_0;
}

unsigned long PlatThreadId() {
    return GetCurrentThreadId();
}
