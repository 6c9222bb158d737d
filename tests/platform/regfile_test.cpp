#include "platform/posix/regfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(RegFile, ReadsValueTypesInFileOrder) {
    const std::string text =
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Valdrex\\Override]\r\n"
        "\"addr0\"=dword:000000a2\r\n"
        "\"address1\"=dword:A4\r\n"
        "\"speed\"=dword:00000005\r\n"
        "\"label\"=\"a \\\"quoted\\\" \\\\ text\"\r\n"
        "\"raw\"=hex:01,02,\\\r\n"
        "  ff\r\n"
        "\"multi\"=hex(7):41,00,00\r\n"
        "@=\"default\"\r\n";
    auto keys = ParseRegFile(text);
    ASSERT_EQ(keys.size(), 1u);
    const auto &values = keys[0].values;
    ASSERT_EQ(values.size(), 7u);
    struct Expect {
        const char *name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const std::vector<Expect> expected = {
        {"addr0", 4, {0xA2, 0, 0, 0}},
        {"address1", 4, {0xA4, 0, 0, 0}},
        {"speed", 4, {5, 0, 0, 0}},
        {"label",
         1,
         {'a', ' ', '"', 'q', 'u', 'o', 't', 'e', 'd', '"', ' ', '\\', ' ', 't', 'e', 'x', 't', 0}},
        {"raw", 3, {1, 2, 0xFF}},
        {"multi", 7, {0x41, 0, 0}},
        {"", 1, {'d', 'e', 'f', 'a', 'u', 'l', 't', 0}},
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(values[i].name, expected[i].name);
        EXPECT_EQ(values[i].type, expected[i].type);
        EXPECT_EQ(values[i].data, expected[i].data);
    }
}

TEST(RegFile, KeysMatchWithoutRegardToCaseAndHiveAbbreviations) {
    auto keys = ParseRegFile(
        "REGEDIT4\n[HKLM\\Software\\One]\n\"a\"=dword:1\n[HKEY_CURRENT_USER\\Software\\One]\n"
        "\"b\"=dword:2\n[hkey_local_machine\\SOFTWARE\\ONE]\n\"c\"=dword:3\n\"A\"=dword:4\n");
    const RegFileKey *key = FindRegKey(keys, "HKEY_LOCAL_MACHINE", "software\\one");
    ASSERT_NE(key, nullptr);
    // The second section of the same key adds to it; a value given again replaces it in place.
    ASSERT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->values[0].data[0], 4);
    EXPECT_EQ(key->values[1].name, "c");
    EXPECT_EQ(FindRegKey(keys, "HKEY_LOCAL_MACHINE", "Software\\Two"), nullptr);
}

TEST(RegFile, PassesOverLinesItCannotRead) {
    const std::vector<std::string> bad = {
        "\"x\"=dword:123456789",  // more than 8 digits
        "\"x\"=dword:zz",        "\"x\"=hex:1,2,300", "\"x\"=\"unterminated",
        "\"x\" missing equals",  "\"x\"=unknown:1",   "no quotes=dword:1",
    };
    for (const auto &line : bad) {
        SCOPED_TRACE(line);
        auto keys = ParseRegFile("REGEDIT4\n[HKLM\\K]\n" + line + "\n\"ok\"=dword:7\n");
        ASSERT_EQ(keys.size(), 1u);
        ASSERT_EQ(keys[0].values.size(), 1u);
        EXPECT_EQ(keys[0].values[0].name, "ok");
    }
    // Values before any key and deleted keys ("[-...]") are ignored.
    auto keys = ParseRegFile("\"orphan\"=dword:1\n[-HKLM\\Gone]\n\"y\"=dword:1\n");
    EXPECT_TRUE(keys.empty());
}

}  // namespace
