// Decoding of the RF identifier block: checksum, 6-bit groups and the text left behind.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "QORasstW.h"
#include "rfid/rfid.h"

namespace {

using Block = std::array<uint8_t, kRfIdBlockSize>;

struct DecodeCase {
    const char *name;
    Block block;
    int result;
    const char *text;  // the characters expected before the zeros
};

// Blocks worked out by hand from the bit layout (bits 0-11 chosen to balance the sum).
const DecodeCase kCases[] = {
    {"all zero", {}, ASSET_OK, "AAAAAAAAAAAAAA"},
    {"letters and digits",
     {0x0A, 0x04, 0x0E, 0x45, 0xE4, 0x92, 0x4D, 0xB7, 0x1D, 0x79, 0x76, 0x19},
     ASSET_OK,
     "QOR4SST1234XYZ"},
    {"first group 26 is the digit 0",
     {0x7A, 0x06, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     ASSET_OK,
     "0AAAAAAAAAAAAA"},
    {"first group 35 is the digit 9",
     {0x38, 0x08, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     ASSET_OK,
     "9AAAAAAAAAAAAA"},
    {"last group 25 is Z", {0xE7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x19}, ASSET_OK, "AAAAAAAAAAAAAZ"},
    {"first group 36 is refused",
     {0xF7, 0x09, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0},
     ASSET_ERR_RFID_GROUP,
     ""},
    {"sixth group 40 keeps the five before it",
     {0x0D, 0x14, 0x0E, 0x45, 0xE4, 0xA8, 0, 0, 0, 0, 0, 0},
     ASSET_ERR_RFID_GROUP,
     "QOR4S"},
    {"last group 63 keeps thirteen",
     {0xC1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3F},
     ASSET_ERR_RFID_GROUP,
     "AAAAAAAAAAAAA"},
    {"sum off by one", {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, ASSET_ERR_CHECKSUM, ""},
    {"bits 0-11 only balance the sum",
     {0xFF, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11},
     ASSET_OK,
     "AAAAAAAAAAAAAR"},
};

TEST(RfIdDecode, Table) {
    for (const DecodeCase &c : kCases) {
        std::array<char, 40> buf;
        buf.fill('#');
        EXPECT_EQ(RfIdDecode(c.block.data(), buf.data()), c.result) << c.name;
        const std::string expected(c.text);
        EXPECT_EQ(std::string(buf.data(), expected.size()), expected) << c.name;
        // Zeros up to byte 31, nothing beyond.
        for (size_t i = expected.size(); i < 32; ++i) EXPECT_EQ(buf[i], 0) << c.name << " " << i;
        for (size_t i = 32; i < buf.size(); ++i) EXPECT_EQ(buf[i], '#') << c.name << " " << i;
    }
}

}  // namespace
