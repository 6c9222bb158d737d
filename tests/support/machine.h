// Simulated machines for tests (and the child runner, support/child.h): a temporary machine
// directory with a small API over the simulator's own file access, and helpers to point the code
// under test at it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim_machine.h"
#include "sim_presets.h"
#include "support/child.h"

using qorsim::Preset;
using I2cTransfer = qorsim::I2cRecord;

// A fresh value for QORASST_NAMESPACE on every call (pid, counter and random), so that
// named objects of parallel tests never meet.
std::string UniqueNamespace();

// Sets an environment variable for the life of the object and restores it afterwards.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// A machine directory under the system's temporary directory, removed with everything in
// it by the destructor. Starts from a preset (empty: no conf, no devices, no memory).
class TempMachine {
  public:
    explicit TempMachine(Preset preset = Preset::kEmpty);
    ~TempMachine();
    TempMachine(const TempMachine &) = delete;
    TempMachine &operator=(const TempMachine &) = delete;

    const std::string &path() const { return path_; }

    // Bus devices (even addresses).
    void setDevice(std::uint8_t address, const qorsim::Image &bytes);
    qorsim::Image device(std::uint8_t address) const;  // throws when the device is absent
    void removeDevice(std::uint8_t address);

    // Physical memory.
    void placeMemory(std::uint32_t address, const qorsim::Bytes &bytes);

    // machine.conf: conf() replaces every line of the key, addConf() adds one more line (for
    // fail_transfer and fail_device), clearConf() removes the key.
    void conf(const std::string &key, const std::string &value);
    void addConf(const std::string &key, const std::string &value);
    void clearConf(const std::string &key) { qorsim::SetConfKey(path_, key, {}); }

    // The transfer log and the counters.
    void enableLog() { conf("log", "on"); }
    void clearLog() { qorsim::ClearLog(path_); }
    std::vector<std::string> log() const;
    std::vector<I2cTransfer> i2cTransfers() const;
    std::vector<std::string> pmemLog() const;  // the "PMEM ..." lines only
    qorsim::Counters counters() const;
    void resetCounters();

  private:
    std::string path_;
};

// Points this process's hardware libraries at a machine for the life of the object.
class UseMachine {
  public:
    explicit UseMachine(const TempMachine &machine) : env_(qorsim::kMachineEnv, machine.path()) {}

  private:
    ScopedEnv env_;
};

// The environment of a child process on the machine, in a namespace of its own unless more
// names one.
ChildEnv ChildOn(const TempMachine &machine, ChildEnv more = {});

// Physical-memory lines of a log in which every successful open is closed exactly once, with
// no close without an open, and nothing left open at the end.
::testing::AssertionResult PmemClosedAfterEveryOpen(const std::vector<std::string> &pmem);

// A test on a fresh empty machine of its own, used by this process, with the log on, and a
// namespace of its own.
class MachineFixture : public ::testing::Test {
  protected:
    MachineFixture() { machine_.enableLog(); }

    ScopedEnv ns_{"QORASST_NAMESPACE", UniqueNamespace()};
    TempMachine machine_;
    UseMachine use_{machine_};
};
