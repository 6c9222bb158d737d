// On a real machine, why a hardware source is missing or which one is in use. Our builds of
// the hardware libraries answer a diagnostic query each; other builds lack it, and on a
// simulated machine it has nothing to say: then no section is added.
#include <string>

#include "hwdiag.h"
#include "qorasst.h"

namespace {

using DiagnosticFn = int (*)(char *, int);
using CountFn = int (*)();

// -1 when the library has nothing to say.
int Ask(const char *library, const char *name, std::string &text) {
    auto query = reinterpret_cast<DiagnosticFn>(HardwareFunction(library, name));
    if (query == nullptr) return -1;
    char buffer[512] = {};
    const int usable = query(buffer, static_cast<int>(sizeof buffer));
    text = buffer;
    return usable;
}

}  // namespace

int RefusedBusWrites() {
    auto refused_writes =
        reinterpret_cast<CountFn>(HardwareFunction("kelbW.dll", kQorBusRefusedWrites));
    return refused_writes ? refused_writes() : -1;
}

void AddMachineSection(ReportValue &report) {
    std::string bus, memory;
    const int bus_usable = Ask("kelbW.dll", kQorBusDiagnostic, bus);
    const int memory_usable = Ask("tavrW.dll", kQorPMemDiagnostic, memory);
    if (bus_usable < 0 && memory_usable < 0) return;
    ReportValue &machine = report.Add("machine", ReportValue::Object());
    if (bus_usable >= 0) {
        machine.Add("bus", ReportValue::Text(bus_usable ? bus : "missing: " + bus));
    }
    if (memory_usable >= 0) {
        machine.Add("physical_memory",
                    ReportValue::Text(memory_usable ? memory : "missing: " + memory));
    }
    // Refused writes matter where the library wanted to write: an RF board (formatting, the
    // records' synchronisation) or a store that was refused.
    const int refused = RefusedBusWrites();
    if (refused > 0 || (refused == 0 && Qor().AssetIsRfEeprom() != 0)) {
        machine.Add("writes", ReportValue::Text("off, " + std::to_string(refused) +
                                                " refused (QORASST_I2C_WRITE=1 allows them)"));
    }
}
