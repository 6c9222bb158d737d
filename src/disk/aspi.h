// SCSI devices through the ASPI manager of the 95 family: loading it, and one INQUIRY to an
// adapter, target and LUN, completed through the named event. Each answers 1 or 0.
#pragma once

#include <cstdint>

#include "platform/diskio.h"

// Loads the manager; *adapters is its host adapter count, or 0 when its support information
// reports no success. 0 (and *adapters 0) when it is missing or lacks an entry point.
int AspiLoad(uint32_t *adapters);
// The INQUIRY data (at least 255 bytes of room) of one device.
int AspiInquiry(uint8_t adapter, uint8_t target, uint8_t lun, uint8_t *inquiry);
// One command (16 bytes, the first 6 significant) through the manager, completed through
// `event`; 1 when the request completed without error.
int AspiExecScsiCommand(PlatEvent *event, const uint8_t *cdb, uint8_t *data, uint32_t length,
                        uint8_t adapter, uint8_t target, uint8_t lun, uint8_t flags);
