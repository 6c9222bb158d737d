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

struct CallerCase {
    const char *text;
    bool accepted;
    std::string stored;  // 20 bytes when accepted
    const char *last_diag;
};

std::string Padded(std::string s) {
    s.resize(kSerialWorkingSize, '\0');
    return s;
}

TEST(SerialStoredFormFromCaller, ValidatesAndNormalises) {
    const CallerCase cases[] = {
        {"11S", false, "", "len = |3|"},
        {"11S1", true, Padded("1"), "11S"},
        {"11s78czkw9", true, Padded("78CZKW9"), "11S"},
        {"11sabcdefghijklmnopqrs", true, Padded("ABCDEFGHIJKLMNOPQRS"), "11S"},
        {"11SABCDEFGHIJKLMNOPQRST", false, "", "len = |23|"},
        {"ABCDEFGHIJKLMNOPQRST", false, "", "no 11S"},
        {"abcdefghijklmnopqrs", true,
         Padded("\xC1"
                "BCDEFGHIJKLMNOPQRS"),
         "past 19 check"},
        {"ABC1234", true,
         Padded("\xC1"
                "BC1234"),
         "past 19 check"},
        {"9z-x y", true,
         Padded("\xB9"
                "Z-X Y"),
         "past 19 check"},
        {"AB\tCD", false, "", "past len check"},
        {"AB\x7F"
         "CD",
         false, "", "past len check"},
        {"AB\x80"
         "CD",
         false, "", "past len check"},
        {"ABC", false, "", "len = |3|"},
        {"1S12", true,
         Padded("\xB1"
                "S12"),
         "past 19 check"},
        {"11s", false, "", "len = |3|"},
    };
    for (const auto &c : cases) {
        uint8_t working[kSerialWorkingSize] = {};
        const bool ok = SerialStoredFormFromCaller(c.text, working);
        EXPECT_EQ(ok, c.accepted) << c.text;
        if (c.accepted) {
            EXPECT_EQ(Bytes(working, sizeof working), c.stored) << c.text;
        }
        EXPECT_STREQ(g_state.diag_text, c.last_diag) << c.text;
    }
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
