// qorasst disks, and the report's disk section: the entries the library's collector makes,
// asked the same way, with the method that answered and where each disk was found.
#include <cstdint>

#include "disk/collector.h"
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
        case kDiskSmartVsd:
            return "SMARTVSD";
        case kDiskAspi:
            return "ASPI INQUIRY";
        case kDiskNone:
            break;
    }
    return "none";
}

void AddEntry(const DiskEntry &e, void *context) {
    ReportValue &entry = static_cast<ReportValue *>(context)->Append(ReportValue::Object());
    if (e.method == kDiskAspi) {
        entry.Add("adapter", ReportValue::Number(e.adapter));
        entry.Add("target", ReportValue::Number(e.target));
        entry.Add("lun", ReportValue::Number(e.lun));
    } else {
        entry.Add("drive", ReportValue::Number(e.drive));
    }
    entry.Add("method", ReportValue::Text(MethodName(e.method)));
    if (e.method == kDiskNone) return;
    entry.Add("interface", ReportValue::Text(e.interface == 1 ? "SCSI" : "IDE"));
    entry.Add("address", e.address == 0xFFFFFFFF ? ReportValue::Text("unknown")
                                                 : ReportValue::Number(e.address));
    entry.Add("serial", ReportValue::Text(e.text));
}

}  // namespace

void AddDiskSection(ReportValue &report) {
    DiskCollect(AddEntry, &report.Add("disks", ReportValue::List()));
}
