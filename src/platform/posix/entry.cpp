// Load-time start-up on POSIX: the constructor and destructor stand in for process attach
// and detach.
#include "frame/frame.h"

__attribute__((constructor)) static void QorasstProcessAttach() {
    FrameAttach();
}

__attribute__((destructor)) static void QorasstProcessDetach() {
    FrameDetach();
}
