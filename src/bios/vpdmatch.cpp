// AssetIsVPDMatch: do the BIOS identification bytes belong to this system's serial number?
#include "bios/vpdmatch.h"

#include <cstring>

#include "QORasstW.h"
#include "state/state.h"
#include "platform/hwlib.h"

int BiosIdentMatches(const uint8_t ident[kBiosIdentSize], const char *serial) {
    char text[kBiosIdentSize + 1];
    int length = 0;
    while (length < kBiosIdentSize && ident[length] != 0) {
        const uint8_t c = ident[length];
        text[length++] = static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    }
    text[length] = '\0';
    // An empty text occurs in every serial; it would report a match for any machine.
    if (length == 0) return 0;
    return std::strstr(serial, text) != nullptr ? 1 : 0;
}

extern "C" QORASST_API int QORASST_CALL AssetIsVPDMatch(void) {
    if (!g_state.initialized) return 0;
    if (PMemIsInitialized() == 0 || PMemOpen() == 0) return 0;
    uint8_t ident[kBiosIdentSize];
    const int read = PMemRead(ident, kBiosIdentAddress, kBiosIdentSize);
    PMemClose();
    if (read != 0) return 0;
    // A failed query counts as an empty serial, whatever its source left in the buffer.
    char serial[256] = {};
    if (AssetGetSerialNumber(4, 0, serial) == 0) serial[0] = '\0';
    serial[sizeof serial - 1] = '\0';
    return BiosIdentMatches(ident, serial);
}
