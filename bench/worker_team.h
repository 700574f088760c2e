#pragma once
// A fixed team of worker threads that each run a procedure once per frame, with start/done
// signalling between one driver thread and the team (std::thread, std::mutex and
// std::condition_variable): the peer's frames in frame_bench run on it, over the tracer's tiles.
//
// The driver runs each frame as: reset the done signals, release the team, wait (without a
// time-out) until every worker has signalled done, reset the start signal. The release is a
// generation counter: a worker runs once for every generation it has not yet seen, so it can
// neither miss a frame nor pass its wait twice within one frame, whatever the team size.
// Destruction wakes the workers at their wait; they leave their loop and are joined.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "errors/errors.h"

namespace redowl_bench {

class FrameSignals {
public:
    explicit FrameSignals(int workers);
    FrameSignals(const FrameSignals&) = delete;
    FrameSignals& operator=(const FrameSignals&) = delete;

    // Driver side, in frame order.
    void ResetDone();
    void ReleaseStart();
    void WaitAllDone();
    void ResetStart();
    // Wakes every worker waiting for a start; their next WaitStart returns false.
    void RequestStop();

    // Worker side. Blocks until a generation newer than lastSeen is released (returns true and
    // updates lastSeen) or a stop is requested (returns false).
    bool WaitStart(std::uint64_t& lastSeen);
    void SignalDone(int worker);

    int Size() const { return static_cast<int>(done_.size()); }

private:
    std::mutex mutex_;
    std::condition_variable startCv_;
    std::condition_variable doneCv_;
    std::uint64_t generation_ = 0;  // number of releases so far
    bool started_ = false;          // between ReleaseStart and ResetStart
    bool stop_ = false;
    std::vector<unsigned char> done_;  // one done signal per worker
    int doneCount_ = 0;
};

// n worker threads, each calling procedure(context, index) once per frame.
class WorkerTeam {
public:
    using Procedure = void (*)(void* context, int worker);

    // Creates and starts the threads; each waits for its first release. A thread that cannot be
    // created (no thread, or no memory for one) stops and joins the ones already made, then
    // throws TIRN_ERROR::Error "Attemp to CreateThread failed".
    WorkerTeam(int n, Procedure procedure, void* context);
    ~WorkerTeam();
    WorkerTeam(const WorkerTeam&) = delete;
    WorkerTeam& operator=(const WorkerTeam&) = delete;

    // One frame: every worker runs its procedure exactly once; returns when all have finished.
    // An exception that escaped a worker's procedure is rethrown here (the first one).
    void RunFrame();

    int Size() const { return signals_.Size(); }

private:
    void Loop(int worker);
    void StopAndJoin() noexcept;

    FrameSignals signals_;
    Procedure procedure_;
    void* context_;
    std::vector<std::thread> threads_;
    std::mutex errorMutex_;
    std::exception_ptr error_;
};

inline FrameSignals::FrameSignals(int workers) : done_(workers > 0 ? static_cast<std::size_t>(workers) : 0u, 0) {}

inline void FrameSignals::ResetDone() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned char& d : done_) d = 0;
    doneCount_ = 0;
}

inline void FrameSignals::ReleaseStart() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++generation_;
        started_ = true;
    }
    startCv_.notify_all();
}

inline void FrameSignals::WaitAllDone() {
    std::unique_lock<std::mutex> lock(mutex_);
    doneCv_.wait(lock, [this] { return doneCount_ == static_cast<int>(done_.size()); });
}

inline void FrameSignals::ResetStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = false;
}

inline void FrameSignals::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    startCv_.notify_all();
}

inline bool FrameSignals::WaitStart(std::uint64_t& lastSeen) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A generation counts only while it is released; a worker that is late for a frame still
    // sees it, because the driver cannot reset the start before this worker signals done.
    startCv_.wait(lock, [&] { return stop_ || (started_ && generation_ != lastSeen); });
    if (stop_) return false;
    lastSeen = generation_;
    return true;
}

inline void FrameSignals::SignalDone(int worker) {
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

inline WorkerTeam::WorkerTeam(int n, Procedure procedure, void* context)
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

inline WorkerTeam::~WorkerTeam() { StopAndJoin(); }

inline void WorkerTeam::StopAndJoin() noexcept {
    signals_.RequestStop();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

inline void WorkerTeam::RunFrame() {
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

inline void WorkerTeam::Loop(int worker) {
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

}  // namespace redowl_bench
