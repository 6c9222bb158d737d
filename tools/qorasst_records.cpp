// The serial-number sections of the report: what the library answers for each device it
// knows, and every record of the serial-number area that a query can see.
#include <string>

#include "QORasstW.h"
#include "qorasst.h"

namespace {

std::string DeviceName(int type) {
    switch (type) {
        case 2:
            return "hard disk";
        case 4:
            return "system";
        case 8:
            return "system board";
        case 14:
            return "monitor";
        case 15:
            return "ATA/IDE hard disk (recorded)";
        case 17:
            return "memory module (recorded)";
        case 19:
            return "SCSI hard disk (recorded)";
        case 256:
            return "memory module";
        case 257:
            return "system UUID";
        default:
            return "type " + std::to_string(type);
    }
}

// One query; answers its result code and adds the entry unless `only_found` and it failed.
int AddQuery(ReportValue &list, int type, int index, bool only_found) {
    char buffer[64] = {};
    int rc = Qor().AssetGetSerialNumber2(type, index, buffer);
    if (rc != 0 && only_found) return rc;
    ReportValue &entry = list.Append(ReportValue::Object());
    entry.Add("device", ReportValue::Text(DeviceName(type)));
    entry.Add("type", ReportValue::Number(type));
    entry.Add("index", ReportValue::Number(index));
    if (rc == 0) {
        entry.Add("serial", ReportValue::Text(buffer));
    } else {
        entry.Add("result", ReportValue::Number(rc));
        entry.Add("meaning", ReportValue::Text(ResultText(rc)));
    }
    return rc;
}

}  // namespace

void AddSerialSection(ReportValue &report) {
    ReportValue &serials = report.Add("serial_numbers", ReportValue::List());
    for (int type : {4, 8, 14, 257}) AddQuery(serials, type, 0, false);
    for (int disk = 0; disk < 24; ++disk) AddQuery(serials, 2, disk, true);
    for (int module = 0; module < 16; ++module) AddQuery(serials, 256, module, true);

    // Records of the area: every type a record key can hold, except those that the queries
    // answer from live sources, and the system and board whose answer may come from the VPD.
    ReportValue &records = report.Add("records", ReportValue::List());
    for (int type = 1; type < 32; ++type) {
        if (type == 2 || type == 14) continue;
        for (int index = 0; index < 8; ++index) {
            if ((type == 4 || type == 8) && index == 0) continue;
            AddQuery(records, type, index, true);
        }
    }
}
