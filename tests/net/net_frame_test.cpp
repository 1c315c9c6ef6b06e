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
    Bytes frame(payload.size() + kNetFrameOverhead + 8, 0xEE);
    const size_t n = NetFrameBuild(frame.data(), frame.size(), cmd, kDevId, payload.empty() ? nullptr : payload.data(),
                                   payload.size());
    frame.resize(n);
    return frame;
}

unsigned DevIdSum() {
    unsigned sum = 0;
    for (uint8_t b : kDevId) sum += b;
    return sum;
}

}  // namespace

TEST(NetFrameBuild, EmptyPayloadIsSeventeenBytesWithLenTwelve) {
    const Bytes frame = Build(0x70, {});
    ASSERT_EQ(frame.size(), 17u);
    EXPECT_EQ(frame[0], 0x68);
    EXPECT_EQ(frame[1], 12);
    EXPECT_EQ(frame[2], 0);
    EXPECT_EQ(frame[3], 0x68);
    EXPECT_EQ(frame[4], 0x70);
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 15), Bytes(kDevId, kDevId + 10));
    EXPECT_EQ(frame[15], static_cast<uint8_t>(0x70 + DevIdSum()));
    EXPECT_EQ(frame[16], 0x03);
    EXPECT_EQ(FrameCheck(frame.data(), frame.size()), 12);
}

TEST(NetFrameBuild, LenIsLittleEndianAndTheChecksumWrapsModulo256) {
    Bytes payload(300, 0xFF);  // len 312 = 0x0138: both length bytes matter
    const Bytes frame = Build(0x81, payload);
    ASSERT_EQ(frame.size(), 317u);
    EXPECT_EQ(frame[1], 0x38);
    EXPECT_EQ(frame[2], 0x01);
    EXPECT_EQ(frame[315], static_cast<uint8_t>(0x81 + DevIdSum() + 300 * 0xFF));
    EXPECT_EQ(FrameCheck(frame.data(), frame.size()), 312);
    EXPECT_EQ(NetFramePayloadLength(312), 300u);
}

TEST(NetFrameBuild, RefusesAFrameLargerThanTheBuffer) {
    uint8_t out[20];
    const uint8_t payload[4] = {1, 2, 3, 4};
    EXPECT_EQ(NetFrameBuild(out, sizeof out, 0x30, kDevId, payload, 3), 20u);
    EXPECT_EQ(NetFrameBuild(out, sizeof out, 0x30, kDevId, payload, 4), 0u);
}

TEST(FrameCheck, DropsEveryDamagedEnvelope) {
    const Bytes good = Build(0x30, {1});
    ASSERT_EQ(FrameCheck(good.data(), good.size()), 13);

    // One byte more or one byte less than len + 5.
    Bytes longer = good;
    longer.push_back(0x03);
    EXPECT_EQ(FrameCheck(longer.data(), longer.size()), 0);
    EXPECT_EQ(FrameCheck(good.data(), good.size() - 1), 0);

    // good is head, len (2), head, cmd, devId (5..14), payload (15), cs (16), tail (17).
    struct Damage {
        size_t offset;
        uint8_t value;
    };
    const Damage damages[] = {
        {0, 0x69},                                    // first head
        {3, 0x67},                                    // second head
        {17, 0x16},                                   // tail 0x16 instead of 0x03
        {15, 0x02},                                   // payload changed, checksum not
        {16, static_cast<uint8_t>(good[16] + 1)},     // checksum itself
        {1, 14},                                      // len one more than arrived
        {1, 12},                                      // len one less than arrived
    };
    for (const Damage& d : damages) {
        Bytes bad = good;
        bad[d.offset] = d.value;
        EXPECT_EQ(FrameCheck(bad.data(), bad.size()), 0) << "offset " << d.offset;
    }
}

TEST(FrameCheck, ShortOrDegenerateInputIsNoFrame) {
    const uint8_t tiny[5] = {0x68, 0x00, 0x00, 0x68, 0x03};  // len 0: not even a checksum
    EXPECT_EQ(FrameCheck(tiny, sizeof tiny), 0);
    const uint8_t minimal[6] = {0x68, 0x01, 0x00, 0x68, 0x00, 0x03};  // len 1: checksum only
    EXPECT_EQ(FrameCheck(minimal, sizeof minimal), 1);
    EXPECT_EQ(FrameCheck(minimal, 4), 0);
    EXPECT_EQ(FrameCheck(nullptr, 17), 0);
    EXPECT_EQ(NetFramePayloadLength(11), 0u);
}
