// The DLL entry point: start-up on process attach, release on process detach. Whatever
// happens, the loader is told that attaching succeeded; a failure only leaves the library
// uninitialised.
#include <windows.h>

#include "frame/state.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            FrameAttach();
            break;
        case DLL_PROCESS_DETACH:
            FrameDetach();
            break;
        default:  // thread attach and detach change nothing
            break;
    }
    return TRUE;
}
