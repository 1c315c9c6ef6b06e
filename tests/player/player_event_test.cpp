// The kernel event receiver's loop: each event becomes the right player
// messages (or none), in order and with its waits; cut messages, messages
// whose header does not fit what arrived and messages from a process are no
// events; an empty message ends the loop with status 0, a hard receive
// error with status 1, while signals and receive overruns do not.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "board/board.h"
#include "board/sim/kernel/netlink_event.h"
#include "player/player_event.h"
#include "player/player_msg.h"
#include "runtime/vos.h"
#include "tests/net/net_test_support.h"
#include "tests/sim/in_process_board.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kPort = 4321;
constexpr uint32_t kWaitMs = 5000;

using nettest::CreatePlayerQueue;

struct Posted {
    uint16_t src = 0;
    uint16_t type = 0;  // 0: nothing arrived in time
    std::vector<uint8_t> data;
    Clock::time_point at;
};

Posted Next(uint32_t queueId, uint32_t waitMs = kWaitMs) {
    void* received = nullptr;
    Posted posted;
    // Mode 1 looks without waiting; mode 0 with timeout 0 would wait for ever.
    const uint32_t mode = waitMs == 0 ? 1 : 0;
    if (VosQueueReceive(queueId, mode, waitMs, &received) != eOD_RET_OK || received == nullptr) return posted;
    posted.at = Clock::now();
    auto* message = static_cast<PlayerMsg*>(received);
    posted.src = message->src;
    posted.type = message->msgType;
    posted.data.assign(message->data, message->data + message->len);
    free(message);
    return posted;
}

std::vector<uint8_t> Event(uint8_t type, uint8_t value = 0, size_t length = kPlayerEventRecordBytes) {
    std::vector<uint8_t> record = sim::kernel::NetlinkEvents::Record(type, value, 0);
    record.resize(length);
    return record;
}

}  // namespace

