#include "eeprom/eeprom.h"

#include <atomic>
#include <cstring>

#include "eeprom/messages.h"
#include "platform/hwlib.h"
#include "platform/mutex.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "state/state.h"

char *ByteToHex(char *dest, uint8_t value) {
    static const char kDigits[] = "0123456789ABCDEF";
    dest[0] = kDigits[value >> 4];
    dest[1] = kDigits[value & 0x0F];
    return dest;
}

uint8_t ByteSum(const uint8_t *bytes, size_t n) {
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += bytes[i];
    return static_cast<uint8_t>(sum);
}

static bool FitsDevice(uint8_t offset, int length) {
    return length >= 1 && offset + length <= kDeviceBytes;
}

int EeReadBlock(uint8_t address, uint8_t offset, uint8_t *buffer, int length) {
    if (!FitsDevice(offset, length)) return 1;
    return I2C_SendCommandThenRead(address, offset, buffer, length) == 0 ? 0 : 1;
}

int EeWriteTransfer(uint8_t address, uint8_t offset, const uint8_t *buffer, int length) {
    int status = 0;
    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        if (attempt > 0) PlatSleep(kWriteRetryPauseMs);
        status = I2C_SendCommandThenWrite(address, offset, buffer, length);
        if (status == 0) break;
    }
    return status;
}

int EeWriteBlock(uint8_t address, uint8_t offset, const uint8_t *buffer, int length) {
    if (!FitsDevice(offset, length)) return 1;
    for (int done = 0; done < length; done += kWriteChunk) {
        const int n = length - done < kWriteChunk ? length - done : kWriteChunk;
        if (EeWriteTransfer(address, static_cast<uint8_t>(offset + done), buffer + done, n) != 0) {
            return 1;
        }
    }
    return 0;
}

int EeAdjustChecksum(uint8_t address, uint8_t offset, uint8_t delta) {
    uint8_t value = 0;
    if (EeReadBlock(address, offset, &value, 1) != 0) return 1;
    value = static_cast<uint8_t>(value + delta);
    return EeWriteBlock(address, offset, &value, 1);
}

int EeVerifyRecord(uint8_t address, uint8_t offset, const uint8_t *expected, int length) {
    uint8_t back[kDeviceBytes];
    if (EeReadBlock(address, offset, back, length) != 0) return 1;
    if (back[0] != expected[0]) return 5;
    if (std::memcmp(back + 1, expected + 1, static_cast<size_t>(length - 1)) != 0) return 6;
    return 0;
}

namespace {
// The thread of this process that holds the mutex (0: none), and how often it holds it. Only
// the holder changes them; the mutex is the same for every thread of the process.
std::atomic<unsigned long> g_holder{0};
int g_depth = 0;
std::atomic<bool> g_closed{false};
}  // namespace

EeLock::EeLock() : held_(false) {
    const unsigned long self = PlatThreadId();
    // Once writes are closed only the thread that holds the mutex goes on (its nested holds).
    const bool nested = g_holder.load() == self;
    if ((g_closed.load() && !nested) || !PlatMutexAcquire(g_state.ee_mutex)) return;
    if (!nested) {
        // This thread's outermost hold (whatever a holder that died left behind).
        if (g_closed.load()) {
            PlatMutexRelease(g_state.ee_mutex);
            return;
        }
        g_depth = 0;
        g_holder.store(self);
    }
    ++g_depth;
    held_ = true;
}

EeLock::~EeLock() {
    if (!held_) return;
    const bool outermost = --g_depth == 0;
    if (outermost) g_holder.store(0);
    PlatMutexRelease(g_state.ee_mutex);
    if (outermost) EeShowKeptMessages();
}

bool EeHeldByThisThread() {
    return g_holder.load() == PlatThreadId();
}

bool EeCloseWrites(unsigned milliseconds) {
    g_closed.store(true);
    if (!PlatMutexAcquireFor(g_state.ee_mutex, milliseconds)) return false;
    g_depth = 1;
    g_holder.store(PlatThreadId());
    return true;
}

void EeEndClosing() {
    if (g_holder.load() != PlatThreadId()) return;
    g_depth = 0;
    g_holder.store(0);
    PlatMutexRelease(g_state.ee_mutex);
}
