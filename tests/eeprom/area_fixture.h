// A simulated machine with the EEPROM mutex of a scoped namespace, and helpers to build
// serial-area images and to read the bus traffic back from the machine's transfer log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame/state.h"
#include "platform/mutex.h"
#include "platform/system.h"
#include "support/machine.h"

namespace area_test {

constexpr uint8_t kArea = 0xA8;

inline uint8_t Sum(const uint8_t *b, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i) s += b[i];
    return static_cast<uint8_t>(s);
}

struct Record {
    uint8_t key;
    std::string text;  // stored text bytes, zero-padded to S - 1
};

// A serial area with header geometry S x N, the given records from slot 0 on, balanced.
inline qorsim::Image AreaImage(uint8_t s = 20, uint8_t n = 12, uint8_t version = 1,
                               const std::vector<Record> &records = {}, uint8_t flags = 0) {
    qorsim::Image img{};
    std::memcpy(img.data(), "SER#", 4);
    img[4] = s;
    img[5] = n;
    img[6] = version;
    img[7] = static_cast<uint8_t>(0x100 - Sum(img.data(), 7));
    img[9] = flags;
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t off = 16 + s * i;
        img[off] = records[i].key;
        std::memcpy(&img[off + 1], records[i].text.data(),
                    std::min<size_t>(records[i].text.size(), s - 1u));
    }
    const size_t length = std::min<size_t>(16 + s * n, 256);
    img[8] = static_cast<uint8_t>(img[8] - Sum(img.data(), length));
    return img;
}

inline qorsim::Image Formatted() {
    return AreaImage();
}

// The sum of the first 16 + S * N bytes of an area image.
inline uint8_t AreaSum(const qorsim::Image &img, uint8_t s = 20, uint8_t n = 12) {
    return Sum(img.data(), std::min<size_t>(16 + s * n, 256));
}

// Bus traffic in a compact form: "R A8 10 1" or "W A8 24 4 4142..." ("!" after the
// length marks a failed transfer).
inline std::string Compact(const I2cTransfer &t) {
    std::string s(1, t.dir);
    s += " " + qorsim::Hex2(t.dev) + " " + qorsim::Hex2(t.off) + " " + std::to_string(t.len);
    if (!t.ok) s += "!";
    if (t.dir == 'W') s += " " + qorsim::Hex(t.data);
    return s;
}

class MachineTest : public ::testing::Test {
  protected:
    MachineTest() : use_(machine_), ns_("QORASST_NAMESPACE", UniqueNamespace()) {}

    void SetUp() override {
        char name[256];
        PlatObjectName("QORasst_eemutex", name, sizeof name);
        saved_ = g_state;
        g_state.ee_mutex = PlatMutexCreate(name);
        ASSERT_NE(g_state.ee_mutex, nullptr);
        machine_.enableLog();
    }
    void TearDown() override {
        // A probe still waiting for the mutex must be done with it before it is closed.
        bool settled = true;
        for (auto &probe : probes_) {
            settled =
                probe.wait_for(std::chrono::seconds(5)) == std::future_status::ready && settled;
        }
        if (settled) PlatMutexClose(g_state.ee_mutex);
        g_state = saved_;
    }

    std::vector<std::string> Traffic() const {
        std::vector<std::string> out;
        for (const auto &t : machine_.i2cTransfers()) out.push_back(Compact(t));
        return out;
    }
    size_t TransferCount() const { return machine_.i2cTransfers().size(); }
    void ClearTraffic() { machine_.clearLog(); }

    // Another thread can take the mutex within the wait: nothing in this thread holds it.
    bool MutexFree(std::chrono::milliseconds wait = std::chrono::seconds(2)) {
        PlatMutex *mutex = g_state.ee_mutex;
        auto taken = std::make_shared<std::promise<void>>();
        auto future = taken->get_future().share();
        std::thread([mutex, taken] {
            PlatMutexAcquire(mutex);
            PlatMutexRelease(mutex);
            taken->set_value();
        }).detach();
        const bool ready = future.wait_for(wait) == std::future_status::ready;
        if (!ready) probes_.push_back(future);
        return ready;
    }

    TempMachine machine_;
    UseMachine use_;
    ScopedEnv ns_;
    AssetState saved_{};
    std::vector<std::shared_future<void>> probes_;
};

// A serial cache laid out in a local 1 KiB view, as start-up lays it out in the mapping.
struct LocalCache {
    alignas(8) uint8_t view[1024] = {};
    uint8_t *types = nullptr;
    uint8_t *indexes = nullptr;
    char *texts[64] = {};
    explicit LocalCache(uint8_t s = 20, uint8_t n = 12) {
        for (int i = 0; i < n; ++i) texts[i] = reinterpret_cast<char *>(view + s * i);
        types = view + s * n;
        indexes = types + 64;
    }
};

}  // namespace area_test
