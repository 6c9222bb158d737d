// A message for the person at the machine, shown when something they should know about
// happens (the user area's repair messages). Nothing else in the library writes to the user.
#pragma once

// Windows: a modal box without owner, caption "Info", one OK button; the calling thread waits
// until it is dismissed. POSIX: the line "Info: <text>" on standard error, written with one
// call so that the lines of several processes never interleave.
// Windows falls back to that line when no box can be seen (no visible window station, no
// desktop).
void PlatShowMessage(const char *text);
// The line alone, on both systems: never waits, needs no lock and no memory of the heap.
void PlatWriteMessageLine(const char *text);
