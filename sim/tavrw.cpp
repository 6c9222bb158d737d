// Our build of the physical-memory library over the simulated machine. No machine: no
// physical memory.
#include "platform/hwlib.h"
#include "sim_machine.h"

extern "C" {

HWLIB_API int HWLIB_CALL PMemIsInitialized(void) {
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemIsInitialized(*dir) : 0;
}

HWLIB_API int HWLIB_CALL PMemOpen(void) {
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemOpen(*dir) : 0;
}

HWLIB_API int HWLIB_CALL PMemRead(void *buffer, uint32_t address, uint32_t length) {
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemRead(*dir, buffer, address, length) : qorsim::kFail;
}

HWLIB_API uint32_t HWLIB_CALL PMemSearch(const char *signature, uint32_t first, uint32_t last,
                                         uint32_t step) {
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemSearch(*dir, signature, first, last, step) : 0;
}

HWLIB_API int HWLIB_CALL PMemClose(void) {
    if (auto dir = qorsim::MachineFromEnv()) qorsim::PMemClose(*dir);
    return 0;
}
}
