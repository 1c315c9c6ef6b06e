// Decoding what terminals send: the status report's fields, and every
// answer only from a valid frame of exactly its length (the printed lines
// of all four answers are checked by the tool's run in server_tool_test).
#include <gtest/gtest.h>

#include <vector>

#include "net/net_frame.h"
#include "tools/server/terminal_answers.h"

namespace srvproto {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t cmd, const Bytes& payload, const char* id = "PT00000007") {
    Bytes out(payload.size() + kNetFrameOverhead);
    out.resize(NetFrameBuild(out.data(), out.size(), cmd, reinterpret_cast<const uint8_t*>(id), payload.data(),
                             payload.size()));
    return out;
}

Bytes StatusPayload() {
    Bytes p(73, 0);
    p[32] = 2;     // broadcasting
    p[33] = 0x05;  // groups 0, 2 and 9
    p[34] = 0x02;
    p[35] = 0x07;  // brdId 0x0107
    p[36] = 0x01;
    p[37] = 1;
    p[72] = 1;
    return p;
}

TEST(TerminalAnswers, StatusReportFieldsAtTheirOffsets) {
    const Bytes frame = Frame(0x81, StatusPayload());
    StatusReport s;
    ASSERT_EQ(DecodeStatus(frame.data(), frame.size(), &s), 0);
    EXPECT_EQ(s.devId, "PT00000007");
    EXPECT_EQ(s.brdState, 2);
    EXPECT_EQ(s.grpMask, 0x0205);
    EXPECT_EQ(s.brdId, 0x0107);
    EXPECT_EQ(s.request, 1);
    EXPECT_EQ(s.fixed, 1);
    EXPECT_EQ(FormatStatus(s, "192.168.1.10"),
              "status from 192.168.1.10 PT00000007: brdState 2 (broadcasting), groups 0x0205 [0,2,9], brdId 263, "
              "request 1, fixed 1");

    // Ones in the zero areas do not leak into the fields.
    Bytes noisy(73, 0xEE);
    noisy[32] = 0;
    noisy[33] = noisy[34] = noisy[35] = noisy[36] = noisy[37] = noisy[72] = 0;
    const Bytes quiet = Frame(0x81, noisy);
    ASSERT_EQ(DecodeStatus(quiet.data(), quiet.size(), &s), 0);
    EXPECT_EQ(FormatStatus(s, "10.0.0.1"),
              "status from 10.0.0.1 PT00000007: brdState 0 (idle), groups 0x0000 [], brdId 0, request 0, fixed 0");
}

TEST(TerminalAnswers, RejectsWrongLengthCodeOrEnvelope) {
    StatusReport s;
    s.brdState = 9;
    for (size_t n : {72u, 74u}) {
        const Bytes f = Frame(0x81, Bytes(n, 0));
        EXPECT_EQ(DecodeStatus(f.data(), f.size(), &s), -1) << n;
        EXPECT_EQ(s.brdState, 0);  // cleared first
    }
    const Bytes version = Frame(0x49, Bytes(34, 0));
    EXPECT_EQ(DecodeStatus(version.data(), version.size(), &s), -1);
    Bytes bad = Frame(0x81, StatusPayload());
    bad[15 + 40] ^= 1;  // checksum no longer matches
    EXPECT_EQ(DecodeStatus(bad.data(), bad.size(), &s), -1);
    Bytes tail = Frame(0x81, StatusPayload());
    tail.back() = 0x16;
    EXPECT_EQ(DecodeStatus(tail.data(), tail.size(), &s), -1);
    const Bytes good = Frame(0x81, StatusPayload());
    EXPECT_EQ(DecodeStatus(good.data(), good.size() - 1, &s), -1);
    EXPECT_EQ(DecodeStatus(good.data(), 4, &s), -1);
}

TEST(TerminalAnswers, VersionTextStopsAtItsEndAndOtherAnswersNeedTheirLength) {
    // Text without a terminator stops at the payload's end.
    const Bytes unterminated = Frame(0x49, Bytes(34, 'x'));
    VersionInfo v;
    ASSERT_EQ(DecodeVersion(unterminated.data(), unterminated.size(), &v), 0);
    EXPECT_EQ(v.text, std::string(32, 'x'));
    const Bytes shorter = Frame(0x49, Bytes(33, 0));
    EXPECT_EQ(DecodeVersion(shorter.data(), shorter.size(), &v), -1);
    SearchAck a;
    const Bytes search = Frame(0x82, Bytes(139, 0));
    EXPECT_EQ(DecodeSearchAck(search.data(), search.size(), &a), -1);
    LoginAck l;
    const Bytes twoBytes = Frame(0x84, {0, 0});
    EXPECT_EQ(DecodeLoginAck(twoBytes.data(), twoBytes.size(), &l), -1);
}

}  // namespace
}  // namespace srvproto
