// The access layer over the simulated bus: chunking, checksum upkeep, read-back, the mutex.
#include <gtest/gtest.h>

#include "eeprom/area_fixture.h"
#include "eeprom/eeprom.h"

using namespace area_test;

namespace {

class AccessTest : public MachineTest {};

qorsim::Image Pattern() {
    qorsim::Image img{};
    for (int i = 0; i < 256; ++i) img[i] = static_cast<uint8_t>(i);
    return img;
}

TEST_F(AccessTest, WriteBlockGoesOutInFourByteChunksAscending) {
    const struct {
        uint8_t offset;
        int length;
        std::vector<std::pair<int, int>> chunks;  // offset, length
    } cases[] = {
        {36, 20, {{36, 4}, {40, 4}, {44, 4}, {48, 4}, {52, 4}}},
        {0, 19, {{0, 4}, {4, 4}, {8, 4}, {12, 4}, {16, 3}}},
        {9, 1, {{9, 1}}},
        {252, 4, {{252, 4}}},
        {250, 6, {{250, 4}, {254, 2}}},
    };
    for (const auto &c : cases) {
        machine_.setDevice(kArea, qorsim::Image{});
        ClearTraffic();
        const auto src = Pattern();
        EXPECT_EQ(EeWriteBlock(kArea, c.offset, src.data() + c.offset, c.length), 0);
        const auto log = machine_.i2cTransfers();
        ASSERT_EQ(log.size(), c.chunks.size());
        for (size_t i = 0; i < log.size(); ++i) {
            EXPECT_EQ(log[i].dir, 'W');
            EXPECT_EQ(log[i].off, c.chunks[i].first);
            EXPECT_EQ(log[i].len, c.chunks[i].second);
        }
        const auto img = machine_.device(kArea);
        for (int i = 0; i < 256; ++i) {
            const bool inside = i >= c.offset && i < c.offset + c.length;
            EXPECT_EQ(img[i], inside ? src[i] : 0) << "byte " << i;
        }
    }
}

TEST_F(AccessTest, BlocksPastTheDeviceEndAreRefusedWithoutTraffic) {
    machine_.setDevice(kArea, Pattern());
    uint8_t buf[8] = {};
    EXPECT_EQ(EeWriteBlock(kArea, 253, buf, 4), 1);
    EXPECT_EQ(EeWriteBlock(kArea, 0, buf, 0), 1);
    EXPECT_EQ(EeReadBlock(kArea, 250, buf, 7), 1);
    EXPECT_EQ(EeReadBlock(kArea, 0, buf, 0), 1);
    EXPECT_EQ(TransferCount(), 0u);
    EXPECT_EQ(EeReadBlock(kArea, 248, buf, 8), 0);
    EXPECT_EQ(buf[7], 255);
}

TEST_F(AccessTest, FailedThirdChunkStopsAfterItAndKeepsTheFirstTwo) {
    machine_.setDevice(kArea, qorsim::Image{});
    machine_.conf("fail_transfer", "3");
    const auto src = Pattern();
    EXPECT_EQ(EeWriteBlock(kArea, 36, src.data() + 36, 20), 1);
    EXPECT_EQ(Traffic(), (std::vector<std::string>{"W A8 24 4 24252627", "W A8 28 4 28292A2B",
                                                   "W A8 2C 4! 2C2D2E2F"}));
    const auto img = machine_.device(kArea);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(img[i], i >= 36 && i < 44 ? i : 0) << i;
}

TEST_F(AccessTest, ChecksumMovesByTheDeltaOfOldAndNewBytes) {
    // Key 0 and zero text become key 0x78 and a text summing to 0x5A: the area checksum
    // moves by -(0x78 + 0x5A) = +0x2E.
    auto img = Formatted();
    img[8] = 0x10;
    machine_.setDevice(kArea, img);
    const uint8_t delta = static_cast<uint8_t>(0 - (0x78 + 0x5A));
    EXPECT_EQ(delta, 0x2E);
    EXPECT_EQ(EeAdjustChecksum(kArea, 8, delta), 0);
    EXPECT_EQ(Traffic(), (std::vector<std::string>{"R A8 08 1", "W A8 08 1 3E"}));
    EXPECT_EQ(machine_.device(kArea)[8], 0x3E);

    machine_.conf("fail_transfer", std::to_string(machine_.counters().transfers + 1));
    EXPECT_EQ(EeAdjustChecksum(kArea, 8, 1), 1);  // the read fails: nothing written
    EXPECT_EQ(machine_.device(kArea)[8], 0x3E);
}

TEST_F(AccessTest, ReadBackComparesKeyThenText) {
    auto img = Pattern();
    machine_.setDevice(kArea, img);
    uint8_t expected[20];
    std::memcpy(expected, img.data() + 16, 20);
    EXPECT_EQ(EeVerifyRecord(kArea, 16, expected, 20), 0);
    expected[0] ^= 1;
    EXPECT_EQ(EeVerifyRecord(kArea, 16, expected, 20), 5);
    expected[0] ^= 1;
    expected[19] ^= 1;
    EXPECT_EQ(EeVerifyRecord(kArea, 16, expected, 20), 6);
    expected[0] ^= 1;  // key and text differ: the key is reported
    EXPECT_EQ(EeVerifyRecord(kArea, 16, expected, 20), 5);
    machine_.removeDevice(kArea);
    EXPECT_EQ(EeVerifyRecord(kArea, 16, expected, 20), 1);
    // one read of the whole record each time
    for (const auto &t : machine_.i2cTransfers()) EXPECT_EQ(Compact(t).substr(0, 10), "R A8 10 20");
}

TEST_F(AccessTest, LockIsRecursiveAndLetGoAtScopeEnd) {
    {
        EeLock outer;
        ASSERT_TRUE(outer.held());
        {
            EeLock inner;
            EXPECT_TRUE(inner.held());
        }
        EXPECT_FALSE(MutexFree(std::chrono::milliseconds(200)));
    }
    EXPECT_TRUE(MutexFree());
}

TEST_F(AccessTest, LockWithoutAMutexIsNotHeld) {
    PlatMutex *mutex = g_state.ee_mutex;
    g_state.ee_mutex = nullptr;
    {
        EeLock lock;
        EXPECT_FALSE(lock.held());
    }
    g_state.ee_mutex = mutex;
}

}  // namespace
