#include "raytracer/worker_sync.h"

#include <pthread.h>

#include <utility>

#include "errors/errors.h"

namespace RAYTR {

FrameSignals::FrameSignals(int workers) : done_(workers > 0 ? static_cast<std::size_t>(workers) : 0u, 0) {}

void FrameSignals::ResetDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned char& d : done_) d = 0;
    doneCount_ = 0;
}

void FrameSignals::ReleaseStart() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
        started_ = true;
    }
    startCv_.notify_all();
}

void FrameSignals::WaitAllDone() {
    std::unique_lock<std::mutex> lock(mutex_);
    doneCv_.wait(lock, [this] { return doneCount_ == static_cast<int>(done_.size()); });
}

void FrameSignals::ResetStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = false;
}

void FrameSignals::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    startCv_.notify_all();
}

bool FrameSignals::WaitStart(std::uint64_t& lastSeen) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A generation counts only while it is released; a worker that is late for a frame still
    // sees it, because the driver cannot reset the start before this worker signals done.
    startCv_.wait(lock, [&] { return stop_ || (started_ && generation_ != lastSeen); });
    if (stop_) return false;
    lastSeen = generation_;
    return true;
}

void FrameSignals::SignalDone(int worker) {
    bool all = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unsigned char& d = done_[static_cast<std::size_t>(worker)];
        if (!d) {
            d = 1;
            ++doneCount_;
        }
        all = doneCount_ == static_cast<int>(done_.size());
    }
    if (all) doneCv_.notify_one();
}

WorkerTeam::WorkerTeam(int n, Procedure procedure, void* context)
    : signals_(n), procedure_(procedure), context_(context) {
    const int count = signals_.Size();
    threads_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        try {
            threads_.emplace_back(&WorkerTeam::Loop, this, i);
        } catch (...) {
            // No thread (std::system_error) or no memory for one (std::bad_alloc): the team
            // cannot work; the threads already made are stopped first.
            StopAndJoin();
            throw TIRN_ERROR::Error("Attemp to CreateThread failed");
        }
    }
}

WorkerTeam::~WorkerTeam() { StopAndJoin(); }

void WorkerTeam::StopAndJoin() noexcept {
    signals_.RequestStop();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

void WorkerTeam::RunFrame() {
    // The driver's sequence: reset done signals, release, wait for all, reset the start.
    signals_.ResetDone();
    signals_.ReleaseStart();
    signals_.WaitAllDone();
    signals_.ResetStart();
    std::exception_ptr error;
    {
        std::lock_guard<std::mutex> lock(errorMutex_);
        error = std::exchange(error_, nullptr);
    }
    if (error) std::rethrow_exception(error);
}

void WorkerTeam::Loop(int worker) {
    std::uint64_t seen = 0;
    while (signals_.WaitStart(seen)) {
        try {
            procedure_(context_, worker);
        } catch (...) {
            // Keep the team alive: report the first failure to the driver after the frame.
            std::lock_guard<std::mutex> lock(errorMutex_);
            if (!error_) error_ = std::current_exception();
        }
        signals_.SignalDone(worker);
    }
}

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
