// The identity the machine reports about itself: the monitor's EDID, the BIOS VPD, the system
// UUID, the RF identifier and the match of the BIOS identification with the serial number.
#include <string>

#include "QORasstW.h"
#include "decode.h"
#include "qorasst.h"

namespace {

ReportValue Failure(int code) {
    return ReportValue::Failure("unavailable (" + std::to_string(code) + ": " + ResultText(code) +
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
    const int result = Qor().AssetGetSerialNumber2(devtype, 0, buffer);
    return result == ASSET_OK ? ReportValue::Text(buffer) : Failure(result);
}

ReportValue Modes() {
    int width = 0, height = 0, refresh = 0, kind = 0;
    int result = Qor().MonitorGetResolution(0, &width, &height, &refresh, &kind);
    if (result != ASSET_OK && result != ASSET_ERR_MODE_INDEX) return Failure(result);
    ReportValue modes = ReportValue::List();
    for (int i = 1; result == ASSET_OK; ++i) {
        modes.Append(ReportValue::Text(std::to_string(width) + "x" + std::to_string(height) +
                                       " at " + std::to_string(refresh) + " Hz" +
                                       (kind == 5 ? ", interlaced" : "")));
        result = Qor().MonitorGetResolution(i, &width, &height, &refresh, &kind);
    }
    return modes;
}

// The 128 bytes the BIOS left, in hexadecimal.
ReportValue EdidBlock() {
    unsigned char block[128] = {};
    const int result = Qor().MonitorGetEDIDBlock(block, static_cast<int>(sizeof block));
    return result == ASSET_OK ? ReportValue::Text(HexOf(block, sizeof block)) : Failure(result);
}

}  // namespace

void AddMonitorSection(ReportValue &report) {
    ReportValue &monitor = report.Add("monitor", ReportValue::Object());
    monitor.Add("manufacturer", TextOrFailure(Qor().MonitorGetManufacturer));
    monitor.Add("product", TextOrFailure(Qor().MonitorGetProduct));
    monitor.Add("version", TextOrFailure(Qor().MonitorGetVersion));
    monitor.Add("serial", SerialOrFailure(14));
    monitor.Add("modes", Modes());
    monitor.Add("edid", EdidBlock());
}

void AddBiosSection(ReportValue &report) {
    ReportValue &bios = report.Add("bios", ReportValue::Object());
    // The library keeps its own copy; a caller loads one to read the texts from.
    unsigned char vpd[256] = {};
    int size = static_cast<int>(sizeof vpd);
    const int loaded = Qor().VPDLoadData(vpd, &size);
    if (loaded == ASSET_OK) {
        bios.Add("vpd_system", TextOrFailure([&vpd](char *text, int room) {
                     return Qor().VPDGetSystem(text, room, vpd);
                 }));
        bios.Add("vpd_board", TextOrFailure([&vpd](char *text, int room) {
                     return Qor().VPDGetMotherboard(text, room, vpd);
                 }));
    } else {
        bios.Add("vpd_system", Failure(loaded));
        bios.Add("vpd_board", Failure(loaded));
    }
    bios.Add("uuid", SerialOrFailure(257));
    bios.Add("vpd_match", ReportValue::Bool(Qor().AssetIsVPDMatch() != 0));
}

void AddRfidSection(ReportValue &report) {
    char buffer[32] = {};
    const int result = Qor().AssetGetRFID(buffer);
    report.Add("rfid", result == ASSET_OK ? ReportValue::Text(buffer) : Failure(result));
}
