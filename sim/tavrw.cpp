// Our build of the physical-memory library: the simulated machine whenever QORASST_MACHINE is
// set (no machine directory there: no physical memory), else the machine itself.
#include <cstdlib>
#include <string>

#include "hwdiag.h"
#include "real_backend.h"
#include "sim_machine.h"

namespace {
bool Simulated() {
    return std::getenv(qorsim::kMachineEnv) != nullptr;
}
}  // namespace

extern "C" {

HWLIB_API int HWLIB_CALL PMemIsInitialized(void) {
    if (!Simulated()) return qorreal::PMemIsInitialized();
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemIsInitialized(*dir) : 0;
}

HWLIB_API int HWLIB_CALL PMemOpen(void) {
    if (!Simulated()) return qorreal::PMemOpen();
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemOpen(*dir) : 0;
}

HWLIB_API int HWLIB_CALL PMemRead(void *buffer, uint32_t address, uint32_t length) {
    if (!Simulated()) return qorreal::PMemRead(buffer, address, length);
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemRead(*dir, buffer, address, length) : qorsim::kFail;
}

HWLIB_API uint32_t HWLIB_CALL PMemSearch(const char *signature, uint32_t first, uint32_t last,
                                         uint32_t step) {
    if (!Simulated()) return qorreal::PMemSearch(signature, first, last, step);
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::PMemSearch(*dir, signature, first, last, step) : 0;
}

HWLIB_API int HWLIB_CALL PMemClose(void) {
    if (!Simulated()) {
        qorreal::PMemClose();
    } else if (auto dir = qorsim::MachineFromEnv()) {
        qorsim::PMemClose(*dir);
    }
    return 0;
}

QORDIAG_API int HWLIB_CALL QorPMemDiagnostic(char *text, int size) {
    if (Simulated()) return -1;
    std::string why;
    const int usable = qorreal::PMemDiagnose(why);
    qorreal::CopyText(why, text, size);
    return usable;
}
}
