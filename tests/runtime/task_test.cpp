// Tests of the task table: its 500-entry limit, deletion and compaction
// order, and refusal of an invalid priority class.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/od_diag.h"
#include "runtime/odwrap.h"
#include "runtime/vos.h"

namespace {

constexpr uint32_t kTestStack = 256 * 1024;

// Tasks park until the test ends so no thread handle is reused while the
// table still names it.
class ParkedTasks {
public:
    static void* Entry(void* argument) {
        auto* self = static_cast<ParkedTasks*>(argument);
        std::unique_lock<std::mutex> lock(self->mutex_);
        self->wake_.wait(lock, [self] { return self->open_; });
        ++self->finished_;
        self->wake_.notify_all();
        return nullptr;
    }

    int32_t Create(uint32_t priorityClass, OdTaskId* id) {
        int32_t result = OdWrap__TaskCreate(Entry, this, priorityClass, kTestStack, id);
        if (result == eOD_RET_OK) ++created_;
        return result;
    }

    ~ParkedTasks() {
        std::unique_lock<std::mutex> lock(mutex_);
        open_ = true;
        wake_.notify_all();
        wake_.wait_for(lock, std::chrono::seconds(20), [this] { return finished_ == created_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool open_ = false;
    int created_ = 0;
    int finished_ = 0;
};

int ThreadsInProcess() {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

class TaskTable : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OdWrap__Init(), eOD_RET_OK); }
    ParkedTasks tasks_;
};

TEST_F(TaskTable, FiveHundredFirstCreationFailsUntilOneIsDeleted) {
    OdTaskId ids[kOdMaxTasks] = {};
    for (int32_t i = 0; i < kOdMaxTasks; ++i) {
        ASSERT_EQ(tasks_.Create(eOD_PRIO_NORMAL, &ids[i]), eOD_RET_OK) << "task " << i;
        ASSERT_NE(ids[i], 0u);
    }
    OdTaskId extra = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(tasks_.Create(eOD_PRIO_NORMAL, &extra), eOD_RET_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OdWrap__TaskCreate(): Reached maximum task limit. 500 \n");
    EXPECT_EQ(extra, 0u);
    EXPECT_EQ(OdWrap__TaskCount(), kOdMaxTasks);

    EXPECT_EQ(OdWrap__TaskDelete(ids[250]), eOD_RET_OK);
    EXPECT_EQ(tasks_.Create(eOD_PRIO_NORMAL, &extra), eOD_RET_OK);
    EXPECT_EQ(OdWrap__TaskAt(kOdMaxTasks - 1), extra);
}

TEST_F(TaskTable, DeletingAnUnknownIdPrintsAndSucceeds) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(OdWrap__TaskDelete(static_cast<OdTaskId>(0x1234)), eOD_RET_OK);
    EXPECT_EQ(VosTaskDelete(static_cast<OdTaskId>(0xbeef)), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OdWrap__TaskDelete():taskid is not exist,taskid:0x1234.\n"
              "OdWrap__TaskDelete():taskid is not exist,taskid:0xbeef.\n");
}

TEST_F(TaskTable, DeletionKeepsTheTableDenseInCreationOrder) {
    OdTaskId a = 0, b = 0, c = 0, d = 0;
    ASSERT_EQ(tasks_.Create(eOD_PRIO_HIGH, &a), eOD_RET_OK);  // classes 0, 1, 2 store 3, 2, 1
    ASSERT_EQ(tasks_.Create(eOD_PRIO_NORMAL, &b), eOD_RET_OK);
    ASSERT_EQ(tasks_.Create(eOD_PRIO_LOW, &c), eOD_RET_OK);

    EXPECT_EQ(OdWrap__TaskPriorityAt(0), 3);
    EXPECT_EQ(OdWrap__TaskDelete(a), eOD_RET_OK);
    ASSERT_EQ(OdWrap__TaskCount(), 2);
    EXPECT_EQ(OdWrap__TaskAt(0), b);
    EXPECT_EQ(OdWrap__TaskAt(1), c);
    EXPECT_EQ(OdWrap__TaskPriorityAt(0), 2);  // the moved entry keeps its own priority
    EXPECT_EQ(OdWrap__TaskPriorityAt(1), 1);
    EXPECT_EQ(OdWrap__TaskAt(2), 0u);

    ASSERT_EQ(tasks_.Create(eOD_PRIO_HIGH, &d), eOD_RET_OK);
    EXPECT_EQ(OdWrap__TaskDelete(c), eOD_RET_OK);  // a middle entry
    EXPECT_EQ(OdWrap__TaskAt(0), b);
    EXPECT_EQ(OdWrap__TaskAt(1), d);

    EXPECT_EQ(OdWrap__TaskDelete(b), eOD_RET_OK);
    EXPECT_EQ(OdWrap__TaskDelete(d), eOD_RET_OK);  // the only one left
    EXPECT_EQ(OdWrap__TaskCount(), 0);
    EXPECT_EQ(OdWrap__TaskAt(0), 0u);
    EXPECT_EQ(OdWrap__TaskPriorityAt(0), -1);
}

TEST_F(TaskTable, InvalidClassCreatesNoThread) {
    const int threadsBefore = ThreadsInProcess();
    OdTaskId id = 7;
    testing::internal::CaptureStdout();
    EXPECT_EQ(tasks_.Create(3, &id), eOD_RET_INVALID);
    EXPECT_EQ(tasks_.Create(0xFFFFFFFFu, &id), eOD_RET_INVALID);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "OdWrap__TaskCreate(): Invalid priority: P3.\n\n"
              "OdWrap__TaskCreate(): Invalid priority: P-1.\n\n");
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(OdWrap__TaskCount(), 0);
    EXPECT_EQ(ThreadsInProcess(), threadsBefore);
}

std::atomic<void*> gSeenArgument{nullptr};

void* RecordArgument(void* argument) {
    gSeenArgument.store(argument);
    return nullptr;
}

TEST_F(TaskTable, TaskRunsItsEntryWithTheArgumentOnASmallRequestedStack) {
    int marker = 0;
    OdTaskId id = 0;
    // 2048 bytes is below the platform minimum: the default stack is used instead.
    ASSERT_EQ(VosTaskCreate(RecordArgument, &marker, eOD_PRIO_HIGH, 2048, &id), eOD_RET_OK);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (gSeenArgument.load() == nullptr && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(gSeenArgument.load(), &marker);
    EXPECT_EQ(OdWrap__TaskAt(0), id);  // a returned thread leaves its entry behind
}

}  // namespace
