// The NetFrame envelope: the byte layout NetFrameBuild writes and the checks
// FrameCheck makes on a received datagram.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "net/net_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
const uint8_t kDevId[kNetFrameDevIdLength] = {'P', 'T', '0', '0', '0', '0', '0', '0', '0', '1'};

Bytes Build(uint8_t cmd, const Bytes& payload) {
    Bytes frame(payload.size() + kNetFrameOverhead);
    frame.resize(NetFrameBuild(frame.data(), frame.size(), cmd, kDevId, payload.empty() ? nullptr : payload.data(),
                               payload.size()));
    return frame;
}

}  // namespace

TEST(NetFrame, LayoutOfEmptyAndLongPayloads) {
    unsigned devIdSum = 0;
    for (uint8_t b : kDevId) devIdSum += b;
    Bytes expected(kDevId, kDevId + 10);
    expected.insert(expected.begin(), {0x68, 12, 0, 0x68, 0x70});
    expected.push_back(static_cast<uint8_t>(0x70 + devIdSum));  // cmd + devId modulo 256
    expected.push_back(0x03);
    EXPECT_EQ(Build(0x70, {}), expected);
    EXPECT_EQ(FrameCheck(expected.data(), expected.size()), 12);

    const Bytes frame = Build(0x81, Bytes(300, 0xFF));  // len 312 = 0x0138, the sum wraps
    ASSERT_EQ(frame.size(), 317u);
    EXPECT_EQ(frame[1], 0x38);
    EXPECT_EQ(frame[2], 0x01);
    EXPECT_EQ(frame[315], static_cast<uint8_t>(0x81 + devIdSum + 300 * 0xFF));
    EXPECT_EQ(FrameCheck(frame.data(), frame.size()), 312);

    uint8_t small[20];
    EXPECT_EQ(NetFrameBuild(small, sizeof small, 0x30, kDevId, frame.data(), 3), 20u);
    EXPECT_EQ(NetFrameBuild(small, sizeof small, 0x30, kDevId, frame.data(), 4), 0u);  // does not fit
}

TEST(NetFrame, CheckDropsEveryDamagedEnvelope) {
    // head, len (2), head, cmd, devId (5..14), payload (15), cs (16), tail (17).
    const Bytes good = Build(0x30, {1});
    ASSERT_EQ(FrameCheck(good.data(), good.size()), 13);
    Bytes longer = good;
    longer.push_back(0x03);
    EXPECT_EQ(FrameCheck(longer.data(), longer.size()), 0);
    EXPECT_EQ(FrameCheck(good.data(), good.size() - 1), 0);

    const std::pair<size_t, uint8_t> damages[] = {
        {0, 0x69}, {3, 0x67},                               // heads
        {17, 0x16},                                         // tail 0x16 instead of 0x03
        {15, 0x02}, {16, static_cast<uint8_t>(good[16] + 1)},  // payload or checksum changed
        {1, 14}, {1, 12},                                   // len off by one either way
    };
    for (const auto& [offset, value] : damages) {
        Bytes bad = good;
        bad[offset] = value;
        EXPECT_EQ(FrameCheck(bad.data(), bad.size()), 0) << "offset " << offset;
    }
    const uint8_t noChecksum[5] = {0x68, 0x00, 0x00, 0x68, 0x03};  // len 0
    EXPECT_EQ(FrameCheck(noChecksum, sizeof noChecksum), 0);
    EXPECT_EQ(FrameCheck(nullptr, 17), 0);
}
