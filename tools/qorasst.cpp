// qorasst: the inventory report. It loads the library as any application does, so what it
// prints is what an application sees.
#include "qorasst.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QORasstW.h"

void AddStatusSection(ReportValue &report) {
    ReportValue &status = report.Add("status", ReportValue::Object());
    status.Add("initialized", ReportValue::Bool(AssetIsInitialized() != 0));
    status.Add("asset_eeprom", ReportValue::Bool(AssetIsEeprom() != 0));
    status.Add("rf_eeprom", ReportValue::Bool(AssetIsRfEeprom() != 0));
    status.Add("monitor", ReportValue::Bool(AssetIsMonitor() != 0));
}

namespace {

void Usage(FILE *to) {
    std::fprintf(to,
                 "usage: qorasst [report] [--json]   the inventory of this machine\n"
                 "       qorasst status [--json]     the library's status only\n"
                 "       qorasst ip [--json]         login and computer name, IP configuration\n"
                 "       qorasst serial get|set|delete TYPE INDEX [TEXT]\n"
                 "       qorasst user [--json]       the user area's structures\n"
                 "       qorasst user set TYPE [--fixed HEX] STRING... | delete TYPE\n"
                 "       qorasst inspect FILE [--json]  explain an EEPROM dump offline\n");
}

enum class Scope { kAll, kStatus, kHost };

int Report(bool json, Scope scope) {
    ReportValue report = ReportValue::Object();
    if (scope == Scope::kHost) {
        AddHostSection(report);
    } else {
        AddStatusSection(report);
    }
    if (scope == Scope::kAll) {
        AddSerialSection(report);
        AddMonitorSection(report);
        AddBiosSection(report);
        AddRfidSection(report);
        AddUserSection(report);
        AddHostSection(report);
    }
    if (json) {
        std::printf("%s\n", report.ToJson().c_str());
    } else {
        std::printf("%s\n", report.ToText().substr(1).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string command = "report";
    bool json = false;
    int first = 1;
    if (argc > 1 && argv[1][0] != '-') {
        command = argv[1];
        first = 2;
    }
    if (command == "serial") return SerialCommand(argc - 2, argv + 2);
    if (command == "user" || command == "inspect") {
        std::vector<char *> rest;
        for (int i = first; i < argc; ++i) {
            if (std::strcmp(argv[i], "--json") == 0) {
                json = true;
            } else {
                rest.push_back(argv[i]);
            }
        }
        const int n = static_cast<int>(rest.size());
        return command == "user" ? UserCommand(n, rest.data(), json)
                                 : InspectCommand(n, rest.data(), json);
    }
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return 0;
        } else if (command == "report" || command == "status" || command == "ip") {
            std::fprintf(stderr, "qorasst: unknown option %s\n", argv[i]);
            Usage(stderr);
            return 2;
        }
    }
    if (command == "report") return Report(json, Scope::kAll);
    if (command == "status") return Report(json, Scope::kStatus);
    if (command == "ip") return Report(json, Scope::kHost);
    std::fprintf(stderr, "qorasst: unknown command %s\n", command.c_str());
    Usage(stderr);
    return 2;
}
