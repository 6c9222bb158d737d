// The QORasstW library, loaded at run time. Loading it runs its whole start-up (the bus is
// opened, areas may be formatted or repaired), so qorasst loads it only for the commands that
// ask the machine; --help, --version, inspect and bad arguments never do.
#pragma once

#include "QORasstW.h"

// The 24 exports, each as X(name).
// clang-format off
#define QORASST_EXPORT_LIST(X)                                                                   \
    X(AssetIsInitialized) X(AssetIsEeprom) X(AssetIsRfEeprom) X(AssetIsMonitor)                  \
    X(AssetGetSerialNumber) X(AssetGetSerialNumber2) X(AssetIsSerialCacheDirty)                  \
    X(AssetSetSerialNumber) X(AssetGetUserAreaStruct) X(AssetSetUserAreaStruct)                  \
    X(AssetIsUserCacheDirty) X(AssetGetLoginName) X(AssetGetSystemName) X(AssetGetIPConfig)      \
    X(AssetGetRFID) X(VPDLoadData) X(VPDGetSystem) X(VPDGetMotherboard) X(AssetIsVPDMatch)       \
    X(MonitorGetEDIDBlock) X(MonitorGetManufacturer) X(MonitorGetProduct) X(MonitorGetVersion)   \
    X(MonitorGetResolution)
// clang-format on

struct QorExports {
#define QORASST_EXPORT_MEMBER(name) decltype(&::name) name;
    QORASST_EXPORT_LIST(QORASST_EXPORT_MEMBER)
#undef QORASST_EXPORT_MEMBER
};

// The exports, the library being loaded on first use. When it cannot be loaded (or lacks an
// export) one line on standard error says which library and why, and the process ends with
// exit status 1: commands call it only after their arguments were found good.
const QorExports &Qor();

// A function of a hardware library the QORasstW library brought in (our builds' diagnostic
// queries); nullptr when the library is not loaded or has no such function.
void *HardwareFunction(const char *library, const char *name);
