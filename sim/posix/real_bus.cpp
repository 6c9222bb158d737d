// The real bus on Linux: one SMBus adapter through i2c-dev. Each transfer is one combined
// I2C_RDWR request where the adapter can do plain I2C; PC SMBus controllers mostly cannot,
// and then reads go as SMBus I2C-block reads of up to 32 bytes (or byte reads) at rising
// offsets. Writes are refused unless QORASST_I2C_WRITE=1: on an ordinary PC the probed
// addresses are the memory modules' SPD EEPROMs, which a stray write can ruin; and even then
// a device whose first bytes read as SPD data is never written.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "real_backend.h"
#include "real_sys.h"

namespace qorreal {

namespace {

constexpr const char *kAdapterDir = "/sys/class/i2c-adapter";
constexpr int kWriteCycleMs = 10;  // an EEPROM ignores the bus while it stores a write
constexpr int kBlockMax = I2C_SMBUS_BLOCK_MAX;

struct Adapter {
    int number = -1;
    std::string name;
};

struct Bus {
    std::mutex lock;  // one transfer at a time: the SMBus path sets the address per descriptor
    int fd = -1;
    unsigned long funcs = 0;
    Adapter adapter;
    std::string why;  // why the last open failed
    std::atomic<int> refused{0};
    int spd_refused = 0;                    // writes refused to SPD-looking devices
    std::vector<std::uint8_t> spd_devices;  // and those devices, in the order met
};

Bus &TheBus() {
    // Never destroyed: the library's detach runs after the exit handlers.
    static Bus *bus = new Bus;
    return *bus;
}

bool WritesAllowed() {
    const char *v = std::getenv(kWriteEnv);
    return v != nullptr && std::strcmp(v, "1") == 0;
}

std::string ReadSmallFile(const std::string &path) {
    const QorSysOps &sys = Sys();
    int fd = sys.open(path.c_str(), O_RDONLY);
    if (fd < 0) return {};
    char buf[128];
    long n = sys.pread(fd, buf, sizeof buf, 0);
    sys.close(fd);
    std::string text(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// "i2c-N" (or plain digits) to N; -1 for anything else.
int AdapterNumber(const std::string &text) {
    std::string digits = text.rfind("i2c-", 0) == 0 ? text.substr(4) : text;
    if (digits.empty() || digits.size() > 6 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::atoi(digits.c_str());
}

// The adapters the kernel lists, ascending by number; false when the list is unreadable.
bool ListAdapters(std::vector<Adapter> &out) {
    std::vector<int> numbers;
    auto each = [](const char *name, void *ctx) {
        int n = AdapterNumber(name);
        if (n >= 0 && std::strncmp(name, "i2c-", 4) == 0) {
            static_cast<std::vector<int> *>(ctx)->push_back(n);
        }
    };
    if (Sys().list(kAdapterDir, each, &numbers) != 0) return false;
    std::sort(numbers.begin(), numbers.end());
    for (int n : numbers) {
        std::string base = std::string(kAdapterDir) + "/i2c-" + std::to_string(n);
        out.push_back({n, ReadSmallFile(base + "/name")});
    }
    return true;
}

// PC SMBus controllers' drivers name their adapters "SMBus ..." (i801, PIIX4 and AMD FCH,
// nForce2, VIA, SiS, ALi, AMD756/8111, iSMT); display and touchpad adapters never do.
bool IsSmbusController(const std::string &name) {
    return name.rfind("SMBus", 0) == 0;
}

std::string Names(const std::vector<Adapter> &adapters) {
    std::string names;
    for (const auto &a : adapters) {
        names += (names.empty() ? "" : ", ") + ("i2c-" + std::to_string(a.number)) + " \"" +
                 a.name + "\"";
    }
    return names.empty() ? "none" : names;
}

// The adapter named by QORASST_I2C_BUS, else the first PC SMBus controller.
bool ChooseAdapter(Adapter &chosen, std::string &why) {
    std::vector<Adapter> adapters;
    const bool listed = ListAdapters(adapters);
    const char *wanted = std::getenv(kBusEnv);
    if (wanted != nullptr && *wanted != '\0') {
        const std::string w = wanted;
        if (int n = AdapterNumber(w); n >= 0) {
            chosen = {n, ""};
            for (const auto &a : adapters) {
                if (a.number == n) chosen.name = a.name;
            }
            return true;
        }
        for (bool prefix : {false, true}) {
            for (const auto &a : adapters) {
                if (prefix ? a.name.rfind(w, 0) == 0 : a.name == w) {
                    chosen = a;
                    return true;
                }
            }
        }
        why = std::string(kBusEnv) + "=\"" + w +
              "\" names no I2C adapter (adapters: " + Names(adapters) + ")";
        return false;
    }
    if (!listed) {
        why =
            "no I2C adapters: the kernel lists none (" + std::string(kAdapterDir) + " is missing)";
        return false;
    }
    for (const auto &a : adapters) {
        if (IsSmbusController(a.name)) {
            chosen = a;
            return true;
        }
    }
    why = "no SMBus adapter (adapters: " + Names(adapters) +
          "): load the SMBus controller's driver (i2c-i801 on Intel, i2c-piix4 on AMD) or name "
          "an adapter with " +
          std::string(kBusEnv);
    return false;
}

// Opens the chosen adapter's i2c-dev node; -1 and why on failure. The caller holds the lock.
int OpenAdapter(Bus &bus) {
    Adapter a;
    if (!ChooseAdapter(a, bus.why)) return -1;
    const std::string node = "/dev/i2c-" + std::to_string(a.number);
    const QorSysOps &sys = Sys();
    int fd = sys.open(node.c_str(), O_RDWR);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT) {
            bus.why = node + " is missing: load the i2c-dev module (modprobe i2c-dev)";
        } else if (e == EACCES || e == EPERM) {
            bus.why = node + ": no permission: run as root";
        } else {
            bus.why = node + ": " + std::strerror(e);
        }
        return -1;
    }
    unsigned long funcs = 0;
    if (sys.ioctl(fd, I2C_FUNCS, &funcs) != 0 ||
        (funcs & (I2C_FUNC_I2C | I2C_FUNC_SMBUS_READ_BYTE_DATA)) == 0) {
        bus.why = node + " can neither do I2C transfers nor SMBus reads";
        sys.close(fd);
        return -1;
    }
    bus.adapter = a;
    bus.funcs = funcs;
    bus.why.clear();
    return fd;
}

// The 7-bit address of an even 8-bit one; -1 for reserved addresses, never put on the bus.
int Address7(std::uint8_t device) {
    const int a = device >> 1;
    return a >= 0x08 && a <= 0x77 ? a : -1;
}

bool FitsDevice(std::uint8_t command, int length) {
    return length >= 1 && command + length <= 256;
}

bool SetAddress(const Bus &bus, int address) {
    const QorSysOps &sys = Sys();
    if (sys.ioctl(bus.fd, I2C_SLAVE, reinterpret_cast<void *>(static_cast<long>(address))) == 0) {
        return true;
    }
    // A kernel driver (at24, ee1004, spd5118) may have claimed the SPD EEPROM: reading beside
    // it is harmless, and writes only go out when the user has asked for them.
    return errno == EBUSY && sys.ioctl(bus.fd, I2C_SLAVE_FORCE,
                                       reinterpret_cast<void *>(static_cast<long>(address))) == 0;
}

bool Smbus(const Bus &bus, char read_write, std::uint8_t command, int size, i2c_smbus_data &data) {
    i2c_smbus_ioctl_data args{
        static_cast<__u8>(read_write == 'R' ? I2C_SMBUS_READ : I2C_SMBUS_WRITE), command,
        static_cast<__u32>(size), &data};
    return Sys().ioctl(bus.fd, I2C_SMBUS, &args) == 0;
}

bool ReadSmbus(const Bus &bus, int address, std::uint8_t command, std::uint8_t *out, int length) {
    if (!SetAddress(bus, address)) return false;
    const bool block = (bus.funcs & I2C_FUNC_SMBUS_READ_I2C_BLOCK) != 0;
    for (int done = 0; done < length;) {
        const auto at = static_cast<std::uint8_t>(command + done);
        i2c_smbus_data data{};
        if (block) {
            const int n = std::min(kBlockMax, length - done);
            data.block[0] = static_cast<__u8>(n);
            if (!Smbus(bus, 'R', at, I2C_SMBUS_I2C_BLOCK_DATA, data) || data.block[0] < n) {
                return false;
            }
            std::memcpy(out + done, data.block + 1, static_cast<std::size_t>(n));
            done += n;
        } else {
            if (!Smbus(bus, 'R', at, I2C_SMBUS_BYTE_DATA, data)) return false;
            out[done++] = data.byte;
        }
    }
    return true;
}

bool WriteSmbus(const Bus &bus, int address, std::uint8_t command, const std::uint8_t *in,
                int length) {
    if (!SetAddress(bus, address)) return false;
    if ((bus.funcs & I2C_FUNC_SMBUS_WRITE_I2C_BLOCK) != 0 && length <= kBlockMax) {
        i2c_smbus_data data{};
        data.block[0] = static_cast<__u8>(length);
        std::memcpy(data.block + 1, in, static_cast<std::size_t>(length));
        if (!Smbus(bus, 'W', command, I2C_SMBUS_I2C_BLOCK_DATA, data)) return false;
        Sys().pause_ms(kWriteCycleMs);
        return true;
    }
    if ((bus.funcs & I2C_FUNC_SMBUS_WRITE_BYTE_DATA) == 0) return false;
    for (int i = 0; i < length; ++i) {
        i2c_smbus_data data{};
        data.byte = in[i];
        if (!Smbus(bus, 'W', static_cast<std::uint8_t>(command + i), I2C_SMBUS_BYTE_DATA, data)) {
            return false;
        }
        Sys().pause_ms(kWriteCycleMs);
    }
    return true;
}

bool Rdwr(const Bus &bus, i2c_msg *messages, int count) {
    i2c_rdwr_ioctl_data args{messages, static_cast<__u32>(count)};
    return Sys().ioctl(bus.fd, I2C_RDWR, &args) == count;
}

// Reads into `out` only when the whole transfer succeeded. The caller holds the lock.
bool ReadDevice(const Bus &bus, int address, std::uint8_t command, std::uint8_t *out, int length) {
    std::vector<std::uint8_t> in(static_cast<std::size_t>(length));
    bool ok;
    if ((bus.funcs & I2C_FUNC_I2C) != 0) {
        std::uint8_t offset = command;
        i2c_msg messages[2] = {
            {static_cast<__u16>(address), 0, 1, &offset},
            {static_cast<__u16>(address), I2C_M_RD, static_cast<__u16>(length), in.data()}};
        ok = Rdwr(bus, messages, 2);
    } else {
        ok = ReadSmbus(bus, address, command, in.data(), length);
    }
    if (ok) std::memcpy(out, in.data(), in.size());
    return ok;
}

// The first bytes of a memory module's SPD EEPROM: JEDEC's key byte at offset 2 names the
// memory type, 0x01 to 0x15 (0x01-0x03 FPM, EDO and pipelined-nibble DRAM, 0x04 SDRAM, 0x05
// ROM, 0x06 DDR SGRAM, 0x07 DDR, 0x08 DDR2, 0x09-0x0A DDR2 FB-DIMM, 0x0B DDR3, 0x0C DDR4,
// 0x0E DDR4E, 0x0F-0x11 LPDDR3 to LPDDR4X, 0x12 DDR5, 0x13-0x15 LPDDR5, DDR5 NVDIMM-P,
// LPDDR5X). A DDR5 module's SPD hub shows its own registers first: MR0 and MR1 hold its
// type, 0x51 0x18.
bool LooksLikeSpd(const std::uint8_t *first) {
    return (first[2] >= 0x01 && first[2] <= 0x15) || (first[0] == 0x51 && first[1] == 0x18);
}

bool HoldsOurArea(const std::uint8_t *first) {
    return std::memcmp(first, "SER#", 4) == 0 || std::memcmp(first, "USR#", 4) == 0;
}

// A write may go to the device unless its first bytes read as SPD data and it holds none of
// our areas (then the refusal is counted); a device that does not answer takes no write
// either. The caller holds the lock.
bool MayWrite(Bus &bus, std::uint8_t device, int address) {
    std::uint8_t first[4];
    if (!ReadDevice(bus, address, 0, first, sizeof first)) return false;
    if (!LooksLikeSpd(first) || HoldsOurArea(first)) return true;
    ++bus.spd_refused;
    if (std::find(bus.spd_devices.begin(), bus.spd_devices.end(), device) ==
        bus.spd_devices.end()) {
        bus.spd_devices.push_back(device);
    }
    return false;
}

}  // namespace

int BusOpen() {
    Bus &bus = TheBus();
    std::lock_guard<std::mutex> hold(bus.lock);
    if (bus.fd < 0) bus.fd = OpenAdapter(bus);
    return bus.fd >= 0 ? 1 : 0;
}

void BusClose() {
    Bus &bus = TheBus();
    std::lock_guard<std::mutex> hold(bus.lock);
    if (bus.fd >= 0) Sys().close(bus.fd);
    bus.fd = -1;
}

int BusRead(std::uint8_t device, std::uint8_t command, std::uint8_t *buffer, int length) {
    const int address = Address7(device);
    if (address < 0 || buffer == nullptr || !FitsDevice(command, length)) return 1;
    Bus &bus = TheBus();
    std::lock_guard<std::mutex> hold(bus.lock);
    return bus.fd >= 0 && ReadDevice(bus, address, command, buffer, length) ? 0 : 1;
}

int BusWrite(std::uint8_t device, std::uint8_t command, const std::uint8_t *buffer, int length) {
    Bus &bus = TheBus();
    if (!WritesAllowed()) {
        ++bus.refused;
        return 1;
    }
    const int address = Address7(device);
    if (address < 0 || buffer == nullptr || !FitsDevice(command, length)) return 1;
    std::lock_guard<std::mutex> hold(bus.lock);
    if (bus.fd < 0 || !MayWrite(bus, device, address)) return 1;
    if ((bus.funcs & I2C_FUNC_I2C) == 0) {
        return WriteSmbus(bus, address, command, buffer, length) ? 0 : 1;
    }
    std::vector<std::uint8_t> out(buffer, buffer + length);
    out.insert(out.begin(), command);
    i2c_msg message = {static_cast<__u16>(address), 0, static_cast<__u16>(out.size()), out.data()};
    if (!Rdwr(bus, &message, 1)) return 1;
    Sys().pause_ms(kWriteCycleMs);
    return 0;
}

int BusDiagnose(std::string &text) {
    Bus &bus = TheBus();
    std::lock_guard<std::mutex> hold(bus.lock);
    int fd = bus.fd >= 0 ? bus.fd : OpenAdapter(bus);
    if (fd < 0) {
        text = bus.why;
        return 0;
    }
    if (fd != bus.fd) Sys().close(fd);  // only a probe: the bus stays as it was
    const char *how = (bus.funcs & I2C_FUNC_I2C) != 0                    ? "I2C transfers"
                      : (bus.funcs & I2C_FUNC_SMBUS_READ_I2C_BLOCK) != 0 ? "SMBus I2C-block reads"
                                                                         : "SMBus byte reads";
    text = "i2c-" + std::to_string(bus.adapter.number) + " \"" + bus.adapter.name + "\", " + how +
           ", writes " + (WritesAllowed() ? "on" : "off");
    if (bus.spd_refused > 0) {
        text += "; " + std::to_string(bus.spd_refused) + " refused to";
        for (std::size_t i = 0; i < bus.spd_devices.size(); ++i) {
            char device[8];
            std::snprintf(device, sizeof device, "%s0x%02X", i == 0 ? " " : ", ",
                          bus.spd_devices[i]);
            text += device;
        }
        text += ", whose first bytes read as a memory module's SPD data";
    }
    return 1;
}

int BusRefusedWrites() {
    return WritesAllowed() ? -1 : TheBus().refused.load();
}

}  // namespace qorreal
