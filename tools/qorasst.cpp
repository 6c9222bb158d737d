// qorasst: the inventory report. The commands that ask the machine load the library as any
// application does, so what they print is what an application sees.
#include "qorasst.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "QORasstW.h"

void AddStatusSection(ReportValue &report) {
    ReportValue &status = report.Add("status", ReportValue::Object());
    status.Add("initialized", ReportValue::Bool(Qor().AssetIsInitialized() != 0));
    status.Add("asset_eeprom", ReportValue::Bool(Qor().AssetIsEeprom() != 0));
    status.Add("rf_eeprom", ReportValue::Bool(Qor().AssetIsRfEeprom() != 0));
    status.Add("monitor", ReportValue::Bool(Qor().AssetIsMonitor() != 0));
}

namespace {

enum class Sections { kAll, kStatus, kDisks, kHost };
enum class Format { kText, kJson, kOcs };

// The inventory is collected once; the formats are views of it.
int Report(Format format, Sections sections) {
    ReportValue report = ReportValue::Object();
    if (format == Format::kJson) {
        report.Add("schema_version", ReportValue::Number(kReportSchemaVersion));
    }
    if (sections == Sections::kDisks) {
        AddDiskSection(report);
    } else if (sections == Sections::kHost) {
        AddHostSection(report);
    } else {
        AddStatusSection(report);
        AddMachineSection(report);
    }
    if (sections == Sections::kAll) {
        AddSerialSection(report);
        AddUserSection(report);
        AddDiskSection(report);
        AddMonitorSection(report);
        AddBiosSection(report);
        AddRfidSection(report);
        AddHostSection(report);
    }
    if (format == Format::kOcs) {
        std::fputs(OcsInventory(report).c_str(), stdout);
    } else if (format == Format::kJson) {
        std::printf("%s\n", report.ToJson().c_str());
    } else {
        std::printf("%s\n", report.ToText().substr(1).c_str());
    }
    return 0;
}

// report, status, disks and ip take one option: --format text|json|ocs (--json for json).
int ReportCommand(const char *name, int argc, char **argv, Sections sections) {
    Format format = Format::kText;
    for (int i = 0; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--format" && i + 1 < argc) word += "=" + std::string(argv[++i]);
        if (word == "--json" || word == "--format=json") {
            format = Format::kJson;
        } else if (word == "--format=text") {
            format = Format::kText;
        } else if (word == "--format=ocs") {
            format = Format::kOcs;
        } else {
            return Refuse("%s: unknown argument %s", name, word.c_str());
        }
    }
    return Report(format, sections);
}

int FullReport(int argc, char **argv) {
    return ReportCommand("report", argc, argv, Sections::kAll);
}
int StatusReport(int argc, char **argv) {
    return ReportCommand("status", argc, argv, Sections::kStatus);
}
int DiskReport(int argc, char **argv) {
    return ReportCommand("disks", argc, argv, Sections::kDisks);
}
int HostReport(int argc, char **argv) {
    return ReportCommand("ip", argc, argv, Sections::kHost);
}

// The commands: the help text is made from this table, so a new command is one row here (a
// command with several forms has a row per form). A command gets the arguments after its
// name and answers the exit status.
struct Command {
    const char *name;
    const char *arguments;
    const char *summary;
    int (*run)(int argc, char **argv);
};
const Command kCommands[] = {
    {"report", "[--format text|json|ocs]", "the inventory of this machine (the default command)",
     FullReport},
    {"status", "[--json]", "the library's status only", StatusReport},
    {"disks", "[--json]",
     "each disk entry: where, the method that answered, interface, address, text", DiskReport},
    {"serial", "get TYPE INDEX", "one serial number, or why there is none", SerialCommand},
    {"serial", "set TYPE INDEX TEXT", "record a serial number", SerialCommand},
    {"serial", "delete TYPE INDEX", "remove the record of a serial number", SerialCommand},
    {"user", "[--json]", "the user area's structures (\"Network\" decoded)", UserCommand},
    {"user", "set TYPE [--fixed HEX] STRING...", "store one user-area structure", UserCommand},
    {"user", "delete TYPE", "remove the user-area structure of a type", UserCommand},
    {"inspect", "FILE [--json]", "explain a 256-byte asset-EEPROM dump, offline", InspectCommand},
    {"ip", "[--json]", "login and computer name, addresses with masks, gateway", HostReport},
};

void Help() {
    std::printf(
        "usage: qorasst [COMMAND] [ARGUMENTS]\n"
        "       qorasst --help | --version\n\n"
        "The inventory of this machine as the QORasstW library reports it.\n\n"
        "Commands:\n");
    for (const Command &c : kCommands) {
        const std::string synopsis = std::string(c.name) + " " + c.arguments;
        std::printf("  %-32s %s\n", synopsis.c_str(), c.summary);
    }
    std::printf("\nExit status: 0 done, 1 the library refused or failed, 2 bad arguments.\n");
}

}  // namespace

int Refuse(const char *format, ...) {
    std::fprintf(stderr, "qorasst: ");
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, " (see qorasst --help)\n");
    return 2;
}

int main(int argc, char **argv) {
    if (argc < 2) return FullReport(0, argv + 1);
    const char *first = argv[1];
    if (std::strcmp(first, "--help") == 0 || std::strcmp(first, "-h") == 0) {
        Help();
        return 0;
    }
    if (std::strcmp(first, "--version") == 0) {
        std::printf("qorasst %s\n", QORASST_VERSION);
        return 0;
    }
    // Options alone are the report's: qorasst --json.
    if (first[0] == '-') return FullReport(argc - 1, argv + 1);
    for (const Command &c : kCommands) {
        if (std::strcmp(first, c.name) == 0) return c.run(argc - 2, argv + 2);
    }
    return Refuse("unknown command %s", first);
}
