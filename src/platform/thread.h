// Background threads. A started thread runs to its end on its own; any number of threads may
// wait for it, any number of times. Handles are never released while the process runs.
#pragma once

struct PlatThread;

using PlatThreadProc = void (*)(void *arg);

// nullptr when the thread could not be started.
PlatThread *PlatThreadStart(PlatThreadProc proc, void *arg);
// Returns once the thread has ended; a null thread, or one started by the parent of a forked
// child (which has none of its parent's threads), returns at once.
void PlatThreadWait(PlatThread *thread);
// The same, giving up after `milliseconds`: true when the thread has ended (0 only asks).
bool PlatThreadWaitFor(PlatThread *thread, unsigned milliseconds);
// The calling thread's id; never 0.
unsigned long PlatThreadId();
