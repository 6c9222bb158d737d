// Serial texts in their three shapes: what a caller passes, the stored form kept in a record
// (a leading "11S" dropped, or else bit 7 of the first character set) and the display form
// handed back to callers.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kSerialBufferSize = 23;   // a caller's buffer: 22 characters and a zero
constexpr int kSerialWorkingSize = 20;  // stored form: at most 19 characters and a zero
constexpr uint8_t kStoredMark = 0x80;   // bit 7 of the first byte: no "11S" prefix

// Display form of a stored text into out: "11S" + text, or the text with bit 7 of its first
// byte cleared. At most 22 characters and a zero (23 bytes).
void SerialDisplayForm(const char *stored, char *out);

// Checks a caller's non-empty text and converts it into working (kSerialWorkingSize bytes,
// zero-filled by the caller): 4 to 22 printable characters, a "11S" prefix in any case
// dropped, otherwise at most 19 characters with bit 7 set on the first; letters upper-cased.
// Leaves the diagnostic texts of each step. False when the text is refused.
bool SerialStoredFormFromCaller(const char *text, uint8_t *working);

// The synchronisation thread's stored form of a hardware text (no checks, no upper-casing):
// the text after a "11S" prefix in any case when more follows, else the whole text with bit 7
// of its first byte set; an empty text stays empty. out (out_size bytes) is zero-filled and
// receives at most out_size - 1 bytes.
void SerialSyncStoredForm(const char *source, uint8_t *out, size_t out_size);
