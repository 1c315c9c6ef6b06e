// Tests of the message queues: order, null and unknown ids, wait modes,
// unbounded length, deletion with held messages, the table limit, and
// concurrent senders.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "runtime/od_diag.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int* NewMessage(int value) {
    int* message = static_cast<int*>(malloc(sizeof(int)));
    *message = value;
    return message;
}

// Takes one message without waiting and returns its value, or -1.
int TakeValue(uint32_t queueId) {
    void* message = nullptr;
    if (VosQueueReceive(queueId, 1, 0, &message) != eOD_RET_OK) return -1;
    int value = *static_cast<int*>(message);
    free(message);
    return value;
}

class Queues : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(OdWrap__Init(), eOD_RET_OK);
        ASSERT_EQ(VosQueueCreate(200, 8, &queue_), eOD_RET_OK);
    }
    uint32_t queue_ = 99;
};

TEST_F(Queues, MessagesLeaveInSendOrder) {
    EXPECT_EQ(queue_, 0u);  // the first queue has id 0
    for (int value : {10, 20, 30}) ASSERT_EQ(VosQueueSend(queue_, NewMessage(value)), eOD_RET_OK);
    EXPECT_EQ(OdWrap__QueueLength(queue_), 3);
    EXPECT_EQ(TakeValue(queue_), 10);
    EXPECT_EQ(TakeValue(queue_), 20);
    EXPECT_EQ(TakeValue(queue_), 30);
    EXPECT_EQ(OdWrap__QueueIsEmptyList(queue_), 1);
    EXPECT_EQ(TakeValue(queue_), -1);
    // Sending after the list emptied appends at a fresh head.
    ASSERT_EQ(VosQueueSend(queue_, NewMessage(40)), eOD_RET_OK);
    EXPECT_EQ(TakeValue(queue_), 40);
}

TEST_F(Queues, NullMessageIsInvalidAndChangesNothing) {
    ASSERT_EQ(VosQueueSend(queue_, NewMessage(1)), eOD_RET_OK);
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosQueueSend(queue_, nullptr), eOD_RET_INVALID);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "OdWrap__QueueSend(): Invalid message: NULL.\n");
    EXPECT_EQ(OdWrap__QueueLength(queue_), 1);
    EXPECT_EQ(TakeValue(queue_), 1);
    EXPECT_EQ(TakeValue(queue_), -1);  // no unit was added for the null message
}

TEST_F(Queues, UnknownAndDeletedIdsAreReported) {
    uint32_t gone = 0;
    ASSERT_EQ(VosQueueCreate(1, 0, &gone), eOD_RET_OK);
    ASSERT_EQ(VosQueueDelete(gone), 0);
    int* kept = NewMessage(5);
    void* received = kept;
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosQueueSend(5, kept), eOD_RET_ERROR);
    EXPECT_EQ(VosQueueReceive(5, 1, 0, &received), eOD_RET_ERROR);
    EXPECT_EQ(VosQueueSend(gone, kept), eOD_RET_ERROR);
    EXPECT_EQ(VosQueueReceive(gone, 0, 0, &received), eOD_RET_ERROR);  // must not block
    EXPECT_EQ(VosQueueDelete(gone), 0);                              // silent
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OdWrap__QueueSend():Queue id is not exist,queueid:0x5.\n"
              "OdWrap__QueueRcv():Queue id is not exist,queueid:0x5.\n"
              "OdWrap__QueueSend():Queue id is not exist,queueid:0x1.\n"
              "OdWrap__QueueRcv():Queue id is not exist,queueid:0x1.\n");
    EXPECT_EQ(received, nullptr);
    free(kept);  // a failed send leaves the message with the sender
}

TEST_F(Queues, NoWaitModeAndTimedReceive) {
    void* message = &queue_;
    auto start = Clock::now();
    EXPECT_EQ(VosQueueReceive(queue_, 1, 500, &message), eOD_RET_AGAIN);  // mode 1 ignores the timeout
    EXPECT_LT(MsSince(start), 400);
    EXPECT_EQ(message, nullptr);

    start = Clock::now();
    EXPECT_EQ(VosQueueReceive(queue_, 0, 50, &message), eOD_RET_TIMEOUT);
    const long long waited = MsSince(start);
    EXPECT_GE(waited, 49);
    EXPECT_LT(waited, 3000);
}

