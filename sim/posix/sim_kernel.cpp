// The simulated kernel: the system calls of our real backends (real_sys.h) answered from a
// simulated machine instead of the devices of this PC. Built as its own shared object; a
// process that preloads it and names a machine in QORSIM_KERNEL runs the real bus and memory
// code unchanged against that machine, and every request that would have reached the kernel
// is logged, one line each, to the machine's kernel.log.
//
// The machine's i2c images answer on one adapter; physical memory is its placed memory.
// machine.conf keys of the kernel (all optional):
//   kernel_adapter N NAME    an adapter listed in /sys/class/i2c-adapter (may repeat; without
//                            one: 0 "SMBus I801 adapter at efa0"; "none": no adapter list)
//   kernel_bus N             the adapter the devices answer on (default: the first listed)
//   kernel_funcs i2c|block|byte   what it can do: I2C_RDWR, SMBus I2C-block and byte
//                            transfers, or SMBus byte transfers only (default i2c)
//   kernel_i2c_dev missing|denied and kernel_mem missing|denied   open fails with ENOENT or
//                            EACCES
//   kernel_claimed XX        a kernel driver holds the 7-bit address XX: I2C_SLAVE answers
//                            EBUSY there, I2C_SLAVE_FORCE works (may repeat)
//
// Each answer is the kernel's, as its sources and documentation give it:
// - i2c-dev (drivers/i2c/i2c-dev.c, Documentation/i2c/dev-interface.rst): I2C_SLAVE takes a
//   7-bit address (EINVAL above 0x7F) and answers EBUSY where a driver holds it, which
//   I2C_SLAVE_FORCE ignores; I2C_FUNCS writes an unsigned long; I2C_RDWR answers the number
//   of messages; an adapter without plain I2C refuses it with EOPNOTSUPP (i2c_transfer,
//   drivers/i2c/i2c-core-base.c), as it refuses SMBus transfers it cannot do; an I2C-block
//   length outside 1 to 32 is EINVAL (drivers/i2c/i2c-core-smbus.c); a device that does not
//   acknowledge gives ENXIO (the PC controllers' drivers, e.g. i2c-i801.c).
// - The devices are 24C02-class EEPROMs: a read runs on through the whole device and wraps
//   at its end; a write wraps inside its 8-byte page (the smallest page of the family).
// - /dev/mem (drivers/char/mem.c read_mem, arch/x86/mm/init.c devmem_is_allowed): with
//   STRICT_DEVMEM, as every distribution builds it, the first MiB reads (RAM there as
//   zeros) and RAM above it is refused with EPERM; opening needs CAP_SYS_RAWIO (EPERM) and
//   the node's permission (EACCES).
// - sysfs: /sys/class/i2c-adapter lists i2c-N; each one's name file holds its name and a
//   newline (drivers/i2c/i2c-core-base.c, name_show).
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "real_sys.h"
#include "sim_machine.h"

