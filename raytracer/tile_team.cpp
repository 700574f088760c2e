#include "raytracer/tile_team.h"

#include <pthread.h>

#include <utility>

#include "errors/errors.h"

namespace RAYTR {

TileTeam::TileTeam(int threads, Procedure procedure, void* context) : procedure_(procedure), context_(context) {
    const int workers = threads > 1 ? threads - 1 : 0;
    threads_.reserve(static_cast<std::size_t>(workers));
    for (int i = 1; i <= workers; ++i) {
        try {
            threads_.emplace_back(&TileTeam::Loop, this, i);
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

}  // namespace RAYTR
