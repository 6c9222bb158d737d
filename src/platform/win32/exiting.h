// What the entry point needs to know when the process ends (DLL_PROCESS_DETACH with a
// non-null reserved argument): Windows has then ended every other thread, or is ending them,
// wherever they were.
#pragma once

// From here on nobody waits for a thread: one that never got to run can be left unkillable
// (under Wine), and waiting for it would hang the exit.
void Win32SetProcessExiting();

// True when a thread this code started was still running its work: it was cut off, maybe
// inside the bus library or holding a lock there, so nothing may be released.
bool Win32ThreadsCutOff();
