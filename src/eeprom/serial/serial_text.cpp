#include "eeprom/serial/serial_text.h"

#include <cstring>

#include "state/state.h"

namespace {

constexpr size_t kPrefixLength = 3;
constexpr size_t kMinCallerLength = 4;
constexpr size_t kMaxPrefixedLength = 22;
constexpr size_t kMaxPlainLength = 19;

bool HasPrefix(const char *text) {
    return (text[0] == '1') && (text[1] == '1') && (text[2] == 'S' || text[2] == 's');
}

uint8_t Upper(uint8_t c) {
    return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c;
}

}  // namespace

void SerialDisplayForm(const char *stored, char *out) {
    const auto first = static_cast<uint8_t>(stored[0]);
    size_t n = 0;
    if ((first & kStoredMark) != 0) {
        out[n++] = static_cast<char>(first & ~kStoredMark);
        for (size_t i = 1; stored[i] != 0 && n < kSerialBufferSize - 1; ++i) out[n++] = stored[i];
    } else {
        out[n++] = '1';
        out[n++] = '1';
        out[n++] = 'S';
        for (size_t i = 0; stored[i] != 0 && n < kSerialBufferSize - 1; ++i) out[n++] = stored[i];
    }
    out[n] = 0;
}

bool SerialStoredFormFromCaller(const char *text, uint8_t *working) {
    const size_t length = std::strlen(text);
    SetDiagText("len = |%d|", length > 9999 ? 9999 : static_cast<int>(length));
    if (length < kMinCallerLength || length > kMaxPrefixedLength) return false;
    SetDiagText("past len check");
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c < 0x20 || c > 0x7E) return false;
    }
    SetDiagText("past alnum check");
    if (HasPrefix(text)) {
        SetDiagText("11S");
        std::memcpy(working, text + kPrefixLength, length - kPrefixLength);
    } else {
        SetDiagText("no 11S");
        if (length > kMaxPlainLength) return false;
        SetDiagText("past 19 check");
        std::memcpy(working, text, length);
        working[0] = static_cast<uint8_t>(Upper(working[0]) | kStoredMark);
    }
    for (int i = 0; i < kSerialWorkingSize; ++i) working[i] = Upper(working[i]);
    return true;
}

void SerialSyncStoredForm(const char *source, uint8_t *out, size_t out_size) {
    std::memset(out, 0, out_size);
    const size_t length = std::strlen(source);
    if (length == 0 || out_size == 0) return;
    const bool strip = length > kPrefixLength && HasPrefix(source);
    const char *from = strip ? source + kPrefixLength : source;
    size_t n = strip ? length - kPrefixLength : length;
    if (n > out_size - 1) n = out_size - 1;
    std::memcpy(out, from, n);
    if (!strip) out[0] = static_cast<uint8_t>(out[0] | kStoredMark);
}
