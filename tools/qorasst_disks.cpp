// qorasst disks, and the report's disk section: every drive that opens, asked the way the
// library's collector asks it, with the method that answered.
#include <cstdint>

#include "disk/collector.h"
#include "platform/diskio.h"
#include "qorasst.h"

namespace {

const char *MethodName(DiskMethod method) {
    switch (method) {
        case kDiskSmart:
            return "SMART";
        case kDiskMiniport:
            return "miniport";
        case kDiskPassThrough:
            return "pass-through INQUIRY";
        case kDiskNone:
            break;
    }
    return "none";
}

}  // namespace

void AddDiskSection(ReportValue &report) {
    ReportValue &disks = report.Add("disks", ReportValue::List());
    if (!PlatDiskDrivesAnswer()) return;
    for (int drive = 0; drive < kDiskDrives; ++drive) {
        PlatDisk *disk = PlatDiskOpen(drive);
        if (disk == nullptr) continue;
        char text[24] = {};
        uint32_t interface = 0, address = 0;
        const DiskMethod method = DiskAskDrive(disk, text, &interface, &address);
        PlatDiskClose(disk);
        ReportValue &entry = disks.Append(ReportValue::Object());
        entry.Add("drive", ReportValue::Number(drive));
        entry.Add("method", ReportValue::Text(MethodName(method)));
        if (method == kDiskNone) continue;
        entry.Add("interface", ReportValue::Text(interface == 1 ? "SCSI" : "IDE"));
        entry.Add("address", address == 0xFFFFFFFF ? ReportValue::Text("unknown")
                                                   : ReportValue::Number(address));
        entry.Add("serial", ReportValue::Text(text));
    }
}
