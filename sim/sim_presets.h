// Ready-made machines, and the builders of the bytes they hold, so that tests can assert
// against the same values the presets place.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim_disks.h"
#include "sim_machine.h"

namespace qorsim {

enum class Preset { kEmpty, kBlank, kRf, kDemo };

std::optional<Preset> ParsePreset(const std::string &name);

// Everything a machine directory holds, before it is written.
struct MachineContents {
    std::vector<ConfLine> conf;
    std::map<std::uint8_t, Image> devices;
    std::vector<Region> memory;
    std::map<int, SimDisk> disks;  // by drive number
    std::string host_conf;  // the host's addresses and routes (host.conf); empty: none
};

MachineContents BuildPreset(Preset preset);
// Writes the contents into dir (created if missing); touches nothing outside it.
void WriteMachine(const fs::path &dir, const MachineContents &contents);

// ---- building blocks ----------------------------------------------------------------------

// A never-written EEPROM.
Image ErasedImage();

// A memory module's SPD EEPROM: JEDEC bytes 0..127 (manufacturer code at 64, revision, date
// and a 4-byte serial number at 91..98), and, when `serial_block` is given (19 characters),
// the "11S" block with its one's-complement checksum at 128..150.
Image SpdImage(std::uint32_t module_serial, const std::optional<std::string> &serial_block);

// A formatted serial-number area (record size 20, 12 slots) holding the given records in
// slots 0, 1, ...; texts are given in display form and stored as the area keeps them.
struct SerialRecord {
    std::uint8_t type = 0;
    std::uint8_t index = 0;
    std::string text;
};
Image SerialAreaImage(const std::vector<SerialRecord> &records);
// The stored form of a display-form serial (at most 19 stored bytes).
Bytes StoredSerial(const std::string &display);

// A user area ("USR#", version 1) holding the given structures one after another from offset
// 16, with both checksums balanced and the given flags byte. Offsets 0xF8 to 0xFF stay erased:
// the user area never uses them.
Image UserAreaImage(const std::vector<Bytes> &structures, std::uint8_t flags = 0);
// One structure: type, size, the fixed bytes, then each string with its NUL.
Bytes UserStruct(std::uint8_t type, const Bytes &fixed, const std::vector<std::string> &strings);

// The RF device's register block with a valid identifier block in registers 0x10..0x1B
// (14 characters from A..Z and 0..9).
Image RfRegisterBlock(const std::string &identifier);

// A valid 128-byte EDID 1.3 block.
Bytes EdidBlock();

// Places the BIOS data area, the EBDA with its EDID record and block, the VPD block, the
// system-ID table with its UUID structure and the BIOS identification bytes.
void AddBiosMemory(MachineContents &machine);

// The values the presets place.
namespace demo {
inline constexpr std::uint8_t kModuleAddresses[2] = {0xA0, 0xA2};
inline constexpr std::uint32_t kModuleJedecSerials[2] = {0x00123456, 0x00123457};
inline constexpr std::uint8_t kSpdManufacturer = 0x2C;  // byte 64
inline constexpr const char *kModuleSerials[2] = {"11S09N4321YH10AB2C3D4E",
                                                  "11S38L2207ZK19CD4E5F60"};
inline constexpr std::uint8_t kSerialArea = 0xA8;
inline constexpr std::uint8_t kUserArea = 0xAA;
inline constexpr std::uint8_t kRfDevice = 0xB8;
// The demo user area's "User" strings and "Asset" tag.
inline constexpr const char *kUserStrings[5] = {"jdoe", "Jane", "Doe", "Accounting", "4711"};
inline constexpr const char *kAssetTag = "ASSET-004217";
inline constexpr const char *kRfIdentifier = "QOR7K2M9X4TB8A";
inline constexpr const char *kHostConf =
    "address 192.168.10.23\n"
    "route 0.0.0.0 0.0.0.0 192.168.10.1 192.168.10.23\n"
    "route 192.168.10.0 255.255.255.0 192.168.10.23 192.168.10.23\n";

inline constexpr const char *kTypeModel = "6281QK9";        // VPD 0x28, 7 characters
inline constexpr const char *kSystemSerial = "ZX40177";     // VPD 0x16, 7 characters
inline constexpr const char *kBoardSerial = "MB4K7Q20931";  // VPD 0x1D, 11 characters
inline constexpr const char *kSystemText = "1S6281QK9ZX40177";
inline constexpr const char *kBiosIdent = "6281QK9";  // at kBiosIdentAddress

inline constexpr std::uint32_t kEbdaSegment = 0x9FC0;
inline constexpr std::uint32_t kEbdaBase = 0x9FC00;
inline constexpr std::uint32_t kEdidRecord = 0x9FD80;
inline constexpr std::uint32_t kEdidBlock = 0x9FD90;
inline constexpr std::uint32_t kVpdAddress = 0xFD000;
inline constexpr std::uint8_t kVpdLength = 0x30;
inline constexpr std::uint32_t kSysIdAddress = 0xFE300;
inline constexpr std::uint32_t kUuidAddress = 0xFE320;
inline constexpr std::uint32_t kBiosIdentAddress = 0xFFFB6;
inline constexpr std::uint8_t kUuid[16] = {0x6B, 0x29, 0xF0, 0x3E, 0x81, 0x5A, 0x4D, 0x12,
                                           0x9C, 0x07, 0xE2, 0x5B, 0x31, 0xA8, 0x44, 0xD0};
inline constexpr const char *kUuidText = "6B29F03E-815A-4D12-9C07-E25B31A844D0";

inline constexpr const char *kMonitorMaker = "QOR";
inline constexpr const char *kMonitorName = "QORVIEW 1710";
inline constexpr const char *kMonitorSerial = "QK7A120345";

// Drive 0: an IDE disk that answers SMART, target id 0; drive 1: a SCSI disk that answers
// pass-through, target id 3.
inline constexpr const char *kIdeModel = "QOR DT-80G";
inline constexpr const char *kIdeSerial = "WD-WMAM9C1234567890";  // 19: the whole text
inline constexpr std::uint8_t kIdeTarget = 0;
inline constexpr const char *kScsiVendor = "QORSTOR";
inline constexpr const char *kScsiProduct = "ULTRA36LP";
inline constexpr const char *kScsiSerial = "3CC0A7F2";
inline constexpr const char *kScsiText = "ULTRA36LP3CC0A7F2";
inline constexpr std::uint8_t kScsiTarget = 3;
}  // namespace demo

}  // namespace qorsim
