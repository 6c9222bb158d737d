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

namespace {

std::string UniqueToken() {
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937 rng{std::random_device{}()};
    return std::to_string(QOR_GETPID()) + "x" + std::to_string(++counter) + "x" +
           std::to_string(rng() % 1000000u);
}

void SetEnv(const std::string &name, const std::optional<std::string> &value) {
#ifdef _WIN32
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
#endif
}

}  // namespace

std::string UniqueNamespace() {
    return "qt" + UniqueToken();
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
        fs::path p = fs::temp_directory_path() / ("qorsim-" + UniqueToken());
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

bool TempMachine::hasDevice(std::uint8_t address) const {
    return qorsim::ReadDevice(path_, address).has_value();
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

void TempMachine::clearConf(const std::string &key) {
    qorsim::SetConfKey(path_, key, {});
}

void TempMachine::enableLog() {
    conf("log", "on");
}

void TempMachine::disableLog() {
    conf("log", "off");
}

void TempMachine::clearLog() {
    qorsim::ClearLog(path_);
}

std::vector<std::string> TempMachine::log() const {
    qorsim::MachineLock lock(path_);
    return qorsim::ReadLog(path_);
}

std::vector<I2cTransfer> TempMachine::i2cTransfers() const {
    std::vector<I2cTransfer> out;
    for (const auto &line : log()) {
        if (auto r = qorsim::ParseI2cRecord(line)) out.push_back(*r);
    }
    return out;
}

qorsim::Counters TempMachine::counters() const {
    qorsim::MachineLock lock(path_);
    return qorsim::ReadCounters(path_);
}

void TempMachine::resetCounters() {
    qorsim::MachineLock lock(path_);
    qorsim::WriteCounters(path_, {});
}
