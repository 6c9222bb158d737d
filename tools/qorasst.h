// The inventory tool's sections and commands, one file per subject.
#pragma once

#include "report.h"

// Each adds its section to the report.
void AddStatusSection(ReportValue &report);
void AddSerialSection(ReportValue &report);
void AddMonitorSection(ReportValue &report);
void AddBiosSection(ReportValue &report);
void AddRfidSection(ReportValue &report);
void AddHostSection(ReportValue &report);

// qorasst serial get|set|delete ...: argv[0] is the verb. Answers the exit status.
int SerialCommand(int argc, char **argv);
