// The machine itself as our hardware libraries' second backend, used whenever no simulated
// machine is named. On Linux: the SMBus through the kernel's i2c-dev interface and physical
// memory through /dev/mem, below 1 MiB only. Our Windows builds have no real backend (the
// vendor's libraries serve real Windows machines): there every operation answers "no
// hardware".
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace qorreal {

// The environment variables the real bus reads.
inline constexpr const char *kBusEnv = "QORASST_I2C_BUS";      // adapter number or name
inline constexpr const char *kWriteEnv = "QORASST_I2C_WRITE";  // "1" allows writes

// The same contracts as the exported operations: 1 usable / 0 not; 0 success / 1 failure.
int BusOpen();
void BusClose();
int BusRead(std::uint8_t device, std::uint8_t command, std::uint8_t *buffer, int length);
int BusWrite(std::uint8_t device, std::uint8_t command, const std::uint8_t *buffer, int length);
// 1 and the adapter in use, or 0 and why there is none (probing once if not yet open).
int BusDiagnose(std::string &text);
int BusRefusedWrites();  // -1 when writes are allowed

int PMemIsInitialized();
int PMemOpen();
void PMemClose();
int PMemRead(void *buffer, std::uint32_t address, std::uint32_t length);
std::uint32_t PMemSearch(const char *signature, std::uint32_t first, std::uint32_t last,
                         std::uint32_t step);
int PMemDiagnose(std::string &text);

// A diagnostic line into a caller's buffer: cut to size - 1 characters, always terminated.
inline void CopyText(const std::string &text, char *out, int size) {
    if (out == nullptr || size <= 0) return;
    std::strncpy(out, text.c_str(), static_cast<std::size_t>(size - 1));
    out[size - 1] = '\0';
}

}  // namespace qorreal
