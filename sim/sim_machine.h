// The simulated machine: a directory of plain files that stands in for the I2C bus devices
// and the physical memory of a PC. One implementation of its file formats, shared by our
// builds of the two hardware libraries, the qorsim tool and the test support.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qorsim {

namespace fs = std::filesystem;

using Image = std::array<std::uint8_t, 256>;
using Bytes = std::vector<std::uint8_t>;

// The environment variable that names the machine directory.
inline constexpr const char *kMachineEnv = "QORASST_MACHINE";

// Upper-case hexadecimal of bytes, no separators.
std::string Hex(const std::uint8_t *data, std::size_t size);
inline std::string Hex(const Bytes &b) {
    return Hex(b.data(), b.size());
}
// Hex digits (either case, even count) to bytes; nullopt on anything else.
std::optional<Bytes> ParseHex(const std::string &text);
// Two (or eight) upper-case hex digits, as used in file names and log lines.
std::string Hex2(unsigned value);
std::string Hex8(std::uint32_t value);
// An unsigned number in decimal, or in hex with a 0x prefix; nullopt on anything else.
std::optional<std::uint64_t> ParseNumber(const std::string &text);

// ---- machine.conf ------------------------------------------------------------------------

struct ConfLine {
    std::string key;
    std::string value;
};

// The settings the simulated hardware acts on. Unknown keys are kept in `lines` only.
struct Conf {
    bool log = false;
    bool i2c_open_fail = false;
    std::vector<std::uint64_t> fail_transfer;
    std::optional<std::uint64_t> fail_from;
    std::vector<std::uint8_t> fail_device;
    bool pmem_unavailable = false;
    bool pmem_open_fail = false;
    bool pmem_read_fail = false;
    std::string platform;  // "nt", "9x" or empty
    std::vector<ConfLine> lines;
};

Conf ParseConf(const std::string &text);
Conf ReadConf(const fs::path &dir);  // a missing file is an empty conf
// Replaces every line of `key` with one line per value, at the place of the first one (or at
// the end); an empty list removes the key. Comments and other lines are kept.
void SetConfKey(const fs::path &dir, const std::string &key,
                const std::vector<std::string> &values);
// Appends one more line for a key that may repeat.
void AddConfLine(const fs::path &dir, const std::string &key, const std::string &value);

// ---- counter -----------------------------------------------------------------------------

struct Counters {
    std::uint64_t transfers = 0;  // sequence number of the last I2C transfer
    std::uint64_t read_bytes = 0;
    std::uint64_t written_bytes = 0;
    bool operator==(const Counters &) const = default;
};

Counters ReadCounters(const fs::path &dir);
void WriteCounters(const fs::path &dir, const Counters &c);

// ---- bus devices -------------------------------------------------------------------------

fs::path DevicePath(const fs::path &dir, std::uint8_t address);
// nullopt when the device does not answer (no file, or a file that is not 256 bytes).
std::optional<Image> ReadDevice(const fs::path &dir, std::uint8_t address);
void WriteDevice(const fs::path &dir, std::uint8_t address, const Image &image);
void RemoveDevice(const fs::path &dir, std::uint8_t address);
// Addresses of all device files present, ascending.
std::vector<std::uint8_t> ListDevices(const fs::path &dir);

// ---- physical memory ---------------------------------------------------------------------

struct Region {
    std::uint64_t base = 0;
    Bytes bytes;
    std::uint64_t end() const { return base + bytes.size(); }
};

// The placed regions as files, ascending by base.
std::vector<Region> ReadRegionFiles(const fs::path &dir);
// The placed memory as non-overlapping spans, ascending: files are applied in ascending
// order of base, a later one overriding the bytes it shares with an earlier one, and regions
// that touch or overlap become one span.
std::vector<Region> MergeRegions(std::vector<Region> files);
// Places bytes at a physical address, merging with the regions it touches so that the files
// never overlap.
void PlaceMemory(const fs::path &dir, std::uint32_t address, const Bytes &bytes);

// Reads from merged spans; unplaced bytes read as zero. False when the range passes 4 GiB.
bool ReadPhysical(const std::vector<Region> &spans, std::uint64_t address, std::uint8_t *out,
                  std::uint64_t length);
// First of first, first + step, ... <= last at which all of `signature` lies in placed memory;
// 0 when there is none (or the step is 0, the signature empty or first > last).
std::uint32_t SearchPhysical(const std::vector<Region> &spans, const Bytes &signature,
                             std::uint32_t first, std::uint32_t last, std::uint32_t step);

// ---- transfer log ------------------------------------------------------------------------

fs::path LogPath(const fs::path &dir);
std::vector<std::string> ReadLog(const fs::path &dir);
void ClearLog(const fs::path &dir);

struct I2cRecord {
    std::uint64_t seq = 0;
    char dir = 'R';  // 'R' or 'W'
    std::uint8_t dev = 0;
    std::uint8_t off = 0;
    long long len = 0;
    bool ok = false;
    Bytes data;
    bool operator==(const I2cRecord &) const = default;
};

std::string FormatI2cRecord(const I2cRecord &r);
// nullopt for lines that are not I2C read/write lines.
std::optional<I2cRecord> ParseI2cRecord(const std::string &line);

// ---- locking -----------------------------------------------------------------------------

// Exclusive lock on <dir>/.lock for the life of the object, shared by threads and processes.
// It is not recursive. SetConfKey, AddConfLine, PlaceMemory, ClearLog and the hardware
// operations below take it themselves; around the plain readers and writers (ReadDevice,
// WriteDevice, ReadCounters, WriteCounters, ReadLog ...) a caller holds it when other
// processes may be at work on the machine.
class MachineLock {
  public:
    explicit MachineLock(const fs::path &dir);
    ~MachineLock();
    MachineLock(const MachineLock &) = delete;
    MachineLock &operator=(const MachineLock &) = delete;
    bool locked() const { return locked_; }

  private:
    std::intptr_t handle_ = -1;
    bool locked_ = false;
};

// ---- the hardware operations (what the two libraries do) ----------------------------------

// The machine named by the environment; nullopt when unset, empty or not a directory.
std::optional<fs::path> MachineFromEnv();

enum : int { kOk = 0, kFail = 1, kDeviceFault = 2 };

int I2cOpen(const fs::path &dir);  // 1 usable, 0 not
void I2cClose(const fs::path &dir);
int I2cRead(const fs::path &dir, std::uint8_t device, std::uint8_t offset, std::uint8_t *buffer,
            int length);
int I2cWrite(const fs::path &dir, std::uint8_t device, std::uint8_t offset,
             const std::uint8_t *buffer, int length);

int PMemIsInitialized(const fs::path &dir);
int PMemOpen(const fs::path &dir);
void PMemClose(const fs::path &dir);
int PMemRead(const fs::path &dir, void *buffer, std::uint32_t address, std::uint32_t length);
std::uint32_t PMemSearch(const fs::path &dir, const char *signature, std::uint32_t first,
                         std::uint32_t last, std::uint32_t step);

}  // namespace qorsim
