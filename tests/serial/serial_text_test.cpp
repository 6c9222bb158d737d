// The three shapes of a serial text: caller's, stored and display form.
#include "eeprom/serial/serial_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/state.h"

namespace {

std::string Bytes(const uint8_t *b, size_t n) {
    return std::string(reinterpret_cast<const char *>(b), n);
}

TEST(SerialDisplayForm, RestoresPrefixOrClearsMark) {
    struct Case {
        const char *stored;
        const char *display;
    } cases[] = {
        {"\xC1"
         "BC1234",
         "ABC1234"},
        {"78CZKW9", "11S78CZKW9"},
        {"ABCDEFGHIJKLMNOPQRS", "11SABCDEFGHIJKLMNOPQRS"},
        // A 20-character text (record size 21) would not fit a 23-byte buffer with its
        // prefix: cut to 22 characters.
        {"ABCDEFGHIJKLMNOPQRST", "11SABCDEFGHIJKLMNOPQRS"},
        {"", "11S"},
        {"\x80", ""},
    };
    for (const auto &c : cases) {
        char out[kSerialBufferSize + 8];
        std::memset(out, 'x', sizeof out);
        SerialDisplayForm(c.stored, out);
        EXPECT_STREQ(out, c.display);
        EXPECT_EQ(out[kSerialBufferSize], 'x') << "wrote past 23 bytes";
    }
}

TEST(SerialSyncStoredForm, KeepsCaseAndMarksUnprefixed) {
    struct Case {
        const char *source;
        std::string stored;
    } cases[] = {
        {"WD-123",
         "\xD7"
         "D-123"},
        {"wd-123",
         "\xF7"
         "d-123"},
        {"11Sabc", "abc"},
        {"11sXYZ", "XYZ"},
        {"11S",
         "\xB1"
         "1S"},
        {"", ""},
        {"11SABCDEFGHIJKLMNOPQRS", "ABCDEFGHIJKLMNOPQRS"},
        {"2C0100981200123456",
         "\xB2"
         "C0100981200123456"},
    };
    for (const auto &c : cases) {
        uint8_t out[21];
        std::memset(out, 0xEE, sizeof out);
        SerialSyncStoredForm(c.source, out, sizeof out);
        std::string expected = c.stored;
        expected.resize(sizeof out, '\0');
        EXPECT_EQ(Bytes(out, sizeof out), expected) << c.source;
    }
    uint8_t small[4];
    SerialSyncStoredForm("ABCDEFG", small, sizeof small);
    EXPECT_EQ(Bytes(small, sizeof small), std::string("\xC1"
                                                      "BC\0",
                                                      4));
}

}  // namespace
