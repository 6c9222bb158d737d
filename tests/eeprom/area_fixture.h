// A simulated machine with the EEPROM mutex of its namespace, builders of serial-area
// images, and the bus traffic read back from the machine's transfer log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "eeprom/serial/serial_area.h"
#include "platform/mutex.h"
#include "platform/system.h"
#include "state/state.h"
#include "support/machine.h"

namespace area_test {

constexpr uint8_t kArea = 0xA8;
using Lines = std::vector<std::string>;

inline uint8_t Sum(const uint8_t *b, size_t n) {
    return static_cast<uint8_t>(std::accumulate(b, b + n, 0u));
}
inline std::string Text19(std::string s) {
    s.resize(19, '\0');
    return s;
}
// A text stored without the "11S" prefix: bit 7 set on its first byte.
inline std::string Marked(std::string s) {
    s[0] = static_cast<char>(s[0] | 0x80);
    return s;
}
inline const uint8_t *U8(const std::string &s) {
    return reinterpret_cast<const uint8_t *>(s.data());
}
// A 20-byte record as the device holds it: key, then the text zero-padded.
inline std::string Rec(uint8_t key, const std::string &text) {
    return std::string(1, static_cast<char>(key)) + Text19(text);
}

struct Record {
    uint8_t key;
    std::string text;  // stored text bytes, zero-padded to S - 1
};

// The sum of the first 16 + S * N bytes of an area image.
inline uint8_t AreaSum(const qorsim::Image &img, uint8_t s = 20, uint8_t n = 12) {
    return Sum(img.data(), std::min<size_t>(16 + s * n, 256));
}
// A serial area with header geometry S x N, the given records from slot 0 on, balanced.
inline qorsim::Image AreaImage(uint8_t s = 20, uint8_t n = 12, uint8_t version = 1,
                               const std::vector<Record> &records = {}, uint8_t flags = 0) {
    qorsim::Image img{};
    const uint8_t head[] = {'S', 'E', 'R', '#', s, n, version};
    std::memcpy(img.data(), head, 7);
    img[7] = static_cast<uint8_t>(0x100 - Sum(img.data(), 7));
    img[9] = flags;
    for (size_t i = 0; i < records.size(); ++i) {
        img[16 + s * i] = records[i].key;
        const auto &t = records[i].text;
        std::copy_n(t.begin(), std::min<size_t>(t.size(), s - 1u), &img[17 + s * i]);
    }
    img[8] = static_cast<uint8_t>(0x100 - AreaSum(img, s, n));
    return img;
}
// The 20 x 12 area formatted here, holding the given records.
inline qorsim::Image Area(const std::vector<Record> &records = {}) {
    return AreaImage(20, 12, 1, records);
}

inline Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// The one-byte key reads of a scan of a 20-byte-record area, from slot 0 on.
inline Lines KeyReads(int slots) {
    Lines out;
    for (int i = 0; i < slots; ++i) out.push_back("R A8 " + qorsim::Hex2(16 + 20 * i) + " 1");
    return out;
}
// A 20-byte record written at off: five 4-byte chunks, the checksum read-modify-write, the
// read-back of the whole record.
inline Lines RecordWrite(uint8_t off, const std::string &rec, uint8_t checksum) {
    Lines out;
    for (int i = 0; i < 20; i += 4)
        out.push_back("W A8 " + qorsim::Hex2(off + i) + " 4 " + qorsim::Hex(U8(rec) + i, 4));
    return Join({out,
                 {"R A8 08 1", "W A8 08 1 " + qorsim::Hex2(checksum),
                  "R A8 " + qorsim::Hex2(off) + " 20"}});
}

class MachineTest : public MachineFixture {
  protected:
    void SetUp() override {
        char name[256];
        PlatObjectName("QORasst_eemutex", name, sizeof name);
        saved_ = g_state;
        g_state.ee_mutex = PlatMutexCreate(name);
        ASSERT_NE(g_state.ee_mutex, nullptr);
        g_state.serial_view = view_.data();  // the cache as start-up lays it out
        LayOutSerialCache(20, 12);
        g_state.eeprom_size = 12;
    }
    void TearDown() override {
        // A probe still waiting for the mutex must be done with it before it is closed.
        bool settled = true;
        for (auto &p : probes_)
            settled &= p.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        if (settled) PlatMutexClose(g_state.ee_mutex);
        g_state = saved_;
    }

    // Bus traffic in a compact form: "R A8 10 1" or "W A8 24 4 4142..." ("!" after the
    // length marks a failed transfer).
    Lines Traffic() const {
        Lines out;
        for (const auto &t : machine_.i2cTransfers())
            out.push_back(std::string(1, t.dir) + " " + qorsim::Hex2(t.dev) + " " +
                          qorsim::Hex2(t.off) + " " + std::to_string(t.len) + (t.ok ? "" : "!") +
                          (t.dir == 'W' ? " " + qorsim::Hex(t.data) : ""));
        return out;
    }
    int Load(uint8_t address = kArea, uint8_t s = 20, uint8_t n = 12, uint8_t version = 1) {
        return LoadSerialCache(address, s, n, version, g_state.serial_type, g_state.serial_index,
                               g_state.serial_text);
    }
    size_t TransferCount() const { return machine_.i2cTransfers().size(); }
    void ClearTraffic() { machine_.clearLog(); }
    // Fails the k-th transfer from now (0: none, transfers count from 1).
    void FailTransfer(uint64_t k) {
        machine_.resetCounters();
        machine_.conf("fail_transfer", std::to_string(k));
    }

    // Another thread can take the mutex within the wait: nothing in this thread holds it.
    bool MutexFree() {
        auto taken = std::make_shared<std::promise<void>>();
        probes_.push_back(taken->get_future().share());
        std::thread([mutex = g_state.ee_mutex, taken] {
            PlatMutexAcquire(mutex);
            PlatMutexRelease(mutex);
            taken->set_value();
        }).detach();
        return probes_.back().wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    }

    AssetState saved_{};
    std::vector<uint8_t> view_ = std::vector<uint8_t>(1024, 0);
    std::vector<std::shared_future<void>> probes_;
};

}  // namespace area_test
