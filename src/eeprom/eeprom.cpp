#include "eeprom/eeprom.h"

#include <cstring>

#include "platform/hwlib.h"
#include "platform/mutex.h"
#include "platform/system.h"
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

EeLock::EeLock() : held_(PlatMutexAcquire(g_state.ee_mutex)) {}

EeLock::~EeLock() {
    if (held_) PlatMutexRelease(g_state.ee_mutex);
}