TEST_F(Queues, CapacityOneTakesAThousandSends) {
    uint32_t small = 0;
    ASSERT_EQ(VosQueueCreate(1, 0, &small), eOD_RET_OK);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(VosQueueSend(small, NewMessage(i)), eOD_RET_OK) << i;
    EXPECT_EQ(OdWrap__QueueLength(small), 1000);
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(TakeValue(small), i);
    EXPECT_EQ(OdWrap__QueueIsEmptyList(small), 1);
}

bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

TEST_F(Queues, DeleteFreesTheMessagesItHolds) {
    constexpr int kHeld = 64;
    constexpr size_t kSize = 16 * 1024;
    const size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kHeld; ++i) ASSERT_EQ(VosQueueSend(queue_, malloc(kSize)), eOD_RET_OK);
    EXPECT_EQ(VosQueueDelete(queue_), 0);
    // Under the sanitizers their leak and double-free checks do this job.
    if (!Sanitized()) {
        EXPECT_LT(mallinfo2().uordblks, before + kSize);
    }
    EXPECT_EQ(OdWrap__QueueCount(), 0);
    EXPECT_EQ(OdWrap__SemCount(), 0);  // its semaphore went too
    int* late = NewMessage(1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosQueueSend(queue_, late), eOD_RET_ERROR);
    testing::internal::GetCapturedStdout();
    free(late);
}

TEST_F(Queues, TableHoldsAThousandQueues) {
    uint32_t id = 0;
    for (int i = 1; i < kOdMaxQueues; ++i) ASSERT_EQ(VosQueueCreate(1, 0, &id), eOD_RET_OK) << i;
    EXPECT_EQ(id, static_cast<uint32_t>(kOdMaxQueues - 1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(VosQueueCreate(1, 0, &id), eOD_RET_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OdWrap__QueueCreate(): Reached maximum queue limit.\n");
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(OdWrap__SemCount(), kOdMaxQueues);  // no semaphore left behind by the failure

    ASSERT_EQ(VosQueueDelete(500), 0);
    ASSERT_EQ(VosQueueCreate(1, 0, &id), eOD_RET_OK);
    EXPECT_EQ(id, static_cast<uint32_t>(kOdMaxQueues));
    ASSERT_EQ(VosQueueSend(id, NewMessage(3)), eOD_RET_OK);
    EXPECT_EQ(TakeValue(id), 3);
}

TEST_F(Queues, DeletingWakesABlockedReceiver) {
    std::atomic<int32_t> result{-1};
    const auto start = Clock::now();
    testing::internal::CaptureStdout();
    std::thread receiver([&] {
        void* message = nullptr;
        result = VosQueueReceive(queue_, 0, 5000, &message);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(VosQueueDelete(queue_), 0);
    receiver.join();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(result.load(), eOD_RET_ERROR);
    EXPECT_LT(MsSince(start), 4000);
}

TEST_F(Queues, ConcurrentSendersLoseNothingAndKeepTheirOrder) {
    constexpr int kSenders = 4;
    constexpr int kEach = 500;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([this, s] {
            for (int i = 0; i < kEach; ++i) {
                if (VosQueueSend(queue_, NewMessage(s * kEach + i)) != eOD_RET_OK) return;
            }
        });
    }
    std::vector<int> next(kSenders, 0);
    int received = 0;
    for (int n = 0; n < kSenders * kEach; ++n) {
        void* message = nullptr;
        if (VosQueueReceive(queue_, 0, 5000, &message) != eOD_RET_OK) break;
        int value = *static_cast<int*>(message);
        free(message);
        const int sender = value / kEach;
        EXPECT_EQ(value % kEach, next[sender]) << "sender " << sender;
        next[sender] = value % kEach + 1;
        ++received;
    }
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(received, kSenders * kEach);
    EXPECT_EQ(OdWrap__QueueIsEmptyList(queue_), 1);
}

}  // namespace
