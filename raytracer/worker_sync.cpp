#include "raytracer/worker_sync.h"

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

}  // namespace RAYTR
