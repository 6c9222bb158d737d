// The DLL entry point: start-up on process attach, release on process detach. Whatever
// happens, the loader is told that attaching succeeded; a failure only leaves the library
// uninitialised.
#include <windows.h>

#include "frame/frame.h"
#include "platform/win32/exiting.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            FrameAttach();
            break;
        case DLL_PROCESS_DETACH:
            // Non-null reserved: the process is ending, not unloading the library. If the
            // system cut one of our threads off mid-way, the bus library or the heap may be left
            // in use by it; the system reclaims the handles and views, so nothing is released.
            if (reserved != nullptr) {
                Win32SetProcessExiting();
                if (Win32ThreadsCutOff()) {
                    FrameEndCutOff();
                    break;
                }
            }
            FrameDetach();
            break;
        default:  // thread attach and detach change nothing
            break;
    }
    return TRUE;
}
