// The inventory tool's sections and commands, one file per subject.
#pragma once

#include "library.h"
#include "report.h"

// Each adds its section to the report.
void AddStatusSection(ReportValue &report);
void AddSerialSection(ReportValue &report);
void AddMonitorSection(ReportValue &report);
void AddBiosSection(ReportValue &report);
void AddRfidSection(ReportValue &report);
// Asks the drives itself, as the library does at start-up.
void AddDiskSection(ReportValue &report);
// On a real machine: the bus and physical memory in use, or why they are missing.
void AddMachineSection(ReportValue &report);
// Bus writes refused in this process because they are off on a real machine; -1 when writes
// are allowed or there is no real machine.
int RefusedBusWrites();

// qorasst serial get|set|delete ...: argv[0] is the verb. Answers the exit status.
int SerialCommand(int argc, char **argv);
void AddHostSection(ReportValue &report);

// Refuses a command's arguments: one line on standard error with the reason. Answers 2, the
// exit status of bad arguments.
int Refuse(const char *format, ...) __attribute__((format(printf, 1, 2)));

void AddUserSection(ReportValue &report);

// qorasst user [set|delete ...]: argv[0] is the verb (none: the list). Answers the exit status.
int UserCommand(int argc, char **argv);
// qorasst inspect FILE: explains a 256-byte asset-EEPROM dump; 0 sound, 1 damaged, 2 usage.
int InspectCommand(int argc, char **argv);
