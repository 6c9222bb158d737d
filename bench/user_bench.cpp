// Cost of the user area: bus transfers per store kind and per read, and the library's own time
// per call apart from the bus; the same for a whole first-process start-up (attach and
// detach) on an RF machine with both areas.
//
// The library's bus calls land in this program, which answers them from in-memory devices, so
// the time measured is the library's own. Physical memory is left to the simulated machine,
// pointed at an empty directory (no BIOS memory: EDID and VPD fail at once).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "QORasstW.h"
#include "eeprom/userarea/userarea.h"
#include "frame/frame.h"
#include "platform/mutex.h"
#include "platform/system.h"
#include "sim_presets.h"
#include "state/state.h"

namespace {

struct Bus {
    std::map<uint8_t, qorsim::Image> devices;
    std::atomic<uint64_t> reads{0};  // the synchronisation thread reads modules at once
    std::atomic<uint64_t> writes{0};
} g_bus;

qorsim::Image *Device(unsigned char address, unsigned char offset, int length) {
    auto it = g_bus.devices.find(address);
    if (it == g_bus.devices.end() || length < 1 || offset + length > 256) return nullptr;
    return &it->second;
}

}  // namespace

extern "C" int I2C_Open(void) {
    return 1;
}
extern "C" int I2C_Close(void) {
    return 1;
}
extern "C" int I2C_SendCommandThenRead(unsigned char device, unsigned char command,
                                       unsigned char *buffer, int length) {
    ++g_bus.reads;
    qorsim::Image *d = Device(device, command, length);
    if (d == nullptr) return 1;
    std::memcpy(buffer, d->data() + command, static_cast<size_t>(length));
    return 0;
}
extern "C" int I2C_SendCommandThenWrite(unsigned char device, unsigned char command,
                                        const unsigned char *buffer, int length) {
    ++g_bus.writes;
    qorsim::Image *d = Device(device, command, length);
    if (d == nullptr) return 1;
    std::memcpy(d->data() + command, buffer, static_cast<size_t>(length));
    return 0;
}

namespace {

qorsim::Bytes UserOf(char c, size_t length) {
    return qorsim::UserStruct(0xFF, {}, {std::string(length, c), "", "", "", ""});
}

// An RF machine's devices: the demo's serial area, modules and user area.
class Machine {
  public:
    Machine() {
        dir_ = std::filesystem::temp_directory_path() / ("qor-ubench-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        setenv("QORASST_MACHINE", dir_.c_str(), 1);
        setenv("QORASST_NAMESPACE", ("ubench" + std::to_string(getpid())).c_str(), 1);
        g_bus.devices = qorsim::BuildPreset(qorsim::Preset::kDemo).devices;
    }
    ~Machine() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

  private:
    std::filesystem::path dir_;
};

// The library's state over the demo user area, as start-up leaves it.
class Started : public Machine {
  public:
    Started() {
        char name[256];
        PlatObjectName("QORasst_eemutex", name, sizeof name);
        g_state.ee_mutex = PlatMutexCreate(name);
        g_state.serial_view = view_.data();
        LayOutSerialCache(20, 12);
        UserAreaLoad(kUserDevice, 1, g_state.user_area);
        g_state.initialized = 1;
    }
    ~Started() {
        g_state.initialized = 0;
        PlatMutexClose(g_state.ee_mutex);
        g_state.ee_mutex = nullptr;
    }

  private:
    std::vector<uint8_t> view_ = std::vector<uint8_t>(1024, 0);
};

void Report(benchmark::State &state, uint64_t reads, uint64_t writes) {
    const double calls = static_cast<double>(state.iterations());
    state.counters["reads_per_call"] = static_cast<double>(reads) / calls;
    state.counters["writes_per_call"] = static_cast<double>(writes) / calls;
}

// Stores of one kind; the bus is counted for the measured stores only.
enum Kind { kSameSize, kAppend, kCompaction };
void BM_UserStore(benchmark::State &state) {
    Started m;
    const auto kind = static_cast<Kind>(state.range(0));
    const qorsim::Bytes a = UserOf('a', 4), b = UserOf('b', kind == kCompaction ? 9 : 4);
    const qorsim::Bytes extra = qorsim::UserStruct(0x30, {}, {"appended"});
    const uint8_t remove[2] = {0x30, 0};
    uint64_t reads = 0, writes = 0;
    int n = 0;
    for (auto _ : state) {
        const uint64_t r0 = g_bus.reads, w0 = g_bus.writes;
        const qorsim::Bytes &s = kind == kAppend ? extra : (n++ & 1) ? b : a;
        if (AssetSetUserAreaStruct(s.data()) != 0) state.SkipWithError("store failed");
        reads += g_bus.reads - r0;
        writes += g_bus.writes - w0;
        if (kind == kAppend) {
            state.PauseTiming();
            AssetSetUserAreaStruct(remove);
            state.ResumeTiming();
        }
    }
    Report(state, reads, writes);
}

// A read from the cache: the dirty check's two one-byte reads, then the lookup.
void BM_UserGet(benchmark::State &state) {
    Started m;
    unsigned char buffer[256];
    const uint64_t r0 = g_bus.reads, w0 = g_bus.writes;
    for (auto _ : state) benchmark::DoNotOptimize(AssetGetUserAreaStruct(buffer, 0xFD));
    if (buffer[0] != 0xFD) state.SkipWithError("wrong answer");
    Report(state, g_bus.reads - r0, g_bus.writes - w0);
}

// A first process's whole start-up and release: probes, both areas loaded, the
// synchronisation thread started and waited for at detach.
void BM_Attach(benchmark::State &state) {
    Machine m;
    const uint64_t r0 = g_bus.reads, w0 = g_bus.writes;
    for (auto _ : state) {
        FrameAttach();
        if (g_state.initialized != 1 || g_state.user_area[kUserOffsetUsed] < 16) {
            state.SkipWithError("start-up did not bring the user area up");
        }
        FrameDetach();
    }
    Report(state, g_bus.reads - r0, g_bus.writes - w0);
}

}  // namespace

BENCHMARK(BM_UserStore)->ArgName("kind")->Arg(kSameSize)->Arg(kAppend)->Arg(kCompaction);
BENCHMARK(BM_UserGet);
BENCHMARK(BM_Attach);

BENCHMARK_MAIN();
