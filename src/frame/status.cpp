// The four status exports: plain reads of the state record, usable even when start-up failed.
#include "QORasstW.h"
#include "state/state.h"

extern "C" {

QORASST_API int QORASST_CALL AssetIsInitialized(void) {
    return g_state.initialized;
}

QORASST_API int QORASST_CALL AssetIsEeprom(void) {
    return g_state.eeprom_addr != 0 ? 1 : 0;
}

QORASST_API int QORASST_CALL AssetIsRfEeprom(void) {
    return g_state.rf_eeprom;
}

QORASST_API int QORASST_CALL AssetIsMonitor(void) {
    return g_state.monitor_present;
}
}
