// The tile team: every tile of every pass taken and done exactly once, by the caller too.
#include "raytracer/tile_team.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "tests/raytracer/screen_test_watchdog.h"

// Tiles: every tile of every pass exactly once, whichever thread takes it, for passes of any
// size one after another (a worker that wakes late must find nothing of a later pass to take);
// the caller takes tiles too; a failing tile is reported after its pass and the next is clean.
TEST(TileTeamTest, EveryTileOfEveryPassIsDoneExactlyOnce) {
    redowl_test::Watchdog watchdog("tile passes", 120);
    struct Count {
        std::vector<std::atomic<int>> tiles = std::vector<std::atomic<int>>(64);
        std::atomic<long> byCaller{0};
        std::atomic<int> failTile{-1};
    };
    for (int threads : {1, 3, 9}) {
        Count count;
        RAYTR::TileTeam team(threads, [](void* c, int tile, int thread) {
            auto* k = static_cast<Count*>(c);
            k->tiles[static_cast<std::size_t>(tile)].fetch_add(1);
            if (thread == 0) k->byCaller.fetch_add(1);
            // A worker spinning on another core can take every tile of a short pass while the
            // caller is still waking the others; until the caller has taken one, workers dawdle,
            // so a caller that never takes tiles is caught without depending on the scheduler.
            if (thread != 0 && k->byCaller.load() == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (tile == k->failTile.load()) throw std::runtime_error("tile failed");
        }, &count);
        EXPECT_EQ(team.Size(), threads);
        std::mt19937 random(7);
        for (int pass = 0; pass < 3000; ++pass) {
            const int n = 1 + static_cast<int>(random() % 64);
            team.RunPass(n);
            for (int t = 0; t < 64; ++t) ASSERT_EQ(count.tiles[t].exchange(0), t < n ? 1 : 0) << "pass " << pass;
        }
        EXPECT_GT(count.byCaller.load(), 0);
        count.failTile = 5;
        EXPECT_THROW(team.RunPass(10), std::runtime_error);
        for (int t = 0; t < 64; ++t) ASSERT_EQ(count.tiles[t].exchange(0), t < 10 ? 1 : 0);
        count.failTile = -1;
        team.RunPass(10);
        for (int t = 0; t < 10; ++t) ASSERT_EQ(count.tiles[t].exchange(0), 1);
    }
}
