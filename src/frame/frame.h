// Process attach and detach: the start-up and release sequences. Called by the platform's
// entry point (an ELF constructor/destructor, or DllMain).
#pragma once

void FrameAttach();
void FrameDetach();
