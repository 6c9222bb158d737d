// The host's identity as the library reports it: login and computer name, each address with
// its mask, and the default gateway.
#include <cstdlib>

#include "QORasstW.h"
#include "qorasst.h"

namespace {

constexpr int kNameSize = 64;
constexpr int kCapacity = 50;

ReportValue Name(int (*get)(char *, int)) {
    char buffer[kNameSize] = {};
    return get(buffer, kNameSize) != 0 ? ReportValue::Text(buffer) : ReportValue();
}

}  // namespace

void AddHostSection(ReportValue &report) {
    ReportValue &host = report.Add("host", ReportValue::Object());
    host.Add("computer_name", Name(Qor().AssetGetSystemName));
    host.Add("login_name", Name(Qor().AssetGetLoginName));
    char *addresses[kCapacity] = {};
    char *masks[kCapacity] = {};
    char *gateway = nullptr;
    const int count = Qor().AssetGetIPConfig(addresses, masks, &gateway, kCapacity);
    ReportValue &list = host.Add("addresses", ReportValue::List());
    for (int i = 0; i < count; ++i) {
        ReportValue &entry = list.Append(ReportValue::Object());
        entry.Add("address", ReportValue::Text(addresses[i]));
        entry.Add("mask", masks[i][0] != '\0' ? ReportValue::Text(masks[i]) : ReportValue());
        std::free(addresses[i]);
        std::free(masks[i]);
    }
    host.Add("gateway", gateway != nullptr ? ReportValue::Text(gateway) : ReportValue());
    std::free(gateway);
}
