// The two closed hardware libraries the product imports: the I2C bus library (kelbW) and
// the physical-memory library (tavrW). They are resolved by the loader at load time; we
// never implement them inside the product. Our simulated machine (sim/) is one build of
// them, the vendor's is another.
#pragma once

#include <cstdint>

#ifdef _WIN32
#define HWLIB_CALL __cdecl
#ifdef HWLIB_BUILDING
#define HWLIB_API __declspec(dllexport)
#else
#define HWLIB_API __declspec(dllimport)
#endif
#else
#define HWLIB_CALL
#define HWLIB_API __attribute__((visibility("default")))
#endif

extern "C" {

// kelbW: non-zero from I2C_Open means the bus is usable. The transfer calls answer 0 on
// success; every other value is a failure. device is the even (write) bus address, command
// the first byte sent (an EEPROM offset or an RF register number).
HWLIB_API int HWLIB_CALL I2C_Open(void);
HWLIB_API int HWLIB_CALL I2C_Close(void);
HWLIB_API int HWLIB_CALL I2C_SendCommandThenRead(unsigned char device, unsigned char command,
                                                 unsigned char *buffer, int length);
HWLIB_API int HWLIB_CALL I2C_SendCommandThenWrite(unsigned char device, unsigned char command,
                                                  const unsigned char *buffer, int length);

// tavrW: PMemIsInitialized and PMemOpen answer non-zero for yes; PMemRead answers 0 on
// success; PMemSearch answers the physical address of the first match or 0.
HWLIB_API int HWLIB_CALL PMemIsInitialized(void);
HWLIB_API int HWLIB_CALL PMemOpen(void);
HWLIB_API int HWLIB_CALL PMemRead(void *buffer, uint32_t address, uint32_t length);
HWLIB_API uint32_t HWLIB_CALL PMemSearch(const char *signature, uint32_t first, uint32_t last,
                                         uint32_t step);
HWLIB_API int HWLIB_CALL PMemClose(void);
}
