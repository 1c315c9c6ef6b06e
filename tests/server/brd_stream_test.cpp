// The broadcast stream's header check and running figures.
#include <gtest/gtest.h>

#include <vector>

#include "tools/server/brd_stream.h"

namespace srvproto {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Packet(uint32_t brdId, uint8_t fill = 0x55) {
    Bytes p = {0x0A, 0x09, 0x06, 0x02, 0x01, 0x00, 0xAB, 0x00, 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(brdId >> (8 * i)));
    p.resize(187, fill);
    return p;
}

TEST(BrdStream, HeaderOfTheTerminalsPackets) {
    BrdHeader h;
    const Bytes good = Packet(0x01020304);
    ASSERT_EQ(DecodeBrdHeader(good.data(), good.size(), &h), kBrdOk);
    EXPECT_EQ(h.brdId, 0x01020304u);
    EXPECT_EQ(h.dataLen, 171);

    EXPECT_EQ(DecodeBrdHeader(good.data(), 15, &h), kBrdShort);
    for (size_t at : {0u, 1u, 2u, 3u, 4u, 5u, 8u, 11u}) {
        Bytes bad = good;
        bad[at] ^= 0x40;
        EXPECT_EQ(DecodeBrdHeader(bad.data(), bad.size(), &h), kBrdBadFormat) << at;
    }
    // dataLen must be 171 and match what follows.
    EXPECT_EQ(DecodeBrdHeader(good.data(), good.size() - 1, &h), kBrdBadLength);
    Bytes shortFrame = good;
    shortFrame[6] = 170;
    shortFrame.pop_back();
    EXPECT_EQ(DecodeBrdHeader(shortFrame.data(), shortFrame.size(), &h), kBrdBadLength);
    Bytes longLen = good;
    longLen[7] = 1;  // 427
    EXPECT_EQ(DecodeBrdHeader(longLen.data(), longLen.size(), &h), kBrdBadLength);
}

TEST(BrdStream, RateBadHeadersGapsAndBroadcastChanges) {
    BrdStreamStats stats;
    const Bytes p = Packet(5);
    const Bytes bad(40, 0x0A);
    int64_t t = 1000;
    // 75 frames at 10.67 ms, then a 100 ms silence, then 18 more; 2 bad ones.
    int valid = 0;
    for (int i = 0; i < 75; ++i) {
        valid += stats.OnPacket(p.data(), p.size(), t + (i * 32) / 3);
    }
    EXPECT_FALSE(stats.OnPacket(bad.data(), bad.size(), t + 800));
    EXPECT_FALSE(stats.OnPacket(bad.data(), bad.size(), t + 801));
    t += 900;
    for (int i = 0; i < 18; ++i) valid += stats.OnPacket(p.data(), p.size(), t + i * 5);
    EXPECT_EQ(valid, 93);
    ASSERT_TRUE(stats.Active());
    const auto w = stats.TakeWindow(2000);
    EXPECT_EQ(w.packets, 95u);
    EXPECT_EQ(w.perSecond, 95u);
    EXPECT_EQ(w.badHeaders, 2u);
    EXPECT_EQ(w.gaps, 1u);
    EXPECT_EQ(w.brdId, 5u);
    EXPECT_EQ(w.totalFrames, 93u);
    EXPECT_FALSE(stats.Active());

    // The next window counts anew; a new broadcast id is noticed, and a
    // return after a silence is one gap.
    const Bytes other = Packet(6);
    stats.OnPacket(other.data(), other.size(), 2500);
    stats.OnPacket(other.data(), other.size(), 2510);
    const auto w2 = stats.TakeWindow(2500 + 500);
    EXPECT_EQ(w2.packets, 2u);
    EXPECT_EQ(w2.perSecond, 2u);  // over the whole second since the last window
    EXPECT_EQ(w2.gaps, 1u);
    EXPECT_EQ(w2.badHeaders, 0u);
    EXPECT_EQ(w2.brdId, 6u);
    EXPECT_EQ(w2.totalFrames, 95u);
    EXPECT_EQ(stats.BrdIdChanges(), 1u);
}

}  // namespace
}  // namespace srvproto
