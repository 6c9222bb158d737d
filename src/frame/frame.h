// Process attach and detach: the start-up and release sequences. Called by the platform's
// entry point (an ELF constructor/destructor, or DllMain).
#pragma once

void FrameAttach();
void FrameDetach();
// What is left when the process ends with a thread of ours cut off wherever it was (Windows
// ends the other threads before detach): the kept messages, as lines; nothing is released.
void FrameEndCutOff();
