#include "support/machine.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>

#ifdef _WIN32
#include <process.h>
#define QOR_GETPID _getpid
#else
#include <unistd.h>
#define QOR_GETPID getpid
#endif

namespace fs = std::filesystem;

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 rng{std::random_device{}()};
    return std::to_string(QOR_GETPID()) + "x" + std::to_string(++counter) + "x" +
           std::to_string(rng() % 1000000u);
}

namespace {

void SetEnv(const std::string &name, const std::optional<std::string> &value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) setenv(name.c_str(), value->c_str(), 1);
    if (!value) unsetenv(name.c_str());
#endif
}

}  // namespace

#ifndef _WIN32
// Named objects of the namespaces a test program made outlive it on POSIX (shared memory
// persists until unlinked): the program that made them removes them when it ends.
struct NamespaceSweeper {
    const long owner = static_cast<long>(QOR_GETPID());
    ~NamespaceSweeper() {
        if (static_cast<long>(QOR_GETPID()) != owner) return;  // a forked child ending
        const std::string prefix = "qt" + std::to_string(owner) + "x";
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator("/dev/shm", ec))
            if (entry.path().filename().string().starts_with(prefix)) fs::remove(entry.path(), ec);
    }
};
#endif

std::string UniqueNamespace() {
#ifndef _WIN32
    static NamespaceSweeper sweeper;
#endif
    return "qt" + UniqueSuffix();
}

ScopedEnv::ScopedEnv(std::string name, const std::string &value) : name_(std::move(name)) {
    if (const char *old = std::getenv(name_.c_str())) old_ = old;
    SetEnv(name_, value);
}

ScopedEnv::~ScopedEnv() {
    SetEnv(name_, old_);
}

TempMachine::TempMachine(Preset preset) {
    for (;;) {
        fs::path p = fs::temp_directory_path() / ("qorsim-" + UniqueSuffix());
        if (fs::create_directory(p)) {
            path_ = p.string();
            break;
        }
    }
    qorsim::WriteMachine(path_, qorsim::BuildPreset(preset));
}

TempMachine::~TempMachine() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void TempMachine::setDevice(std::uint8_t address, const qorsim::Image &bytes) {
    qorsim::MachineLock lock(path_);
    qorsim::WriteDevice(path_, address, bytes);
}

qorsim::Image TempMachine::device(std::uint8_t address) const {
    qorsim::MachineLock lock(path_);
    auto image = qorsim::ReadDevice(path_, address);
    if (!image) throw std::runtime_error("no device " + qorsim::Hex2(address));
    return *image;
}

void TempMachine::removeDevice(std::uint8_t address) {
    qorsim::MachineLock lock(path_);
    qorsim::RemoveDevice(path_, address);
}

void TempMachine::placeMemory(std::uint32_t address, const qorsim::Bytes &bytes) {
    qorsim::PlaceMemory(path_, address, bytes);
}

void TempMachine::conf(const std::string &key, const std::string &value) {
    qorsim::SetConfKey(path_, key, {value});
}

void TempMachine::addConf(const std::string &key, const std::string &value) {
    qorsim::AddConfLine(path_, key, value);
}

std::vector<std::string> TempMachine::log() const {
    qorsim::MachineLock lock(path_);
    return qorsim::ReadLog(path_);
}

std::vector<I2cTransfer> TempMachine::i2cTransfers() const {
    std::vector<I2cTransfer> out;
    for (const auto &line : log())
        if (auto r = qorsim::ParseI2cRecord(line)) out.push_back(*r);
    return out;
}

std::vector<std::string> TempMachine::pmemLog() const {
    std::vector<std::string> out;
    for (const auto &line : log())
        if (line.starts_with("PMEM")) out.push_back(line);
    return out;
}

ChildEnv ChildOn(const TempMachine &machine, ChildEnv more) {
    more.emplace(qorsim::kMachineEnv, machine.path());
    more.emplace("QORASST_NAMESPACE", UniqueNamespace());
    return more;
}

::testing::AssertionResult PmemClosedAfterEveryOpen(const std::vector<std::string> &pmem) {
    bool open = false;
    for (const auto &line : pmem) {
        if (line == "PMEM OPEN ok" || line == "PMEM CLOSE") {
            if (open == (line == "PMEM OPEN ok"))
                return ::testing::AssertionFailure() << "unbalanced " << line;
            open = !open;
        }
    }
    if (open) return ::testing::AssertionFailure() << "physical memory left open";
    return ::testing::AssertionSuccess();
}

qorsim::Counters TempMachine::counters() const {
    qorsim::MachineLock lock(path_);
    return qorsim::ReadCounters(path_);
}

void TempMachine::resetCounters() {
    qorsim::MachineLock lock(path_);
    qorsim::WriteCounters(path_, {});
}
