#include "raytracer/tile_team.h"

#include <pthread.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <utility>

#include "errors/errors.h"

namespace RAYTR {

TileTeam::TileTeam(int threads, Procedure procedure, void* context) : procedure_(procedure), context_(context) {
    const int workers = threads > 1 ? threads - 1 : 0;
    threads_.reserve(static_cast<std::size_t>(workers));
    for (int i = 1; i <= workers; ++i) {
        try {
            threads_.emplace_back(&TileTeam::Loop, this, i);
        } catch (const std::system_error& e) {
            StopAndJoin();
            // Under a memory limit a thread's stack cannot be mapped: the user needs to hear
            // about memory, and what to change.
            if (e.code() == std::errc::resource_unavailable_try_again || e.code() == std::errc::not_enough_memory)
                throw TIRN_ERROR::Error("There is not enough memory to start the ray tracer's " + std::to_string(threads) +
                                        " threads (each needs its own stack): give the viewer more memory, or set "
                                        "tracer.threads_num lower");
            throw TIRN_ERROR::Error("Attemp to CreateThread failed");
        } catch (...) {
            StopAndJoin();
            throw TIRN_ERROR::Error("Attemp to CreateThread failed");
        }
    }
}

TileTeam::~TileTeam() { StopAndJoin(); }

void TileTeam::StopAndJoin() noexcept {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    startCv_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

void TileTeam::RunPass(int tiles) {
    if (tiles <= 0) return;
    if (tiles > kMaxTiles) throw TIRN_ERROR::Error("The ray tracer can not share more than 65535 tiles");
    std::uint32_t pass = 0;
    // Every tile of the previous pass is taken and finished, so no thread decrements the count
    // of unfinished tiles before the new pass's counter is out; the release under the mutex
    // publishes both, and everything the caller wrote before.
    remaining_.store(tiles, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++passes_;
        pass = static_cast<std::uint32_t>(passes_);
        ticket_.store(std::uint64_t{pass} << 32 | static_cast<std::uint64_t>(tiles) << 16, std::memory_order_release);
    }
    if (!threads_.empty()) startCv_.notify_all();
    Work(pass, 0);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        doneCv_.wait(lock, [this] { return remaining_.load(std::memory_order_acquire) == 0; });
    }
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> lock(errorMutex_);
        error = std::exchange(error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

void TileTeam::Work(std::uint32_t pass, int thread) {
    std::uint64_t ticket = ticket_.load(std::memory_order_acquire);
    for (;;) {
        // Only tiles of this thread's pass, and only while there are some.
        if (static_cast<std::uint32_t>(ticket >> 32) != pass) return;
        const int tile = static_cast<int>(ticket & 0xFFFFu);
        if (tile >= static_cast<int>((ticket >> 16) & 0xFFFFu)) return;
        if (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acq_rel, std::memory_order_acquire))
            continue;  // ticket now holds the counter's newer value
        try {
            procedure_(context_, tile, thread);
        } catch (...) {
            std::lock_guard<std::mutex> lock(errorMutex_);
            if (!error_) error_ = std::current_exception();
        }
        if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            // The last tile: wake the caller (under the mutex, so that it cannot miss it).
            std::lock_guard<std::mutex> lock(mutex_);
            doneCv_.notify_one();
        }
        ticket = ticket_.load(std::memory_order_acquire);
    }
}

void TileTeam::Loop(int thread) {
    // A name of its own, so that profiles tell the tracer's threads from the window thread and
    // the GL driver's threads (at most 15 characters).
    pthread_setname_np(pthread_self(), "redowl-tracer");
    std::uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            startCv_.wait(lock, [&] { return stop_ || passes_ != seen; });
            if (stop_) return;
            seen = passes_;  // a worker that slept through passes joins the latest one
        }
        Work(static_cast<std::uint32_t>(seen), thread);
    }
}

int Tiling::BlocksAlong(int pixels) { return std::max(1, (pixels - 1 + kBlock - 1) / kBlock); }

Tiling::Tiling(int width, int height)
    : width_(width), height_(height), blockRows_(BlocksAlong(height)), blockCols_(BlocksAlong(width)) {
    // Tiles of kTileBlocks x kTileBlocks blocks, row by row from the bottom; the last tile of
    // each row and column also takes the pixels beyond the last lattice line but one.
    for (int br = 0; br < blockRows_; br += kTileBlocks) {
        for (int bc = 0; bc < blockCols_; bc += kTileBlocks) {
            ScreenTile t;
            t.blockRowStart = br;
            t.blockColStart = bc;
            t.blockRowEnd = std::min(br + kTileBlocks, blockRows_);
            t.blockColEnd = std::min(bc + kTileBlocks, blockCols_);
            t.rowStart = br * kBlock;
            t.colStart = bc * kBlock;
            t.rowEnd = t.blockRowEnd == blockRows_ ? height_ : t.blockRowEnd * kBlock;
            t.colEnd = t.blockColEnd == blockCols_ ? width_ : t.blockColEnd * kBlock;
            tiles_.push_back(t);
        }
    }
}

float Tiling::LargestChange() const {
    float change = 0.0f;
    for (const ScreenTile& t : tiles_) change = std::max(change, t.maxChange);
    return change;
}

std::int64_t Tiling::TracedPixels() const {
    std::int64_t traced = 0;
    for (const ScreenTile& t : tiles_) traced += t.traced;
    return traced;
}

TilePasses::TilePasses(int width, int height, int threads) : window_(width, height) {
    const int running = std::max(1, std::min({threads, static_cast<int>(window_.Tiles().size()), kMaxThreads}));
    workers_.assign(static_cast<std::size_t>(running), WorkerRecord{});
    team_ = std::make_unique<TileTeam>(running, &TilePasses::TileProcedure, this);
}

void TilePasses::RunPass(Tiling& tiling, void* context, TileWork work) {
    // Set before the release, which publishes them to the threads.
    tiling_ = &tiling;
    context_ = context;
    work_ = work;
    team_->RunPass(static_cast<int>(tiling.Tiles().size()));
}

void TilePasses::TileProcedure(void* self, int index, int thread) {
    auto* core = static_cast<TilePasses*>(self);
    ScreenTile& tile = core->tiling_->Tiles()[static_cast<std::size_t>(index)];
    core->work_(core->context_, tile, thread);
    ++tile.passesDone;
    ++core->workers_[static_cast<std::size_t>(thread)].tilesTaken;
}

}  // namespace RAYTR
