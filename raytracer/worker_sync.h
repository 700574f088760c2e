#pragma once
// Start/done signalling between one driver thread and a fixed team of worker threads, on
// std::thread, std::mutex and std::condition_variable.
//
// The driver runs each frame as: reset the done signals, release the team, wait (without a
// time-out) until every worker has signalled done, reset the start signal. The release is a
// generation counter: a worker runs once for every generation it has not yet seen, so it can
// neither miss a frame nor pass its wait twice within one frame, whatever the team size.
// Destruction wakes the workers at their wait; they leave their loop and are joined.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace RAYTR {

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

// The calling thread and n - 1 worker threads sharing the tiles of a pass: each thread takes
// the next tile from one counter until none is left, so a thread that finishes early, or a
// caller whose workers wake late, takes more. A pass ends when every tile is finished, not when
// every worker has looked in: a worker that wakes after its pass is over takes nothing from it
// (on a machine whose cores are busy with other threads, such as a software GL driver's, a
// waking worker can wait a whole scheduler slice). Every tile of a pass is done exactly once.
//
// The counter carries the pass number and the pass's tile count beside the next tile, all in
// one word, and a thread takes a tile only with the number of the pass it woke for, so a late
// worker can never take a tile of a later pass, nor one past the end of its own.
class TileTeam {
public:
    // procedure(context, tile, thread): thread 0 is the caller of RunPass.
    using Procedure = void (*)(void* context, int tile, int thread);
    static constexpr int kMaxTiles = 0xFFFF;

    // Starts threads - 1 worker threads (none for 1); each waits for its first pass. A thread
    // that cannot be created stops and joins the ones already made, then throws
    // TIRN_ERROR::Error "Attemp to CreateThread failed".
    TileTeam(int threads, Procedure procedure, void* context);
    ~TileTeam();
    TileTeam(const TileTeam&) = delete;
    TileTeam& operator=(const TileTeam&) = delete;

    // One pass over tiles 0 .. tiles - 1 (at most kMaxTiles); returns when all are finished.
    // The first exception that escaped a tile is rethrown here, after the pass.
    void RunPass(int tiles);

    int Size() const { return static_cast<int>(threads_.size()) + 1; }

private:
    void Loop(int thread);
    void Work(std::uint32_t pass, int thread);
    void StopAndJoin() noexcept;

    Procedure procedure_;
    void* context_;
    std::mutex mutex_;
    std::condition_variable startCv_;
    std::condition_variable doneCv_;
    std::uint64_t passes_ = 0;  // guarded by mutex_; the pass the workers are to join
    bool stop_ = false;         // guarded by mutex_
    std::atomic<std::uint64_t> ticket_{0};  // pass number << 32 | tile count << 16 | next tile
    std::atomic<int> remaining_{0};         // tiles of the current pass not yet finished
    std::vector<std::thread> threads_;
    std::mutex errorMutex_;
    std::exception_ptr error_;
};

}  // namespace RAYTR
