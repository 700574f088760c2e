// The peer's worker team (bench/worker_team.h): every worker runs exactly once per frame, side by
// side, and stops at its wait when the team goes.
#include "bench/worker_team.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "errors/errors.h"
#include "errors/message_box.h"
#include "tests/raytracer/screen_test_watchdog.h"

namespace {

using redowl_bench::WorkerTeam;

// Shared state of one protocol run. counts[i] is written only by worker i and read by the driver
// between frames; frame is written only by the driver between frames.
struct FrameLog {
    explicit FrameLog(int n) : counts(static_cast<std::size_t>(n), 0), seeds(static_cast<std::size_t>(n)) {
        for (int i = 0; i < n; ++i) seeds[static_cast<std::size_t>(i)].seed(1234u + static_cast<unsigned>(i));
    }
    int frame = 0;
    std::vector<int> counts;
    std::vector<std::minstd_rand> seeds;  // per worker: uneven work so that fast workers lap slow ones
    std::atomic<int> running{0};
    std::atomic<int> wrongFrame{0};
    std::atomic<long> total{0};
    std::atomic<unsigned> sink{0};
};

void LogWork(void* context, int worker) {
    auto* log = static_cast<FrameLog*>(context);
    // Running side by side is WorkersRunConcurrentlyWithinAFrame's subject; here the count
    // only shows that nobody is still running once the frame is over.
    log->running.fetch_add(1);
    int& count = log->counts[static_cast<std::size_t>(worker)];
    // A worker runs for the frame that the driver announced, and only once in it.
    if (count + 1 != log->frame) log->wrongFrame.fetch_add(1);
    ++count;
    log->total.fetch_add(1);
    // Uneven amounts of work: sometimes none, sometimes a yield, sometimes a short spin.
    const unsigned r = log->seeds[static_cast<std::size_t>(worker)]() % 8u;
    if (r == 0) std::this_thread::yield();
    if (r == 1) {
        unsigned x = r;
        for (int k = 0; k < 2000; ++k) x = x * 1664525u + 1013904223u;
        log->sink.store(x, std::memory_order_relaxed);
    }
    log->running.fetch_sub(1);
}

void RunFrames(int n, int frames) {
    FrameLog log(n);
    WorkerTeam team(n, &LogWork, &log);
    ASSERT_EQ(team.Size(), n);
    for (int f = 1; f <= frames; ++f) {
        log.frame = f;
        team.RunFrame();
        // After the frame every worker has run exactly f times and nobody is still running.
        ASSERT_EQ(log.total.load(), static_cast<long>(n) * f) << "frame " << f;
        ASSERT_EQ(log.running.load(), 0);
        for (int i = 0; i < n; ++i) ASSERT_EQ(log.counts[static_cast<std::size_t>(i)], f) << "worker " << i;
    }
    EXPECT_EQ(log.wrongFrame.load(), 0);
}

}  // namespace

TEST(WorkerTeamTest, EveryWorkerRunsExactlyOncePerFrameWithFourWorkers) {
    redowl_test::Watchdog watchdog("4-worker frames", 120);
    RunFrames(4, 5000);
}

TEST(WorkerTeamTest, EveryWorkerRunsExactlyOncePerFrameWithSixteenWorkers) {
    redowl_test::Watchdog watchdog("16-worker frames", 120);
    RunFrames(16, 3000);
}

TEST(WorkerTeamTest, TeamsLargerThanSixtyFourWorkersStillWaitForAll) {
    redowl_test::Watchdog watchdog("100-worker frames", 120);
    RunFrames(100, 100);
}

TEST(WorkerTeamTest, WorkersRunConcurrentlyWithinAFrame) {
    // All workers of a frame block until every one of them has started: this only finishes when
    // the release lets them run side by side.
    redowl_test::Watchdog watchdog("concurrent release", 60);
    struct Meeting {
        std::atomic<int> arrived{0};
        int n = 4;
    } meeting;
    WorkerTeam team(4, [](void* c, int) {
        auto* m = static_cast<Meeting*>(c);
        m->arrived.fetch_add(1);
        while (m->arrived.load() % m->n != 0) std::this_thread::yield();
    }, &meeting);
    for (int f = 0; f < 200; ++f) team.RunFrame();
    EXPECT_EQ(meeting.arrived.load(), 800);
}

TEST(WorkerTeamTest, DestructionStopsIdleTeamsWithAndWithoutFrames) {
    redowl_test::Watchdog watchdog("destruction", 60);
    for (int n : {1, 4, 16}) {
        FrameLog never(n);
        { WorkerTeam idle(n, &LogWork, &never); }  // never released
        EXPECT_EQ(never.total.load(), 0);

        FrameLog some(n);
        {
            WorkerTeam team(n, &LogWork, &some);
            for (int f = 1; f <= 3; ++f) {
                some.frame = f;
                team.RunFrame();
            }
        }  // destroyed while every worker waits for a fourth frame
        EXPECT_EQ(some.total.load(), 3L * n);
        EXPECT_EQ(some.wrongFrame.load(), 0);
    }
}

TEST(WorkerTeamTest, AnEmptyTeamFinishesAFrameAtOnce) {
    FrameLog log(0);
    WorkerTeam team(0, &LogWork, &log);
    EXPECT_EQ(team.Size(), 0);
    team.RunFrame();
    EXPECT_EQ(log.total.load(), 0);
}

TEST(WorkerTeamTest, AWorkerFailureReachesTheDriverAndTheTeamGoesOn) {
    redowl_test::Watchdog watchdog("failure", 60);
    struct Plan {
        std::atomic<int> failOnce{1};
        std::atomic<int> runs{0};
    } plan;
    WorkerTeam team(4, [](void* c, int worker) {
        auto* p = static_cast<Plan*>(c);
        p->runs.fetch_add(1);
        if (worker == 2 && p->failOnce.exchange(0)) throw std::runtime_error("worker 2 failed");
    }, &plan);
    EXPECT_THROW(team.RunFrame(), std::runtime_error);
    EXPECT_EQ(plan.runs.load(), 4);  // the others still finished the frame
    team.RunFrame();                 // and the next frame is clean
    EXPECT_EQ(plan.runs.load(), 8);
}

