// Beside the operations the product imports, our Linux builds of the two hardware libraries export
// one diagnostic query each, for the qorasst tool alone (the product never calls them, and
// other builds of the libraries need not have them). Each answers -1 on a simulated machine
// (nothing to say), 0 when the machine's source is missing and 1 when it is in use, with one
// line of text saying why or which (cut to size - 1 characters, always terminated).
#pragma once

#include "platform/hwlib.h"

// Exported by the Linux builds only: our Windows DLLs carry exactly the vendor's exports.
#ifdef _WIN32
#define QORDIAG_API
#else
#define QORDIAG_API HWLIB_API
#endif

extern "C" {
QORDIAG_API int HWLIB_CALL QorBusDiagnostic(char *text, int size);
// Bus writes refused in this process because writes are off; -1 when writes are allowed or
// the machine is simulated.
QORDIAG_API int HWLIB_CALL QorBusRefusedWrites(void);
QORDIAG_API int HWLIB_CALL QorPMemDiagnostic(char *text, int size);
}

// Names for looking the queries up at run time.
inline constexpr const char *kQorBusDiagnostic = "QorBusDiagnostic";
inline constexpr const char *kQorBusRefusedWrites = "QorBusRefusedWrites";
inline constexpr const char *kQorPMemDiagnostic = "QorPMemDiagnostic";
