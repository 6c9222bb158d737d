// EEPROM access conventions shared by everything that stores bytes on the board: one-transfer
// block reads, 4-byte-chunked writes, zero-sum checksums and their in-place upkeep, the
// read-back check after a record write, and the EEPROM mutex.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kDeviceBytes = 256;  // every EEPROM is addressed as 256 bytes
constexpr int kWriteChunk = 4;     // no write transfer carries more than this

// Two upper-case hexadecimal digits of value (high nibble first) into dest[0..1]; no
// terminator. Returns dest.
char *ByteToHex(char *dest, uint8_t value);

// 8-bit sum of n bytes; a zero-sum checksum balances when the covered bytes give 0.
uint8_t ByteSum(const uint8_t *bytes, size_t n);

// One read transfer of length bytes at offset. 0, or 1 when the transfer failed or the block
// would pass the end of the device (refused before the bus is touched).
int EeReadBlock(uint8_t address, uint8_t offset, uint8_t *buffer, int length);

// One write transfer. An EEPROM busy with its internal write cycle refuses transfers for a few
// milliseconds, so a refused write is tried again, kWriteAttempts in all, kWriteRetryPauseMs
// apart. Answers 0 or the bus library's status of the last attempt, unchanged.
constexpr int kWriteAttempts = 4;
constexpr unsigned kWriteRetryPauseMs = 5;
int EeWriteTransfer(uint8_t address, uint8_t offset, const uint8_t *buffer, int length);

// Writes length bytes at offset in transfers of 4 bytes (the last one 1 to 4), in ascending
// order, stopping at the first failure with 1. What was written stays written.
int EeWriteBlock(uint8_t address, uint8_t offset, const uint8_t *buffer, int length);

// Read-modify-write of one zero-sum byte: reads it, adds delta (mod 256), writes it back.
int EeAdjustChecksum(uint8_t address, uint8_t offset, uint8_t delta);

// Reads a just-written record back in one transfer and compares it with what was meant:
// 0 equal, 1 read failed, 5 first byte (the key) differs, 6 later bytes differ.
int EeVerifyRecord(uint8_t address, uint8_t offset, const uint8_t *expected, int length);

// Holds the EEPROM mutex (g_state.ee_mutex) for a scope. held() is false when the process has
// no mutex, or its writes are closed (EeCloseWrites); callers then refuse their work before
// touching the bus. When a thread's outermost hold ends, the messages kept while it held the
// mutex are shown (eeprom/messages.h).
class EeLock {
  public:
    EeLock();
    ~EeLock();
    EeLock(const EeLock &) = delete;
    EeLock &operator=(const EeLock &) = delete;
    bool held() const { return held_; }

  private:
    bool held_;
};

// True while the calling thread holds the mutex through an EeLock.
bool EeHeldByThisThread();

// For the process's end: from now on no thread of this process takes the mutex for new work,
// and this waits (at most `milliseconds`) for the one that holds it to end its work, so that a
// record being written is written whole and nothing is cut off half-way. Nested holds of the
// thread that holds it go on until its outermost one ends. True when the mutex was had: the
// calling thread then holds it (its own EeLocks still work, so that it can put back a write
// the bus cut off) until EeEndClosing.
bool EeCloseWrites(unsigned milliseconds);
void EeEndClosing();
