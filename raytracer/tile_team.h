#pragma once
// The tile-pass core of the screen tracer: a screen cut into tiles, the threads that take them
// (the calling thread and n - 1 workers, on std::thread, std::mutex and
// std::condition_variable), and the pass protocol. The pictures (raytracer/mask_picture.h,
// raytracer/traced_picture.h) say what a pass does to a tile; the core runs it on every tile
// once, on any thread, and returns when the last tile is finished.
//
// Work is cut into tiles of kTileBlocks x kTileBlocks mask blocks (64 x 64 pixels); the calling
// thread and the workers take tiles in turn from an atomic counter, so a thread that finishes
// early takes more. Every value a tile writes depends only on the scene and its own pixels (and
// on what earlier passes wrote), never on which thread took it or when, so the result is the
// same for any thread count.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
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
    // TIRN_ERROR::Error "Attemp to CreateThread failed" (or, when the system lacks the memory for
    // a thread, a message that says so and names tracer.threads_num).
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

// One tile: mask blocks [blockRowStart, blockRowEnd) x [blockColStart, blockColEnd), and its
// pixels, half-open. The last tile of each row and column of tiles also takes the pixels
// beyond the last lattice line but one, so the tiles' pixels cover the screen once.
struct ScreenTile {
    int blockRowStart = 0, blockColStart = 0, blockRowEnd = 0, blockColEnd = 0;
    int rowStart = 0, colStart = 0, rowEnd = 0, colEnd = 0;
    // Written by the one thread that took the tile in a pass; read between passes.
    std::uint64_t passesDone = 0;
    float maxChange = 0.0f;        // the last settling pass's largest change, grey levels
    std::int64_t traced = 0;       // pixels the tile's last pass traced
};

// The tiles of a width x height screen, row by row from the bottom. Mask blocks are kBlock
// pixels a side, lattice points at 0, 8, ... up to the first at or past the last pixel: at
// least one block each way, so that a 1-pixel side still has a lattice to refine.
class Tiling {
public:
    static constexpr int kBlock = 8;        // lattice step of the mask, pixels
    static constexpr int kTileBlocks = 8;   // tile side, blocks

    Tiling() = default;
    Tiling(int width, int height);

    static int BlocksAlong(int pixels);
    int Width() const { return width_; }
    int Height() const { return height_; }
    int BlockRows() const { return blockRows_; }
    int BlockCols() const { return blockCols_; }
    std::vector<ScreenTile>& Tiles() { return tiles_; }
    const std::vector<ScreenTile>& Tiles() const { return tiles_; }
    // Over the tiles' last pass: the largest change, and the pixels traced.
    float LargestChange() const;
    std::int64_t TracedPixels() const;

private:
    int width_ = 0, height_ = 0;
    int blockRows_ = 1, blockCols_ = 1;
    std::vector<ScreenTile> tiles_;
};

// One tracing thread's record (record 0 is the thread that runs the passes).
struct WorkerRecord {
    std::uint64_t tilesTaken = 0;  // written by its thread only; read between passes
};

// The core: the window's tiling and the team that runs passes over it, or over another tiling
// of a screen no larger than the window (the coarse mask's), with the same threads.
class TilePasses {
public:
    static constexpr int kMaxThreads = 256;  // more would only wait for tiles

    // threads: 1 or more. Threads beyond the window's tile count would only wait: the team has
    // at most that many.
    TilePasses(int width, int height, int threads);
    TilePasses(const TilePasses&) = delete;
    TilePasses& operator=(const TilePasses&) = delete;

    // One pass: (picture->*work)(tile, thread) for every tile of the tiling, each exactly once
    // on some thread (thread 0 is the caller; 0 <= thread < Threads()); returns when all are
    // finished and rethrows the first exception that escaped a tile. Allocates nothing.
    template <class Picture>
    void Run(Tiling& tiling, Picture* picture, void (Picture::*work)(ScreenTile& tile, int thread)) {
        struct Call {
            Picture* picture;
            void (Picture::*work)(ScreenTile&, int);
        } call{picture, work};
        RunPass(tiling, &call, [](void* c, ScreenTile& tile, int thread) {
            Call* k = static_cast<Call*>(c);
            (k->picture->*k->work)(tile, thread);
        });
    }

    const Tiling& Window() const { return window_; }
    Tiling& Window() { return window_; }
    // Threads that take tiles, the caller included (at least 1).
    int Threads() const { return team_->Size(); }
    const std::vector<WorkerRecord>& Workers() const { return workers_; }

private:
    using TileWork = void (*)(void* context, ScreenTile& tile, int thread);
    void RunPass(Tiling& tiling, void* context, TileWork work);
    static void TileProcedure(void* self, int tile, int thread);

    Tiling window_;
    std::vector<WorkerRecord> workers_;
    // The pass being run: set by the caller before the release, read by the threads after it.
    Tiling* tiling_ = nullptr;
    void* context_ = nullptr;
    TileWork work_ = nullptr;
    std::unique_ptr<TileTeam> team_;
};

}  // namespace RAYTR
