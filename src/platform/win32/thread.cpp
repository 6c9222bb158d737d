// Background threads. A thread started from the DLL holds a reference on the DLL for as long
// as it runs and drops it as it exits (FreeLibraryAndExitThread), so a caller that unloads
// the library early cannot pull the code and the shared views from under a running thread:
// the unload then completes when the last thread ends.
#include "platform/thread.h"

#include <windows.h>

#include <atomic>
#include <new>

#include "platform/win32/exiting.h"

struct PlatThread {
    PlatThreadProc proc;
    void *arg;
    HMODULE module;  // reference held by the running thread, or null
    HANDLE handle;
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

// A program is never unloaded; only a DLL needs the reference.
HMODULE ReferenceOwnDll() {
    HMODULE self = OwnModule();
    if (self == nullptr || self == GetModuleHandleA(nullptr)) return nullptr;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(self, path, sizeof path);
    if (length == 0 || length >= sizeof path) return nullptr;
    // Already loaded: this only counts one more reference.
    return LoadLibraryA(path);
}

DWORD WINAPI Trampoline(LPVOID raw) {
    auto *thread = static_cast<PlatThread *>(raw);
    thread->proc(thread->arg);
    g_running.fetch_sub(1);
    if (thread->module != nullptr) FreeLibraryAndExitThread(thread->module, 0);
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
    auto *thread = new (std::nothrow) PlatThread{proc, arg, nullptr, nullptr, 0};
    if (thread == nullptr) return nullptr;
    thread->module = ReferenceOwnDll();
    g_running.fetch_add(1);
    // The 95 family fails CreateThread without somewhere to put the id.
    HANDLE handle = CreateThread(nullptr, 0, Trampoline, thread, 0, &thread->id);
    if (handle == nullptr) {
        g_running.fetch_sub(1);
        if (thread->module != nullptr) FreeLibrary(thread->module);
        delete thread;
        return nullptr;
    }
    thread->handle = handle;
    return thread;
}

void PlatThreadWait(PlatThread *thread) {
    // A thread never sees its own end: the last thread to drop its reference on the DLL runs
    // the detach, which waits for the threads, on itself.
    if (thread == nullptr || thread->id == GetCurrentThreadId() || g_exiting) return;
    WaitForSingleObject(thread->handle, INFINITE);
}
