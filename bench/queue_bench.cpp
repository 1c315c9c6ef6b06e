// Message round trip through the runtime's queues (post in one task, receive
// in another, reply on a second queue) against a plain mutex + condition
// variable queue doing the same round trip, measured in the same run.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "runtime/vos.h"

namespace {

constexpr uint32_t kWaitForever = 0;
constexpr uint32_t kModeWait = 0;

// ---- the runtime's queues ------------------------------------------------

struct RuntimeLink {
    uint32_t request = 0;
    uint32_t reply = 0;
};

RuntimeLink gLink;
int gStopMarker = 0;

// Echoes every message from the request queue to the reply queue until it
// sees the stop marker.
void* EchoTask(void* argument) {
    auto* link = static_cast<RuntimeLink*>(argument);
    for (;;) {
        void* message = nullptr;
        if (VosQueueReceive(link->request, kModeWait, kWaitForever, &message) != 0) continue;
        VosQueueSend(link->reply, message);
        if (message == &gStopMarker) return nullptr;
    }
}

void BM_RuntimeQueueRoundTrip(benchmark::State& state) {
    VosQueueCreate(200, 8, &gLink.request);
    VosQueueCreate(200, 8, &gLink.reply);
    OdTaskId echo = 0;
    VosTaskCreate(EchoTask, &gLink, eOD_PRIO_NORMAL, 4096, &echo);
    int* message = static_cast<int*>(malloc(sizeof(int)));
    for (auto _ : state) {
        VosQueueSend(gLink.request, message);
        void* back = nullptr;
        VosQueueReceive(gLink.reply, kModeWait, kWaitForever, &back);
        benchmark::DoNotOptimize(back);
    }
    VosQueueSend(gLink.request, &gStopMarker);
    void* stop = nullptr;
    VosQueueReceive(gLink.reply, kModeWait, kWaitForever, &stop);
    free(message);
    VosTaskDelete(echo);
    VosQueueDelete(gLink.request);
    VosQueueDelete(gLink.reply);
}

// ---- baseline: std::mutex + std::condition_variable ----------------------

class PlainQueue {
public:
    void Send(void* message) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(message);
        }
        ready_.notify_one();
    }
    void* Receive() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !items_.empty(); });
        void* message = items_.front();
        items_.pop_front();
        return message;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<void*> items_;
};

void BM_BaselineQueueRoundTrip(benchmark::State& state) {
    PlainQueue request;
    PlainQueue reply;
    std::thread echo([&] {
        for (;;) {
            void* message = request.Receive();
            reply.Send(message);
            if (message == &gStopMarker) return;
        }
    });
    int* message = static_cast<int*>(malloc(sizeof(int)));
    for (auto _ : state) {
        request.Send(message);
        benchmark::DoNotOptimize(reply.Receive());
    }
    request.Send(&gStopMarker);
    reply.Receive();
    echo.join();
    free(message);
}

BENCHMARK(BM_RuntimeQueueRoundTrip)->MinTime(0.5)->UseRealTime();
BENCHMARK(BM_BaselineQueueRoundTrip)->MinTime(0.5)->UseRealTime();

// Keeps each benchmark's time per iteration so the ratio can be printed.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration) {
                nsPerIteration_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Ratio() const {
        auto runtime = nsPerIteration_.find("BM_RuntimeQueueRoundTrip");
        auto baseline = nsPerIteration_.find("BM_BaselineQueueRoundTrip");
        if (runtime == nsPerIteration_.end() || baseline == nsPerIteration_.end() ||
            baseline->second <= 0) {
            return -1;
        }
        return runtime->second / baseline->second;
    }

private:
    std::map<std::string, double> nsPerIteration_;
};

}  // namespace

int main(int argc, char** argv) {
    // One CPU for every thread: a wake-up across CPUs of a virtual machine
    // costs more than either queue and would swamp the comparison.
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu() >= 0 ? sched_getcpu() : 0, &one);
    sched_setaffinity(0, sizeof(one), &one);
    VosStart();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double ratio = reporter.Ratio();
    if (ratio > 0) printf("queue round trip ratio runtime/baseline: %.2f\n", ratio);
    benchmark::Shutdown();
    return 0;
}
