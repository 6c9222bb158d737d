// Monitor identity: the EDID block captured at process attach and what is decoded from it.
#pragma once

// Copies the monitor's EDID block from the BIOS's EBDA pointer record into this process.
// Called once by process attach; 0 on success, otherwise 52, 53, 54, 55 or 58. A failure
// leaves no block captured, so every monitor function then answers 51.
int MonitorCaptureEDID();

// The monitor's serial number from its 0xFF descriptors, delivered like the exported monitor
// texts. 0, 51 (no block) or 56 (no serial-number descriptor).
int MonitorGetSerialNumber(char *buffer, int size);
