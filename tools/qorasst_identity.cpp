// The identity the machine reports about itself: the monitor's EDID, the BIOS VPD, the system
// UUID, the RF identifier and the match of the BIOS identification with the serial number.
#include <string>

#include "QORasstW.h"
#include "qorasst.h"

namespace {

ReportValue Failure(int code) {
    return ReportValue::Text("unavailable (" + std::to_string(code) + ": " + ResultText(code) +
                             ")");
}

// A text export's answer: its text, or why there is none.
template <typename Get>
ReportValue TextOrFailure(Get get) {
    char buffer[256] = {};
    const int result = get(buffer, static_cast<int>(sizeof buffer));
    return result == ASSET_OK ? ReportValue::Text(buffer) : Failure(result);
}

ReportValue SerialOrFailure(int devtype) {
    char buffer[64] = {};  // 37 bytes for the UUID, 23 for the others
    const int result = AssetGetSerialNumber2(devtype, 0, buffer);
    return result == ASSET_OK ? ReportValue::Text(buffer) : Failure(result);
}

}  // namespace

void AddMonitorSection(ReportValue &report) {
    ReportValue &monitor = report.Add("monitor", ReportValue::Object());
    monitor.Add("manufacturer", TextOrFailure(MonitorGetManufacturer));
    monitor.Add("product", TextOrFailure(MonitorGetProduct));
    monitor.Add("version", TextOrFailure(MonitorGetVersion));
    monitor.Add("serial", SerialOrFailure(14));
    int width = 0, height = 0, refresh = 0, kind = 0;
    int result = MonitorGetResolution(0, &width, &height, &refresh, &kind);
    if (result != ASSET_OK && result != ASSET_ERR_MODE_INDEX) {
        monitor.Add("modes", Failure(result));
        return;
    }
    ReportValue &modes = monitor.Add("modes", ReportValue::List());
    for (int i = 1; result == ASSET_OK; ++i) {
        modes.Append(ReportValue::Text(std::to_string(width) + "x" + std::to_string(height) +
                                       " at " + std::to_string(refresh) + " Hz" +
                                       (kind == 5 ? ", interlaced" : "")));
        result = MonitorGetResolution(i, &width, &height, &refresh, &kind);
    }
}

void AddBiosSection(ReportValue &report) {
    ReportValue &bios = report.Add("bios", ReportValue::Object());
    // The library keeps its own copy; a caller loads one to read the texts from.
    unsigned char vpd[256] = {};
    int size = static_cast<int>(sizeof vpd);
    const int loaded = VPDLoadData(vpd, &size);
    if (loaded == ASSET_OK) {
        bios.Add("vpd_system", TextOrFailure([&vpd](char *text, int room) {
                     return VPDGetSystem(text, room, vpd);
                 }));
        bios.Add("vpd_board", TextOrFailure([&vpd](char *text, int room) {
                     return VPDGetMotherboard(text, room, vpd);
                 }));
    } else {
        bios.Add("vpd_system", Failure(loaded));
        bios.Add("vpd_board", Failure(loaded));
    }
    bios.Add("uuid", SerialOrFailure(257));
    bios.Add("vpd_match", ReportValue::Bool(AssetIsVPDMatch() != 0));
}

void AddRfidSection(ReportValue &report) {
    char buffer[32] = {};
    const int result = AssetGetRFID(buffer);
    report.Add("rfid", result == ASSET_OK ? ReportValue::Text(buffer) : Failure(result));
}
