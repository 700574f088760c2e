#pragma once
// The tile team: the calling thread and n - 1 worker threads sharing the tiles of a pass, on
// std::thread, std::mutex and std::condition_variable.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace RAYTR {

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