namespace {

namespace fs = std::filesystem;
using qorsim::Hex2;

constexpr const char *kKernelEnv = "QORSIM_KERNEL";
constexpr const char *kAdapterDir = "/sys/class/i2c-adapter";

struct Adapter {
    int number;
    std::string name;
};

struct Kernel {
    std::vector<Adapter> adapters;
    bool listed = true;
    int bus = -1;
    unsigned long funcs = I2C_FUNC_I2C;
    std::string i2c_dev, mem;
    std::vector<int> claimed;
};

struct File {
    std::string path;
    int adapter = -1;  // i2c-dev nodes
    int slave = -1;
    std::string content;  // sysfs files
};

// The kernel may be asked before this object's own initialisers have run (the library's
// start-up runs at load time too), so its tables come to life at first use.
struct Files {
    std::mutex lock;
    std::map<int, File> open;
    int next_fd = 10000;
};

Files &TheFiles() {
    // Never destroyed: the library's detach runs after the exit handlers.
    static Files *files = new Files;
    return *files;
}

fs::path Dir() {
    return fs::path(std::getenv(kKernelEnv));
}

Kernel ReadKernel() {
    Kernel k;
    for (const auto &line : qorsim::ReadConf(Dir()).lines) {
        const std::string &v = line.value;
        if (line.key == "kernel_adapter" && v == "none") {
            k.listed = false;
        } else if (line.key == "kernel_adapter") {
            const auto space = v.find(' ');
            k.adapters.push_back(
                {std::atoi(v.c_str()), space == std::string::npos ? "" : v.substr(space + 1)});
        } else if (line.key == "kernel_bus") {
            k.bus = std::atoi(v.c_str());
        } else if (line.key == "kernel_funcs") {
            k.funcs = v == "byte"    ? I2C_FUNC_SMBUS_BYTE_DATA
                      : v == "block" ? I2C_FUNC_SMBUS_BYTE_DATA | I2C_FUNC_SMBUS_I2C_BLOCK
                                     : I2C_FUNC_I2C;
        } else if (line.key == "kernel_i2c_dev") {
            k.i2c_dev = v;
        } else if (line.key == "kernel_claimed") {
            k.claimed.push_back(static_cast<int>(std::strtol(v.c_str(), nullptr, 16)));
        } else if (line.key == "kernel_mem") {
            k.mem = v;
        }
    }
    if (k.adapters.empty() && k.listed) k.adapters.push_back({0, "SMBus I801 adapter at efa0"});
    if (k.bus < 0 && !k.adapters.empty()) k.bus = k.adapters.front().number;
    return k;
}

void Log(const std::string &line) {
    qorsim::MachineLock hold(Dir());
    std::FILE *f = std::fopen((Dir() / "kernel.log").c_str(), "a");
    if (f == nullptr) return;
    std::fprintf(f, "%s\n", line.c_str());
    std::fclose(f);
}

int Fail(int error) {
    errno = error;
    return -1;
}

int OpenFailure(const std::string &how) {
    return how == "missing" ? ENOENT : how == "denied" ? EACCES : 0;
}

const Adapter *FindAdapter(const Kernel &k, int number) {
    for (const auto &a : k.adapters) {
        if (a.number == number) return &a;
    }
    return nullptr;
}

int KernelOpen(const char *path, int) {
    const Kernel k = ReadKernel();
    const std::string p = path;
    File file;
    file.path = p;
    int error = 0;
    if (p == "/dev/mem") {
        error = OpenFailure(k.mem);
    } else if (p.rfind("/dev/i2c-", 0) == 0) {
        file.adapter = std::atoi(p.c_str() + 9);
        error = FindAdapter(k, file.adapter) == nullptr ? ENOENT : OpenFailure(k.i2c_dev);
    } else if (const std::string prefix = std::string(kAdapterDir) + "/i2c-";
               k.listed && p.rfind(prefix, 0) == 0 && p.size() > 5 &&
               p.compare(p.size() - 5, 5, "/name") == 0) {
        const Adapter *a = FindAdapter(k, std::atoi(p.c_str() + prefix.size()));
        error = a == nullptr ? ENOENT : 0;
        if (a != nullptr) file.content = a->name + "\n";
    } else {
        error = ENOENT;  // nothing else exists in this kernel: no real file is ever reached
    }
    if (p.rfind("/dev/", 0) == 0) {
        Log("OPEN " + p + (error == 0 ? "" : error == ENOENT ? " ENOENT" : " EACCES"));
    }
    if (error != 0) return Fail(error);
    Files &files = TheFiles();
    std::lock_guard<std::mutex> hold(files.lock);
    files.open[files.next_fd] = file;
    return files.next_fd++;
}

int KernelClose(int fd) {
    std::lock_guard<std::mutex> hold(TheFiles().lock);
    auto it = TheFiles().open.find(fd);
    if (it == TheFiles().open.end()) return Fail(EBADF);
    if (it->second.path.rfind("/dev/", 0) == 0) Log("CLOSE " + it->second.path);
    TheFiles().open.erase(it);
    return 0;
}

// Reads or writes bytes of the device at a 7-bit address: a read wraps at the end of its 256
// bytes, a write inside its 8-byte page. False when no device answers there.
bool Transfer(const Kernel &k, int adapter, int address, bool read, std::uint8_t offset,
              std::uint8_t *data, int length) {
    if (adapter != k.bus) return false;
    qorsim::MachineLock hold(Dir());
    const auto device = static_cast<std::uint8_t>(address << 1);
    auto image = qorsim::ReadDevice(Dir(), device);
    if (!image) return false;
    for (int i = 0; i < length; ++i) {
        const auto at = read ? offset + i : (offset & ~7) | ((offset + i) & 7);
        std::uint8_t &cell = (*image)[static_cast<std::uint8_t>(at)];
        if (read) {
            data[i] = cell;
        } else {
            cell = data[i];
        }
    }
    if (!read) qorsim::WriteDevice(Dir(), device, *image);
    return true;
}

int Rdwr(const Kernel &k, const File &f, const i2c_rdwr_ioctl_data &args) {
    if ((k.funcs & I2C_FUNC_I2C) == 0) return Fail(EOPNOTSUPP);
    std::string line = "RDWR";
    bool ok = true;
    std::uint8_t offset = 0;
    for (__u32 i = 0; i < args.nmsgs; ++i) {
        const i2c_msg &m = args.msgs[i];
        if ((m.flags & I2C_M_RD) != 0) {
            line += " R" + Hex2(m.addr) + " " + std::to_string(m.len);
            ok = ok && Transfer(k, f.adapter, m.addr, true, offset, m.buf, m.len);
        } else {
            line += " W" + Hex2(m.addr) + " " + qorsim::Hex(m.buf, m.len);
            if (m.len > 0) offset = m.buf[0];
            if (m.len > 1) {
                ok = ok && Transfer(k, f.adapter, m.addr, false, offset, m.buf + 1, m.len - 1);
            }
        }
    }
    Log(line + (ok ? "" : " ENXIO"));
    return ok ? static_cast<int>(args.nmsgs) : Fail(ENXIO);
}

int Smbus(const Kernel &k, const File &f, const i2c_smbus_ioctl_data &args) {
    const bool read = args.read_write == I2C_SMBUS_READ;
    const bool block = args.size == I2C_SMBUS_I2C_BLOCK_DATA;
    const unsigned long need =
        block ? (read ? I2C_FUNC_SMBUS_READ_I2C_BLOCK : I2C_FUNC_SMBUS_WRITE_I2C_BLOCK)
              : (read ? I2C_FUNC_SMBUS_READ_BYTE_DATA : I2C_FUNC_SMBUS_WRITE_BYTE_DATA);
    if ((k.funcs & need) == 0 || (!block && args.size != I2C_SMBUS_BYTE_DATA)) {
        return Fail(EOPNOTSUPP);
    }
    std::uint8_t *data = block ? args.data->block + 1 : &args.data->byte;
    const int length = block ? args.data->block[0] : 1;
    std::string line = std::string("SMBUS ") + (read ? "R " : "W ") + Hex2(f.slave & 0xFF) +
                       (block ? " BLOCK " : " BYTE ") + Hex2(args.command);
    line += read ? (block ? " " + std::to_string(length) : "")
                 : " " + qorsim::Hex(data, static_cast<std::size_t>(length));
    if (length < 1 || length > I2C_SMBUS_BLOCK_MAX) {
        Log(line + " EINVAL");
        return Fail(EINVAL);
    }
    const bool ok =
        f.slave >= 0 && Transfer(k, f.adapter, f.slave, read, args.command, data, length);
    Log(line + (ok ? "" : " ENXIO"));
    return ok ? 0 : Fail(ENXIO);
}

int KernelIoctl(int fd, unsigned long request, void *arg) {
    const Kernel k = ReadKernel();
    File f;
    {
        std::lock_guard<std::mutex> hold(TheFiles().lock);
        auto it = TheFiles().open.find(fd);
        if (it == TheFiles().open.end()) return Fail(EBADF);
        if (it->second.adapter < 0) return Fail(ENOTTY);
        if (request == I2C_SLAVE || request == I2C_SLAVE_FORCE) {
            const long address = reinterpret_cast<long>(arg);
            if (address < 0 || address > 0x7F) return Fail(EINVAL);
            if (request == I2C_SLAVE &&
                std::find(k.claimed.begin(), k.claimed.end(), address) != k.claimed.end()) {
                Log("SLAVE " + Hex2(address & 0xFF) + " EBUSY");
                return Fail(EBUSY);
            }
            it->second.slave = static_cast<int>(address);
        }
        f = it->second;
    }
    switch (request) {
        case I2C_FUNCS:
            Log("FUNCS");
            *static_cast<unsigned long *>(arg) = k.funcs;
            return 0;
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE:
            Log((request == I2C_SLAVE ? "SLAVE " : "SLAVE_FORCE ") + Hex2(f.slave & 0xFF));
            return 0;
        case I2C_RDWR:
            return Rdwr(k, f, *static_cast<i2c_rdwr_ioctl_data *>(arg));
        case I2C_SMBUS:
            return Smbus(k, f, *static_cast<i2c_smbus_ioctl_data *>(arg));
        default:
            Log("IOCTL " + std::to_string(request) + " ENOTTY");
            return Fail(ENOTTY);
    }
}

long KernelPread(int fd, void *buffer, std::size_t length, long long offset) {
    File f;
    {
        std::lock_guard<std::mutex> hold(TheFiles().lock);
        auto it = TheFiles().open.find(fd);
        if (it == TheFiles().open.end()) return Fail(EBADF);
        f = it->second;
    }
    if (f.path != "/dev/mem") {
        if (f.adapter >= 0) return Fail(EINVAL);
        const std::size_t at = std::min(static_cast<std::size_t>(offset), f.content.size());
        const std::size_t n = std::min(length, f.content.size() - at);
        std::memcpy(buffer, f.content.data() + at, n);
        return static_cast<long>(n);
    }
    Log("PREAD /dev/mem " + qorsim::Hex8(static_cast<std::uint32_t>(offset)) + " " +
        std::to_string(length));
    if (offset < 0 || static_cast<std::uint64_t>(offset) + length > 0x100000) return Fail(EPERM);
    std::vector<qorsim::Region> spans;
    {
        qorsim::MachineLock hold(Dir());
        spans = qorsim::MergeRegions(qorsim::ReadRegionFiles(Dir()));
    }
    if (!qorsim::ReadPhysical(spans, static_cast<std::uint64_t>(offset),
                              static_cast<std::uint8_t *>(buffer), length)) {
        return Fail(EFAULT);
    }
    return static_cast<long>(length);
}

int KernelList(const char *dir, void (*each)(const char *, void *), void *context) {
    const Kernel k = ReadKernel();
    if (std::strcmp(dir, kAdapterDir) != 0 || !k.listed) return Fail(ENOENT);
    for (const auto &a : k.adapters) each(("i2c-" + std::to_string(a.number)).c_str(), context);
    return 0;
}

void KernelPause(int) {}

const QorSysOps kOps = {KernelOpen, KernelClose, KernelIoctl, KernelPread, KernelList, KernelPause};

}  // namespace

extern "C" __attribute__((visibility("default"))) const QorSysOps *QorSimKernel(void) {
    const char *dir = std::getenv(kKernelEnv);
    return dir != nullptr && *dir != '\0' ? &kOps : nullptr;
}
