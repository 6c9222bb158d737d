// Pure pieces of the access layer: hex digits, sums, the usable geometries.
#include <gtest/gtest.h>

#include <string>

#include "eeprom/eeprom.h"
#include "eeprom/serial/serial_area.h"

namespace {

TEST(ByteToHex, TwoUpperCaseDigitsNoTerminator) {
    const struct {
        uint8_t value;
        const char *digits;
    } cases[] = {{0x0A, "0A"}, {0xF3, "F3"}, {0x00, "00"}, {0xFF, "FF"}, {0x9C, "9C"}};
    for (const auto &c : cases) {
        char out[3] = {'x', 'x', 'x'};
        EXPECT_EQ(ByteToHex(out, c.value), out);
        EXPECT_EQ(std::string(out, 2), c.digits);
        EXPECT_EQ(out[2], 'x');
    }
}

TEST(SerialGeometryUsable, BoundsOfBuffersAndCache) {
    const struct {
        uint8_t s, n;
        bool usable;
    } cases[] = {
        {20, 12, true}, {2, 64, true},   {1, 12, false},    {0, 0, false}, {21, 11, true},
        {22, 1, false}, {20, 13, false}, {3, 65, false},    {21, 0, true}, {4, 60, true},
        {16, 15, true}, {17, 15, false}, {255, 255, false},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(SerialGeometryUsable(c.s, c.n), c.usable) << int(c.s) << "x" << int(c.n);
    }
}

}  // namespace
