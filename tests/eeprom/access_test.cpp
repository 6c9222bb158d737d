// The access layer: hex digits, 4-byte write chunks over the simulated bus, blocks that would
// pass the device end, and the mutex taken again by its holder.
#include <gtest/gtest.h>

#include "eeprom/area_fixture.h"
#include "eeprom/eeprom.h"

using namespace area_test;

namespace {

class AccessTest : public MachineTest {};

TEST(ByteToHex, TwoUpperCaseDigitsNoTerminator) {
    const uint8_t values[] = {0x0A, 0xF3, 0x00, 0x9C};
    char out[10] = "xxxxxxxxx";
    for (int i = 0; i < 4; ++i) EXPECT_EQ(ByteToHex(out + 2 * i, values[i]), out + 2 * i);
    EXPECT_STREQ(out, "0AF3009Cx");
}

TEST_F(AccessTest, WriteBlockGoesOutInFourByteChunksAscending) {
    qorsim::Image src{};
    for (int i = 0; i < 256; ++i) src[i] = static_cast<uint8_t>(i);
    const struct {
        uint8_t offset;
        int length, result;
        Lines traffic;
    } cases[] = {
        {0,
         19,
         0,
         {"W A8 00 4 00010203", "W A8 04 4 04050607", "W A8 08 4 08090A0B", "W A8 0C 4 0C0D0E0F",
          "W A8 10 3 101112"}},
        {9, 1, 0, {"W A8 09 1 09"}},
        {250, 6, 0, {"W A8 FA 4 FAFBFCFD", "W A8 FE 2 FEFF"}},
        {253, 4, 1, {}},  // past the device end: refused before the bus
        {0, 0, 1, {}},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, qorsim::Image{});
        ClearTraffic();
        EXPECT_EQ(EeWriteBlock(kArea, c.offset, src.data() + c.offset, c.length), c.result);
        EXPECT_EQ(Traffic(), c.traffic) << int(c.offset);
    }
    uint8_t buf[8] = {};
    EXPECT_EQ(EeReadBlock(kArea, 250, buf, 7), 1);
    EXPECT_EQ(EeReadBlock(kArea, 0, buf, 0), 1);
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_EQ(EeReadBlock(kArea, 248, buf, 8), 0);
}

TEST_F(AccessTest, LockIsTakenAgainByItsHolderAndLetGoAtScopeEnd) {
    {
        EeLock outer;
        EeLock inner;
        EXPECT_TRUE(outer.held() && inner.held());
        EXPECT_FALSE(MutexFree(std::chrono::milliseconds(200)));
    }
    EXPECT_TRUE(MutexFree());
}

}  // namespace
