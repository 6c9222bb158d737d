// Our build of the I2C bus library: the simulated machine whenever QORASST_MACHINE is set
// (no machine directory there: no bus), else the machine itself.
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

HWLIB_API int HWLIB_CALL I2C_Open(void) {
    if (!Simulated()) return qorreal::BusOpen();
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::I2cOpen(*dir) : 0;
}

HWLIB_API int HWLIB_CALL I2C_Close(void) {
    if (!Simulated()) {
        qorreal::BusClose();
    } else if (auto dir = qorsim::MachineFromEnv()) {
        qorsim::I2cClose(*dir);
    }
    return 0;
}

HWLIB_API int HWLIB_CALL I2C_SendCommandThenRead(unsigned char device, unsigned char command,
                                                 unsigned char *buffer, int length) {
    if (!Simulated()) return qorreal::BusRead(device, command, buffer, length);
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::I2cRead(*dir, device, command, buffer, length) : qorsim::kFail;
}

HWLIB_API int HWLIB_CALL I2C_SendCommandThenWrite(unsigned char device, unsigned char command,
                                                  const unsigned char *buffer, int length) {
    if (!Simulated()) return qorreal::BusWrite(device, command, buffer, length);
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::I2cWrite(*dir, device, command, buffer, length) : qorsim::kFail;
}

QORDIAG_API int HWLIB_CALL QorBusDiagnostic(char *text, int size) {
    if (Simulated()) return -1;
    std::string why;
    const int usable = qorreal::BusDiagnose(why);
    qorreal::CopyText(why, text, size);
    return usable;
}

QORDIAG_API int HWLIB_CALL QorBusRefusedWrites(void) {
    return Simulated() ? -1 : qorreal::BusRefusedWrites();
}
}
