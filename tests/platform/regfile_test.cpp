#include "platform/posix/regfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_machine.h"

namespace {

// Each key as "[path]", then its values as "name type HEX", in file order.
std::vector<std::string> Describe(const std::vector<RegFileKey> &keys) {
    std::vector<std::string> out;
    for (const auto &key : keys) {
        out.push_back("[" + key.path + "]");
        for (const auto &v : key.values)
            out.push_back(v.name + " " + std::to_string(v.type) + " " + qorsim::Hex(v.data));
    }
    return out;
}

TEST(RegFile, ReadsValueTypesInFileOrder) {
    const std::string text =
        "REGEDIT4\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\Services\\Valdrex]\r\n"
        "\"addr0\"=dword:000000a2\r\n"
        "\"address1\"=dword:A4\r\n"
        "\"label\"=\"a \\\"quoted\\\" \\\\ text\"\r\n"
        "\"raw\"=hex:01,02,\\\r\n"
        "  ff\r\n"
        "\"multi\"=hex(7):41,00,00\r\n"
        "@=\"default\"\r\n";
    EXPECT_EQ(Describe(ParseRegFile(text)),
              (std::vector<std::string>{"[SYSTEM\\Services\\Valdrex]", "addr0 4 A2000000",
                                        "address1 4 A4000000",
                                        "label 1 61202271756F74656422205C207465787400",
                                        "raw 3 0102FF", "multi 7 410000", " 1 64656661756C7400"}));
}

TEST(RegFile, KeysMatchWithoutRegardToCaseAndHiveAbbreviations) {
    auto keys = ParseRegFile(
        "REGEDIT4\n[HKLM\\Software\\One]\n\"a\"=dword:1\n[HKEY_CURRENT_USER\\Software\\One]\n"
        "\"b\"=dword:2\n[hkey_local_machine\\SOFTWARE\\ONE]\n\"c\"=dword:3\n\"A\"=dword:4\n");
    const RegFileKey *key = FindRegKey(keys, "HKEY_LOCAL_MACHINE", "software\\one");
    ASSERT_NE(key, nullptr);
    // The second section of the same key adds to it; a value given again replaces it in place.
    EXPECT_EQ(Describe({*key}),
              (std::vector<std::string>{"[" + key->path + "]", "A 4 04000000", "c 4 03000000"}));
    EXPECT_EQ(FindRegKey(keys, "HKEY_LOCAL_MACHINE", "Software\\Two"), nullptr);
}

TEST(RegFile, PassesOverLinesItCannotRead) {
    const std::vector<std::string> bad = {
        "\"x\"=dword:123456789",  // more than 8 digits
        "\"x\"=dword:zz",        "\"x\"=hex:1,2,300", "\"x\"=\"unterminated",
        "\"x\" missing equals",  "\"x\"=unknown:1",   "no quotes=dword:1",
    };
    for (const auto &line : bad) {
        EXPECT_EQ(Describe(ParseRegFile("REGEDIT4\n[HKLM\\K]\n" + line + "\n\"ok\"=dword:7\n")),
                  (std::vector<std::string>{"[K]", "ok 4 07000000"}))
            << line;
    }
    // Values before any key and deleted keys ("[-...]") are ignored.
    EXPECT_TRUE(ParseRegFile("\"orphan\"=dword:1\n[-HKLM\\Gone]\n\"y\"=dword:1\n").empty());
}

}  // namespace