TEST(KernelEventReceiver, EventsOnTheBoardChannelBecomeTheirMessagesUntilAnEmptyOne) {
    simtest::InProcessBoard board;
    ASSERT_TRUE(board.ready()) << board.error();
    const uint32_t queueId = CreatePlayerQueue();
    const int sock = board::NetlinkSocket(kPlayerEventNetlinkProtocol);
    ASSERT_GE(sock, 0);
    ASSERT_EQ(board::NetlinkBind(sock, kPort), 0);
    ASSERT_TRUE(simtest::WaitUntil([&] { return board.Netlink().LatestBoundPort() == kPort; }, 5s));

    testing::internal::CaptureStdout();
    std::atomic<int> status{-1};
    std::thread loop([&] { status = PlayerEventReceive(sock, board::NetlinkRecvFrom); });
    auto send = [&](const std::vector<uint8_t>& record) {
        EXPECT_TRUE(board.Netlink().Deliver(kPort, record.data(), record.size()));
    };

    send(Event(eKNL_MSG_TYPE_RF_KEY, 12));
    Posted stop = Next(queueId);
    EXPECT_EQ(stop.src, eMSG_SRC_KNL);
    EXPECT_EQ(stop.type, eSVC_MSG_TYPE_RF_STOP);
    EXPECT_TRUE(stop.data.empty());

    // Key 15 posts nothing, so the next message is key 11's.
    send(Event(eKNL_MSG_TYPE_RF_KEY, 15));
    send(Event(eKNL_MSG_TYPE_RF_KEY, 11));
    Posted play = Next(queueId);
    EXPECT_EQ(play.type, eSVC_MSG_TYPE_RF_FILE_PLAY);
    EXPECT_EQ(play.data, std::vector<uint8_t>{11});

    const Clock::time_point removedAt = Clock::now();
    send(Event(eKNL_MSG_TYPE_MMC_REMOVE));
    EXPECT_EQ(Next(queueId).type, eSVC_MSG_TYPE_MMC_REMOVE);
    Posted again = Next(queueId);
    EXPECT_EQ(again.type, eSVC_MSG_TYPE_MMC_REMOVE);
    EXPECT_GE(again.at - removedAt, 2ms);

    // A header-only message, one without its value, and an unknown type
    // post nothing: read as events they would be a card insertion (1 s
    // late) and RF file key 0.
    send(Event(eKNL_MSG_TYPE_MMC_INSERT, 0, kPlayerEventHeaderBytes));
    send(Event(eKNL_MSG_TYPE_RF_KEY, 0, kPlayerEventRecordBytes - 1));
    send(Event(9, 1));
    // Nor do records whose header does not fit what arrived, nor one from
    // a process rather than the kernel.
    for (uint32_t claimed : {0u, 17u, 19u, 8208u}) {
        std::vector<uint8_t> record = Event(eKNL_MSG_TYPE_RF_KEY, 12);
        std::memcpy(record.data(), &claimed, sizeof claimed);
        send(record);
    }
    const std::vector<uint8_t> forged = Event(eKNL_MSG_TYPE_RF_KEY, 12);
    EXPECT_TRUE(board.Netlink().Deliver(kPort, forged.data(), forged.size(), 4242));
    send(Event(eKNL_MSG_TYPE_AUDIO_DETECTED));
    send(Event(eKNL_MSG_TYPE_AUDIO_LOST));
    EXPECT_EQ(Next(queueId).type, eSVC_MSG_TYPE_AUTO_DECTED);
    EXPECT_EQ(Next(queueId).type, eSVC_MSG_TYPE_AUTO_LOST);

    const Clock::time_point insertedAt = Clock::now();
    send(Event(eKNL_MSG_TYPE_MMC_INSERT));
    Posted inserted = Next(queueId);
    EXPECT_EQ(inserted.type, eSVC_MSG_TYPE_MMC_INSERT);
    EXPECT_GE(inserted.at - insertedAt, 1000ms);

    send({});
    // Should the loop miss the empty message, the board's power-off ends
    // the channel, so the join below is bounded either way.
    if (!simtest::WaitUntil([&] { return status.load() != -1; }, 5s)) board.PowerOff();
    loop.join();
    EXPECT_EQ(status.load(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "rcv eKNL_MSG_TYPE_AUDIO_DETECTED \nrcv eSVC_MSG_TYPE_AUTO_LOST \nError:  Exit.");
    EXPECT_EQ(Next(queueId, 0).type, 0) << "a message posted that no event asked for";
    board::Close(sock);
}

namespace {

// A scripted receive: each step is an errno to fail with, or a message.
struct RecvStep {
    int error;
    std::vector<uint8_t> message;
};
std::vector<RecvStep> gSteps;
size_t gNextStep;
bool gBuffersCleared = true;

ssize_t ScriptedRecv(int /*fd*/, void* buf, size_t len, uint32_t* senderPort) {
    *senderPort = 0;
    const auto* bytes = static_cast<const uint8_t*>(buf);
    gBuffersCleared = gBuffersCleared && len == kPlayerEventBufferBytes &&
                      std::all_of(bytes, bytes + len, [](uint8_t b) { return b == 0; });
    if (gNextStep == gSteps.size()) {
        errno = EBADF;
        return -1;
    }
    const RecvStep& step = gSteps[gNextStep++];
    if (step.error != 0) {
        errno = step.error;
        return -1;
    }
    std::memcpy(buf, step.message.data(), step.message.size());
    return static_cast<ssize_t>(step.message.size());
}

}  // namespace

TEST(KernelEventReceiver, SignalsAndOverrunsAreRetriedAndOnlyAHardErrorEndsTheLoop) {
    const uint32_t queueId = CreatePlayerQueue();
    // A full 8208-byte message leaves its last bytes in the buffer: the
    // next receive must start from a cleared one all the same.
    std::vector<uint8_t> large(kPlayerEventBufferBytes, 0xA5);
    const uint32_t largeLength = kPlayerEventBufferBytes;
    std::memcpy(large.data(), &largeLength, sizeof largeLength);
    large[kPlayerEventHeaderBytes] = eKNL_MSG_TYPE_RF_KEY;
    large[kPlayerEventHeaderBytes + 1] = 12;
    gSteps = {{EINTR, {}}, {ENOBUFS, {}}, {0, large}, {ENOBUFS, {}}, {0, Event(eKNL_MSG_TYPE_RF_KEY, 3)}};

    testing::internal::CaptureStdout();
    EXPECT_EQ(PlayerEventReceive(-1, ScriptedRecv), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error:  recvmsg:");
    EXPECT_EQ(gNextStep, gSteps.size());
    EXPECT_TRUE(gBuffersCleared);
    EXPECT_EQ(Next(queueId, 0).type, eSVC_MSG_TYPE_RF_STOP);
    Posted play = Next(queueId, 0);
    EXPECT_EQ(play.type, eSVC_MSG_TYPE_RF_FILE_PLAY);
    EXPECT_EQ(play.data, std::vector<uint8_t>{3});
    EXPECT_EQ(Next(queueId, 0).type, 0);
}
