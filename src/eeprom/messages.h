// When the messages for the person at the machine (the user area's load messages) are shown.
// A message box waits for a click, so one is never shown while this thread holds the EEPROM
// mutex (every other process's start-up and stores would wait for the click too), nor while
// start-up runs inside the loader's lock: a message raised then is kept, in order, and shown
// once the mutex is released, or by start-up's own thread.
#pragma once

using EeMessageSink = void (*)(const char *text);

// Shows text through sink (the platform's message when null), now or once it may be shown.
void EeShowMessage(const char *text, EeMessageSink sink);
// While held back (start-up inside the loader's lock), messages are only kept.
void EeHoldMessages(bool hold);
// Shows the messages kept, unless they are held back or this thread holds the mutex.
void EeShowKeptMessages();
// At the process's end: every message still kept goes out as a line, never as a box, and
// without waiting for a lock that a thread the system cut off may hold.
void EeWriteKeptMessages();
