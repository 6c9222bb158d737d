// The simulated machine's disks: one text file per drive number, disks/<N>.disk, read by the
// library's simulated disk backend. Builders of IDENTIFY and INQUIRY data for presets, qorsim
// and tests.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "sim_machine.h"

namespace qorsim {

struct SimDisk {
    Bytes identify;        // ATA IDENTIFY DEVICE data (up to 512 bytes)
    Bytes inquiry;         // SCSI INQUIRY data (up to 255 bytes)
    Bytes miniport_other;  // IDENTIFY data of the other device on the IDE channel
    bool opens = true;
    bool write_denied = false;      // opens for reading only (write access is denied)
    bool smart = false;             // SMART IDENTIFY answers
    std::uint8_t driver_error = 0;  // SMARTVSD's error byte with it
    std::optional<std::array<std::uint8_t, 2>> miniport;  // presence bytes of targets 0 and 1
    std::optional<std::uint8_t> passthrough;              // pass-through answers, SCSI status
    std::uint32_t align_mask = 0;                         // the adapter's data buffer alignment
    std::optional<std::array<std::uint8_t, 4>> address;   // port, path id, target id, LUN
    unsigned delay_ms = 0;                                // how long every request takes
};

inline constexpr int kDiskDrives = 24;

fs::path DiskPath(const fs::path &dir, int drive);
std::string DiskFileText(const SimDisk &disk);
void WriteDisk(const fs::path &dir, int drive, const SimDisk &disk);
void RemoveDisk(const fs::path &dir, int drive);
// Drive numbers with a file, ascending, and each file's text.
std::vector<std::pair<int, std::string>> ListDisks(const fs::path &dir);

// The request log of the disks (written while `log on` is set).
fs::path DiskLogPath(const fs::path &dir);
std::vector<std::string> ReadDiskLog(const fs::path &dir);

// IDENTIFY data of an ATA disk: word 1 (cylinders) set, the serial number in words 10 to 19
// and the model in words 27 to 46, space-padded, in ATA byte order.
Bytes IdentifyData(const std::string &model, const std::string &serial);
// INQUIRY data of a direct-access device: vendor (8), product (16), revision (4) and the
// serial number in the vendor-specific area from byte 36 (20, space-padded).
Bytes InquiryData(const std::string &vendor, const std::string &product, const std::string &serial);
// An IDE disk that answers SMART, and a SCSI disk that answers pass-through, at a target id.
SimDisk IdeDisk(const Bytes &identify, std::uint8_t target);
SimDisk ScsiDisk(const Bytes &inquiry, std::uint8_t target);

// ---- the ASPI manager (95 family): aspi.conf -------------------------------------------------

// How a device completes a request: at once, a little later (signalling the event), too late
// for the caller's wait, never, or later with an error status.
enum class AspiCompletion { kNow, kPending, kLate, kNever, kError };
const char *AspiCompletionName(AspiCompletion completion);
std::optional<AspiCompletion> ParseAspiCompletion(const std::string &name);

struct AspiDevice {
    int adapter = 0, target = 0, lun = 0;
    AspiCompletion completion = AspiCompletion::kNow;
    Bytes inquiry;  // INQUIRY data (byte 0: the device type)
    bool operator==(const AspiDevice &) const = default;
};

struct AspiConf {
    int support = 1;   // the status the support information reports (1: success)
    int adapters = 1;  // host adapters
    std::vector<AspiDevice> devices;
    bool operator==(const AspiConf &) const = default;
};

fs::path AspiPath(const fs::path &dir);
AspiConf ReadAspi(const fs::path &dir);  // a missing file is the default conf
void WriteAspi(const fs::path &dir, const AspiConf &conf);
// Adds a device, replacing one at the same position.
void AddAspiDevice(const fs::path &dir, const AspiDevice &device);

}  // namespace qorsim
