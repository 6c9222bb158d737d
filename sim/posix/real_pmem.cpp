// Real physical memory on Linux: /dev/mem, read-only, and only its first MiB (the BIOS data
// area, the extended BIOS data area and the F segment, where the tables we read lie). Where
// the kernel shows RAM there as zeros, zeros are what we read.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "real_backend.h"
#include "real_sys.h"

namespace qorreal {

namespace {

constexpr const char *kMemNode = "/dev/mem";
constexpr std::uint64_t kLimit = 0x100000;  // nothing at or above 1 MiB is ever read

struct Memory {
    std::mutex lock;
    int fd = -1;
    int opens = 0;
};

Memory &TheMemory() {
    // Never destroyed: the library's detach runs after the exit handlers.
    static Memory *memory = new Memory;
    return *memory;
}

int OpenMem(std::string *why) {
    int fd = Sys().open(kMemNode, O_RDONLY);
    if (fd < 0 && why != nullptr) {
        const int e = errno;
        *why = std::string(kMemNode) + (e == ENOENT ? " is missing (a kernel without it)"
                                        : e == EACCES || e == EPERM
                                            ? " not readable: no permission: run as root"
                                            : std::string(" not readable: ") + std::strerror(e));
    }
    return fd;
}

// Reads [address, address + length) below 1 MiB in full; false for anything else.
bool ReadBelowLimit(std::uint64_t address, std::uint8_t *out, std::uint64_t length) {
    Memory &m = TheMemory();
    if (m.fd < 0 || address + length > kLimit) return false;
    for (std::uint64_t done = 0; done < length;) {
        long n =
            Sys().pread(m.fd, out + done, length - done, static_cast<long long>(address + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

int PMemIsInitialized() {
    int fd = OpenMem(nullptr);
    if (fd < 0) return 0;
    Sys().close(fd);
    return 1;
}

int PMemOpen() {
    Memory &m = TheMemory();
    std::lock_guard<std::mutex> hold(m.lock);
    if (m.opens == 0) m.fd = OpenMem(nullptr);
    if (m.fd < 0) return 0;
    ++m.opens;
    return 1;
}

void PMemClose() {
    Memory &m = TheMemory();
    std::lock_guard<std::mutex> hold(m.lock);
    if (m.opens > 0 && --m.opens == 0) {
        Sys().close(m.fd);
        m.fd = -1;
    }
}

int PMemRead(void *buffer, std::uint32_t address, std::uint32_t length) {
    // The window first: nothing is allocated for a range that is refused, so the room taken
    // never passes 1 MiB whatever length a caller names.
    if (buffer == nullptr || std::uint64_t{address} + length > kLimit) return 1;
    std::lock_guard<std::mutex> hold(TheMemory().lock);
    if (TheMemory().fd < 0) return 1;
    std::vector<std::uint8_t> in(length);  // the caller's buffer stays as it was on failure
    if (!ReadBelowLimit(address, in.data(), length)) return 1;
    if (length > 0) std::memcpy(buffer, in.data(), length);
    return 0;
}

std::uint32_t PMemSearch(const char *signature, std::uint32_t first, std::uint32_t last,
                         std::uint32_t step) {
    const std::size_t size = signature == nullptr ? 0 : std::strlen(signature);
    if (size == 0 || step == 0 || first > last || first >= kLimit) return 0;
    // The signature may run past `last`, never past 1 MiB.
    const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{last} + size, kLimit);
    if (end < first + size) return 0;
    std::vector<std::uint8_t> span(end - first);
    std::lock_guard<std::mutex> hold(TheMemory().lock);
    if (!ReadBelowLimit(first, span.data(), span.size())) return 0;
    for (std::uint64_t at = first; at <= last && at + size <= end; at += step) {
        if (std::memcmp(span.data() + (at - first), signature, size) == 0) {
            return static_cast<std::uint32_t>(at);
        }
    }
    return 0;
}

int PMemDiagnose(std::string &text) {
    int fd = OpenMem(&text);
    if (fd < 0) return 0;
    Sys().close(fd);
    text = std::string(kMemNode) + " readable, first MiB only";
    return 1;
}

}  // namespace qorreal
