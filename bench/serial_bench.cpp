// Cost of a serial-number query and a serial-number set: the bus transfers and bytes each
// call makes (from the simulated machine's counters) and the library's own time per call.
//
// The library's calls to the two bus transfer functions land in this program first. On the
// simulated machine ("sim") they go on to the simulated bus library; on the in-memory bus
// ("own") they are answered from a 256-byte array, so the time measured there is the
// library's own, apart from the bus.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "eeprom/serial/serial_area.h"
#include "state/state.h"
#include "platform/hwlib.h"
#include "platform/mutex.h"
#include "platform/system.h"
#include "sim_machine.h"
#include "sim_presets.h"

namespace {

using ReadFn = int (*)(unsigned char, unsigned char, unsigned char *, int);
using WriteFn = int (*)(unsigned char, unsigned char, const unsigned char *, int);

constexpr uint8_t kArea = 0xA8;

struct Bus {
    bool in_memory = false;
    uint8_t device[256] = {};
    uint64_t transfers = 0;
    uint64_t bytes = 0;
} g_bus;

// The simulated bus library itself: this program's own definitions would shadow it.
template <typename Fn>
Fn Next(const char *name) {
    static void *lib = [] {
        const auto dir = std::filesystem::read_symlink("/proc/self/exe").parent_path();
        return dlopen((dir / "libkelbW.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    }();
    void *fn = lib != nullptr ? dlsym(lib, name) : nullptr;
    if (fn == nullptr) std::abort();
    return reinterpret_cast<Fn>(fn);
}

bool InMemoryFits(unsigned char device, unsigned char command, int length) {
    return device == kArea && length >= 1 && command + length <= 256;
}

}  // namespace

extern "C" int I2C_SendCommandThenRead(unsigned char device, unsigned char command,
                                       unsigned char *buffer, int length) {
    if (!g_bus.in_memory) {
        static const ReadFn next = Next<ReadFn>("I2C_SendCommandThenRead");
        return next(device, command, buffer, length);
    }
    ++g_bus.transfers;
    if (!InMemoryFits(device, command, length)) return 1;
    std::memcpy(buffer, g_bus.device + command, static_cast<size_t>(length));
    g_bus.bytes += static_cast<uint64_t>(length);
    return 0;
}

extern "C" int I2C_SendCommandThenWrite(unsigned char device, unsigned char command,
                                        const unsigned char *buffer, int length) {
    if (!g_bus.in_memory) {
        static const WriteFn next = Next<WriteFn>("I2C_SendCommandThenWrite");
        return next(device, command, buffer, length);
    }
    ++g_bus.transfers;
    if (!InMemoryFits(device, command, length)) return 1;
    std::memcpy(g_bus.device + command, buffer, static_cast<size_t>(length));
    g_bus.bytes += static_cast<uint64_t>(length);
    return 0;
}

namespace {

// A started library's state over an area holding `records`, on the chosen bus.
class Machine {
  public:
    explicit Machine(bool in_memory) {
        dir_ = std::filesystem::temp_directory_path() /
               ("qor-bench-" + std::to_string(getpid()) + "-" + std::to_string(++count_));
        std::filesystem::create_directories(dir_);
        setenv("QORASST_MACHINE", dir_.c_str(), 1);
        setenv("QORASST_NAMESPACE", ("bench" + std::to_string(getpid())).c_str(), 1);
        const auto area = qorsim::SerialAreaImage({{4, 0, "1S6281QK9ZX40177"},
                                                   {8, 0, "MB4K7Q20931"},
                                                   {17, 0, "11S09N4321YH10AB2C3D4E"},
                                                   {17, 1, "11S38L2207ZK19CD4E5F60"}});
        qorsim::WriteDevice(dir_, kArea, area);
        g_bus = Bus{};
        g_bus.in_memory = in_memory;
        std::memcpy(g_bus.device, area.data(), area.size());

        char name[256];
        PlatObjectName("QORasst_eemutex", name, sizeof name);
        g_state.ee_mutex = PlatMutexCreate(name);
        g_state.serial_view = view_.data();
        LayOutSerialCache(20, 12);
        g_state.eeprom_size = 12;
        g_state.eeprom_addr = kArea;
        LoadSerialCache(kArea, 20, 12, 1, g_state.serial_type, g_state.serial_index,
                        g_state.serial_text);
        g_state.initialized = 1;
    }
    ~Machine() {
        g_state.initialized = 0;
        PlatMutexClose(g_state.ee_mutex);
        g_state.ee_mutex = nullptr;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Transfers and bytes so far, from the machine's counters or the in-memory bus.
    void Totals(uint64_t *transfers, uint64_t *bytes) const {
        if (g_bus.in_memory) {
            *transfers = g_bus.transfers;
            *bytes = g_bus.bytes;
            return;
        }
        const auto c = qorsim::ReadCounters(dir_);
        *transfers = c.transfers;
        *bytes = c.read_bytes + c.written_bytes;
    }

  private:
    static inline int count_ = 0;
    std::filesystem::path dir_;
    std::vector<uint8_t> view_ = std::vector<uint8_t>(1024, 0);
};

void Report(benchmark::State &state, const Machine &m, uint64_t transfers0, uint64_t bytes0) {
    uint64_t transfers = 0, bytes = 0;
    m.Totals(&transfers, &bytes);
    const double calls = static_cast<double>(state.iterations());
    state.counters["transfers_per_call"] = static_cast<double>(transfers - transfers0) / calls;
    state.counters["bytes_per_call"] = static_cast<double>(bytes - bytes0) / calls;
}

// A query answered from a record: the dirty check's one-byte read, then the cache.
void BM_QueryRecord(benchmark::State &state) {
    Machine m(state.range(0) == 1);
    uint64_t t0 = 0, b0 = 0;
    m.Totals(&t0, &b0);
    char buffer[24];
    for (auto _ : state) {
        benchmark::DoNotOptimize(AssetGetSerialNumber2(17, 1, buffer));
    }
    if (std::strcmp(buffer, "11S38L2207ZK19CD4E5F60") != 0) state.SkipWithError("wrong answer");
    Report(state, m, t0, b0);
}

// A set that rewrites an existing record in place (two texts in turn).
void BM_SetRewrite(benchmark::State &state) {
    Machine m(state.range(0) == 1);
    uint64_t t0 = 0, b0 = 0;
    m.Totals(&t0, &b0);
    const char *texts[2] = {"11SFRU-0001-AAAA", "11SFRU-0002-BBBB"};
    int n = 0;
    for (auto _ : state) {
        if (AssetSetSerialNumber(8, 0, texts[n++ & 1]) != 1) state.SkipWithError("set failed");
    }
    Report(state, m, t0, b0);
}

}  // namespace

// Argument 0: the simulated machine (bus included); 1: the in-memory bus (own time).
BENCHMARK(BM_QueryRecord)->ArgName("own")->Arg(0)->Arg(1);
BENCHMARK(BM_SetRewrite)->ArgName("own")->Arg(0)->Arg(1);

BENCHMARK_MAIN();
