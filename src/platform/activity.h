// What the platform does that waits on other threads or processes: asking the network stack
// for the host's addresses (on Windows, Winsock, which must not start inside the loader's
// lock), reading the routing table (on Windows, a netstat child process) and showing a
// message (on Windows, a modal box). Start-up never does any of them inside the loader's lock;
// each seam reports the activity first, so that a test can tell where it ran.
#pragma once

enum class PlatActivity { kHostAddresses, kRouteTable, kMessage };

using PlatActivityHook = void (*)(PlatActivity activity);

// The hook every later activity is reported to (null: none); for tests.
void PlatSetActivityHook(PlatActivityHook hook);
// Called by a seam before it acts.
void PlatNoteActivity(PlatActivity activity);
