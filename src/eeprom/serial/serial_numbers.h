// The serial-number exports' shared pieces and the serial synchronisation thread.
#pragma once

#include <cstdint>

// Device types with a meaning of their own.
constexpr int kTypeDisk = 2;
constexpr int kTypeSystem = 4;
constexpr int kTypeBoard = 8;
constexpr int kTypeMonitor = 14;
constexpr int kTypeIdeDisk = 15;
constexpr int kTypeModule = 17;
constexpr int kTypeScsiDisk = 19;
constexpr int kTypeLiveModule = 256;
constexpr int kTypeUuid = 257;
constexpr int kMaxKeyType = 31;  // the record key keeps five bits of type
constexpr int kSyncModules = 4;  // memory modules the synchronisation thread records

// Number of serial-cache slots that may be read: the current record count, never more than
// the cache was laid out for.
int SerialCacheCount();

// Started once at process attach with a SerialSyncParams*: brings the disk and memory-module
// records of the serial-number area into line with the hardware, then reloads the cache.
void SerialSyncThread(void *params);
