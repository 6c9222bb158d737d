// Our build of the I2C bus library over the simulated machine. No machine: no bus.
#include "platform/hwlib.h"
#include "sim_machine.h"

extern "C" {

HWLIB_API int HWLIB_CALL I2C_Open(void) {
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::I2cOpen(*dir) : 0;
}

HWLIB_API int HWLIB_CALL I2C_Close(void) {
    if (auto dir = qorsim::MachineFromEnv()) qorsim::I2cClose(*dir);
    return 0;
}

HWLIB_API int HWLIB_CALL I2C_SendCommandThenRead(unsigned char device, unsigned char command,
                                                 unsigned char *buffer, int length) {
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::I2cRead(*dir, device, command, buffer, length) : qorsim::kFail;
}

HWLIB_API int HWLIB_CALL I2C_SendCommandThenWrite(unsigned char device, unsigned char command,
                                                  const unsigned char *buffer, int length) {
    auto dir = qorsim::MachineFromEnv();
    return dir ? qorsim::I2cWrite(*dir, device, command, buffer, length) : qorsim::kFail;
}
}
