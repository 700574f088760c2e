#pragma once
// ScreenTracer: turns the scene into pixels once per frame, either as a shadow mask of light 0
// laid over the OpenGL preview or as a fully shaded image. It owns the per-pixel tables (primary
// rays and depth-reconstruction directions), the pixel buffer, the OpenGL texture that shows
// the buffer, and a team of worker threads.
//
// Any width and height. Both buffers are in window order: element row * W + column is the
// window pixel x = column, y = row counted from the bottom (glReadPixels / glDrawPixels order),
// so the preview's depth read-back is used as it comes and the mask texture lies untransposed,
// texel for pixel, over the window.
//
// Work is cut into tiles of kTileBlocks x kTileBlocks mask blocks (64 x 64 pixels); the calling
// thread and the workers take tiles in turn from an atomic counter, so a thread that finishes
// early takes more, and a pass ends when its last tile is finished (TileTeam). Every
// value a tile writes depends only on the scene and its own pixels, never on which worker took
// it or when, so the result is the same for any thread count.
//
// The mask pass traces an 8-pixel lattice and subdivides only the blocks whose corners differ
// (adaptive sampling after Whitted, "An improved illumination model for shaded display", 1980).
// The lattice covers the whole window: lattice points past the last row or column take the
// value of the nearest window pixel. A mask frame runs in two passes over the tiles, the
// lattice first and then the blocks: each tile refines its blocks, in a fixed order, in one
// scratch of its thread (neighbouring blocks share the pixels they traced on common edges) from
// their lattice corners, and writes back only the pixels it owns (its blocks' lower-left 8 x 8
// squares, plus the closing row or column at the window's top and right edges), so no two
// threads ever write one pixel.
//
// Rays go through pixel centres, where OpenGL samples the preview's depth.
//
// The settling picture: such a frame is pass 0, one sample per pixel. While nothing changes,
// AccumulatePass adds pass n = 1, 2, ...: in the traced image one ray per pixel at the pixel's
// sub-pixel sample of that pass (raytracer/sampling.h), in the mask one shadow ray per pixel
// (every pixel: an adaptive fill would bias the mean in a penumbra), each aimed at the pass's
// point of the light's sphere. The float sums of the passes are kept per pixel and the mean is
// what buffer 0 (traced) or the mask bytes (hybrid) show.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "math/aligned.h"
#include "math/matrix.h"
#include "math/vector.h"
#include "raytracer/ray.h"
#include "raytracer/sampling.h"

namespace RAYTR {

class Scene;
class ScreenTracer;
class TileTeam;

// One tracing thread's record (record 0 is the thread that calls TraceFrame).
struct WorkerRecord {
    ScreenTracer* tracer = nullptr;
    std::uint64_t tilesTaken = 0;  // written by the worker only; read between frames
};

// One tile: mask blocks [blockRowStart, blockRowEnd) x [blockColStart, blockColEnd), and the
// pixels a full trace shades for it, half-open.
struct ScreenTile {
    int blockRowStart = 0, blockColStart = 0, blockRowEnd = 0, blockColEnd = 0;
    int rowStart = 0, colStart = 0, rowEnd = 0, colEnd = 0;
    std::uint64_t passesDone = 0;  // written by the one worker that took it; read between frames
    float maxChange = 0.0f;        // the last accumulation pass's largest change, grey levels
    std::int64_t traced = 0;       // pixels the last lattice, reconstruction or fill pass shaded
};

// The preview's depth as the renderer reads it back: 32-bit unsigned normalised window depths
// (0 at the near plane, 0xFFFFFFFF at the far plane), rows from the bottom. The workers convert
// only the pixels they reconstruct, so the display thread copies the driver's words and
// converts nothing.
struct DepthWords {
    const std::uint32_t* words = nullptr;
};

// A window depth in [0, 1] from its 32-bit unsigned normalised word: w / (2^32 - 1), scaled in
// double precision as OpenGL's own conversion does, then rounded to float. For a 32-bit depth
// buffer this is bit for bit what a GL_FLOAT read-back returns.
inline float DepthFromWord(std::uint32_t w) { return static_cast<float>(w * (1.0 / 4294967295.0)); }

class ScreenTracer : public ORVA_MATH::SSE_Aligned_Object {
public:
    // Mask values: lit (or no surface), in shadow, and the marker written before a mask frame.
    static constexpr std::uint32_t kLit = 0xFFFFFF00u;
    static constexpr std::uint32_t kShadow = 0x00000000u;
    static constexpr std::uint32_t kUntraced = 0xFEFFFF00u;
    static constexpr int kBufferCount = 8;
    static constexpr int kBlock = 8;        // lattice step, pixels
    static constexpr int kTileBlocks = 8;   // tile side, blocks
    static constexpr int kTileSide = kTileBlocks * kBlock + 1;  // a tile's scratch side, values
    static constexpr int kMaxThreads = 256; // more would only wait for tiles
    static constexpr int kMaxLatticeStep = 12;  // a lattice frame traces at least 1/144 of the pixels
    static constexpr int kMaxSide = 8192;   // pixels, either way
    // Bytes the tables, the pixel buffer and the lattice may take together.
    static constexpr std::int64_t kMemoryBudget = std::int64_t{2} << 30;

    // Allocates the tables, generates texture name 0 (with a GL context current) and starts the
    // workers. threads = 0 means one per hardware thread. Throws TIRN_ERROR::Error, before
    // anything is allocated, for a negative thread count, a side below 1 or above kMaxSide (or
    // the GL driver's largest texture), or tables beyond kMemoryBudget.
    ScreenTracer(int width, int height, int threads);
    ~ScreenTracer();
    ScreenTracer(const ScreenTracer&) = delete;
    ScreenTracer& operator=(const ScreenTracer&) = delete;

    // Bytes the tracer allocates for a width x height screen (tables, buffer, sums, luminance,
    // lattice).
    static std::int64_t TableBytes(int width, int height);
    // The largest screen within width x height (each side cut, the aspect kept where the memory
    // budget cuts) that construction accepts; the sides of a screen it accepts stay as they are.
    // Needs the GL context for the driver's largest texture.
    static void LargestScreen(int& width, int& height);
    // Throws, with its box, what construction would refuse for these arguments; allocates
    // nothing. Needs the GL context for the driver's largest texture.
    static void CheckScreen(int width, int height, int threads);

    // Stores the scene, copies near and far, computes the depth coefficients and the ray tables.
    // Each frame takes near and far again when the scene's view has changed them.
    void AttachScene(Scene* scene);

    // One shadow-mask frame (or, inside TraceFullFrame, one full-trace frame). depthBuffer is
    // the preview's depth read-back (W*H floats, OpenGL row order) or null; it is used only when
    // useZBuffer is set. Needs the GL context current (the camera matrices come from gluLookAt).
    void TraceFrame(const float* depthBuffer);
    // The same with the depth as 32-bit words (the renderer's read-back); null words as null.
    void TraceFrame(DepthWords depth);
    // Shades every pixel; returns buffer 0 as RGBA bytes, row 0 at the bottom of the window.
    std::uint32_t* TraceFullFrame();

    // One more pass of the last frame's picture (mask or traced image), for the same camera,
    // scene and light: needs no GL context, and the depth the last mask frame used must still be
    // there. Adds one sample per pixel, shows the mean (buffer 0 in a traced picture, the mask
    // bytes in a mask) and returns the largest change of a shown value in grey levels (0-255).
    float AccumulatePass();
    // The traced image within a frame budget (raytracer/lattice.cpp). A frame of step k traces
    // the lattice of every k-th pixel each way (1/k^2 of the pixels) at lattice phase `phase`
    // (0 to k^2 - 1: the lattice offset, so that k^2 frames in a row trace every pixel once)
    // and reconstructs the others from it, edge-aware: a pixel whose lattice neighbours show one
    // surface (same object, normals and positions on one tangent plane) blends them bilinearly;
    // where they disagree (a silhouette, a crease, a depth jump) the pixel's primary ray finds
    // its own surface and blends only the neighbours on it, or, when none is, is traced. Step 1
    // is TraceFullFrame. Returns buffer 0.
    // The primary surface of a traced lattice pixel, for the reconstruction: the object (its
    // transform's address; 0 for a ray that leaves the models), the point and the unit normal
    // in the object's coordinates.
    struct Surface {
        std::uintptr_t object = 0;
        float point[3] = {};
        float normal[3] = {};
    };
    std::uint32_t* TraceLatticeFrame(int step, int phase);
    // Traces the missing pixels of the next `phases` lattice phases of the picture (the same
    // camera, scene and light as its frame); after the last, the smoothing pass of a full
    // trace, so that buffer 0 is then TraceFullFrame's bytes exactly. Returns the pixels traced.
    std::int64_t FillIn(int phases);
    // Whether every pixel of the picture is its own traced colour: after TraceFullFrame, a mask
    // frame, or the fill-in of a lattice frame's last phase; not after TraceCoarseMask.
    bool Complete() const { return phasesLeft_ == 0 && !coarseShown_; }
    // The lattice step of the picture (1 for a full trace) and its phases still to fill in.
    int LatticeStep() const { return step_; }
    int PhasesLeft() const { return phasesLeft_; }
    // Pixels the last TraceLatticeFrame, FillIn or TraceFullFrame traced (primary rays of
    // reconstructed pixels at edges not counted; their shading is).
    std::int64_t LastTracedPixels() const { return lastTraced_; }
    // Seconds the passes that traced them took (the lattice pass without the reconstruction;
    // the fill-in with its smoothing; a full trace with its smoothing; an accumulation pass).
    double LastTracingSeconds() const { return lastTracingSeconds_; }
    // Per pixel 1 where the picture shows the pixel's own traced colour, 0 where it shows a
    // reconstruction (valid for traced pictures).
    const std::uint8_t* ExactPixels() const { return exact_; }
    // The phase (0 to step^2 - 1) of lattice offset (row, column) mod step, and back.
    static int PhaseOf(int step, int row, int column);
    static void PhaseOffset(int step, int phase, int& row, int& column);

    // Samples in the shown picture: 1 after a frame, one more after each pass.
    int Samples() const { return samples_; }
    // Whether a pass can change the shown picture: not for a mask of a point light (or of no
    // light), whose every pass gives the same values.
    bool PassesCanChange() const;

    // Buffer i as a GL_LUMINANCE texture of W x H texels, nearest filtering, no mipmaps; the
    // texture's storage is made on the first upload and refilled afterwards. Buffer 0 goes up
    // from its one-byte copy (MaskBytes), which the driver takes without converting.
    void UploadTexture(int i);
    void BindTexture(int i);

    // The shadow mask of a moving frame at a quarter of the rays: the mask of every second
    // pixel each way (pixel (2r, 2c) of the window as row r, column c), traced as a mask frame
    // of a screen of half the sides, its 8-pixel lattice 16 window pixels apart, from the
    // window's depth words at those pixels. The first call makes that screen's tables (a quarter of this tracer's) and
    // workers. Then every pixel's mask byte is the value of the traced pixel, of the up to four
    // within one pixel each way, nearest to it in the preview's depth (without the depth: the
    // one at or below left of it), so that shadows keep to their own surfaces at silhouettes;
    // a pixel whose nearest such neighbour is more than 5% farther or nearer along the view
    // axis (a sliver of a surface between traced pixels) is traced itself. Until the next frame of any kind MaskStep() is 2 and Complete() is false; buffer 0, the
    // samples and the passes stay those of the last whole mask frame, so a whole mask frame
    // must come before the next pass.
    void TraceCoarseMask(DepthWords depth);
    // 2 while the coarse mask is shown, else 1.
    int MaskStep() const { return coarseShown_ ? 2 : 1; }
    // The coarse mask's screen (null before the first coarse frame), for the tests.
    const ScreenTracer* CoarseMask() const { return coarse_.get(); }

    // The per-pixel work (mask.cpp). Pixel index p = row * W + column, row 0 at the bottom.
    void UpdateCameraMatrices();
    VECTOR Reconstruct(int p) const;
    // The same from the depth word at q (DepthIndex(p)).
    VECTOR ReconstructAt(int p, int q) const;
    // The index in the window's depth of pixel p: p itself, or on a screen of every stride-th
    // pixel the window pixel (stride r, stride c).
    int DepthIndex(int p) const {
        return stride_ == 1 ? p : (p / width_) * stride_ * fullWidth_ + (p % width_) * stride_;
    }
    bool PrimaryHit(int p, RayHit& hit) const;
    // Whether light 0 is blocked for the visible point in hit: toward its centre, or with a
    // sample toward the sample's point of its sphere.
    bool ShadowTest(RayHit& hit, const PixelSample* sample = nullptr) const;
    // The mask value of pixel p (kLit or kShadow), toward light 0's centre or, with a sample,
    // the sample's point of it; traces, writes nothing (but the F4 view's mark without one).
    std::uint32_t MaskPixel(int p, const PixelSample* sample = nullptr) const;
    // Lattice point (i, j) is the pixel (row 8i, column 8j), clamped into the window.
    void TraceLatticePoint(int i, int j);
    // Refines the blocks of tile `tile` from their lattice corners in the scratch of tracing
    // thread `thread` and writes the pixels the tile owns into buffer 0 and the mask bytes.
    void RefineTile(int tile, int thread = 0);
    // Shades every pixel of a rectangle with one ray each and keeps their colours and luminance.
    void FullTraceRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    // Adds pass Samples() of a rectangle's pixels to the sums and shows their mean; returns the
    // largest change of a shown value (AccumulatePass).
    float AccumulateRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    // Smooths the pixels of a rectangle that stand out from both neighbours of a pair (after
    // the whole frame's FullTraceRectangle).
    void SmoothRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    // The world ray through the point (column + 0.5, row + rowOffset + 0.5) of the screen, in
    // pixels from the lower-left corner: ScreenRay(r, c, 0) goes through the centre of pixel
    // (r, c), as its ray of the table does.
    Ray ScreenRay(int row, float column, float rowOffset) const;
    // The world ray of pixel p of the ray table.
    Ray PixelRay(int p) const;

    // Read access for the display, the benchmarks and the tests.
    int Width() const { return width_; }
    int Height() const { return height_; }
    int ThreadCount() const { return threadCount_; }  // after 0 was replaced by the hardware's
    int BlockRows() const { return blockRows_; }       // mask blocks up the window (at least 1)
    int BlockCols() const { return blockCols_; }
    const std::vector<ScreenTile>& Tiles() const { return tiles_; }
    const std::vector<WorkerRecord>& Workers() const { return workers_; }
    // Threads that take tiles, the caller included: none when one thread is asked for (the frame
    // is traced on the calling thread alone), never more than there are tiles or kMaxThreads.
    int RunningWorkers() const;
    std::uint32_t* Buffer(int i = 0) const { return (i >= 0 && i < kBufferCount) ? buffers_[i] : nullptr; }
    // Buffer 0's mask as one luminance byte per pixel (255 lit, 0 shadow, 254 untraced), written
    // by the same blocks in the same frame.
    std::uint8_t* MaskBytes() const { return maskBytes_; }
    // (BlockRows() + 1) x (BlockCols() + 1) lattice values, row-major.
    std::uint32_t* Lattice() const { return lattice_; }
    unsigned TextureName(int i = 0) const { return (i >= 0 && i < kBufferCount) ? textures_[i] : 0u; }
    const Ray* Rays() const { return rays_; }
    // Per pixel the sum of its samples' colours (traced) or mask values in x (1 lit, 0 shadow).
    const VECTOR* Sums() const { return sums_; }
    const VECTOR* UnitZ() const { return unitZ_; }
    float DepthA() const { return depthA_; }
    float DepthB() const { return depthB_; }
    float Near() const { return near_; }
    float Far() const { return far_; }
    bool FullMode() const { return fullMode_; }
    const MATRIX& CameraToWorld() const { return cameraToWorld_; }
    const MATRIX& DepthToWorld() const { return depthToWorld_; }
    const Scene* AttachedScene() const { return scene_; }

    bool useZBuffer = false;
    // Whether TraceFullFrame's second pass re-traces the pixels that stand out from their
    // neighbours with nine rays each (on by default; off gives the one-ray image, for a
    // comparison with another tracer on exactly the same rays).
    bool smoothTracedImage = true;

    // Marks of the pixels MaskPixel computed in the last mask frame (1 traced, 0 filled or not
    // reached), for the viewer's view of the lattice and its refinement. Off by default: the
    // first switch-on allocates W*H bytes; while on, each mask frame clears and writes them.
    void MarkTracedPixels(bool on);
    const std::uint8_t* TracedMarks() const { return marking_ ? tracedMarks_.get() : nullptr; }

private:
    enum class Pass { Lattice, Blocks, Full, Smooth, Accumulate, Samples, Reconstruct, Fill, Upsample };
    // The mask bytes of a rectangle from the coarse mask (TraceCoarseMask).
    void UpsampleRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    // The distance along the view axis of a depth word.
    float ViewDistance(std::uint32_t word) const { return depthA_ / (depthB_ - DepthFromWord(word)); }
    // The camera of a new picture: eye, target, clipping planes, matrices; one sample.
    void BeginPicture();
    // Shades pixel p with its table ray, as a full trace does, and marks it exact.
    void TraceExact(int p);
    static Surface SurfaceOf(const RayHit& hit, bool found);
    // The lattice pass, the reconstruction and the fill-in of one tile's pixels.
    // Each returns the pixels it shaded.
    std::int64_t LatticeRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    std::int64_t ReconstructRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    std::int64_t FillRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    // Reconstructs the pixels [rowStart, rowEnd) x [colStart, colEnd) of the lattice cell whose
    // lower-left corner is (rowBelow, colLeft); returns the pixels it had to trace.
    std::int64_t ReconstructCell(int rowBelow, int colLeft, int rowStart, int colStart, int rowEnd, int colEnd);
    // For every point (i, j) of a cell whose four corners (lattice pixels, below left, below
    // right, above left, above right) lie in the window: the bits of the corners on its
    // surface, at classes[i * (step + 1) + j].
    void ClassifyCell(int rowBelow, int colLeft, const int corner[4], std::uint8_t* classes) const;
    // Writes a colour's bytes into buffer 0 only (a reconstructed pixel).
    void ShowPixel(int p, const VECTOR& colour);
    // Bilinear colours between the lattice colours a, b (row rowBelow, columns colLeft and
    // colLeft + step) and c, d (row rowBelow + step) for the pixels [rowStart, rowEnd) x
    // [colStart, colEnd) of that cell, into buffer 0; its one exact pixel, the corner
    // (rowBelow, colLeft), keeps its traced bytes.
    void ShowCell(const VECTOR& a, const VECTOR& b, const VECTOR& c, const VECTOR& d, int rowBelow, int colLeft,
                  int rowStart, int colStart, int rowEnd, int colEnd);
    static void TileProcedure(void* tracer, int tile, int thread);
    void RunPass(Pass pass);
    void DoTile(int tile, int thread);
    void TraceMask();
    void Tile();
    void FreeTables() noexcept;
    // near and far from the scene, and the depth coefficients of Reconstruct from them.
    void TakeClippingPlanes();
    // Writes pixel p's colour as bytes into buffer 0 and its luminance for the smoothing pass.
    void StorePixel(int p, const VECTOR& colour);

    Ray* rays_ = nullptr;          // W*H, 16-byte aligned
    VECTOR* unitZ_ = nullptr;      // W*H, 16-byte aligned
    std::uint32_t* buffers_[kBufferCount] = {};
    std::uint8_t* maskBytes_ = nullptr;  // W*H
    std::uint32_t* lattice_ = nullptr;
    std::unique_ptr<std::uint32_t[]> scratch_;  // kTileSide^2 values per tracing thread
    unsigned textures_[kBufferCount] = {};
    bool textureMade_ = false;     // texture 0 has W x H storage
    Scene* scene_ = nullptr;
    const float* depth_ = nullptr; // depth values of the current frame, window order
    // Full trace: the luminance of every pixel's first ray, for the smoothing pass.
    float* luminance_ = nullptr;
    VECTOR* sums_ = nullptr;       // W*H, 16-byte aligned (see Sums)
    int samples_ = 0;              // samples in the shown picture
    // The budgeted traced picture: per pixel whether it shows its own traced colour, and the
    // primary surfaces of the lattice pixels; the picture's lattice step and phase, the phases
    // filled in so far (in fill order, after the lattice's own) and the phases left.
    std::uint8_t* exact_ = nullptr;   // W*H
    Surface* surfaces_ = nullptr;     // W*H
    int step_ = 1;
    int phase_ = 0;
    int filled_ = 0;                  // fill order positions done: phases phase_ + 1, + 2, ...
    int fillTo_ = 0;                  // the Fill pass traces positions [filled_, fillTo_)
    int phasesLeft_ = 0;
    std::int64_t lastTraced_ = 0;
    double lastTracingSeconds_ = 0.0;
    bool lastFull_ = false;        // the last frame was a traced picture
    float zPlane_ = -1.0f;  // z of the ray table's image plane (pixels)
    // A screen that is every stride-th pixel of a fullWidth_ x fullHeight_ window (the coarse
    // mask's): its pixel (r, c) has the window pixel (stride r, stride c)'s ray and depth.
    int stride_ = 1;
    int fullWidth_ = 0, fullHeight_ = 0;
    std::unique_ptr<ScreenTracer> coarse_;
    bool coarseShown_ = false;
    const std::uint32_t* upsampleDepth_ = nullptr;  // the window's depth words while upsampling
    const std::uint32_t* depthWords_ = nullptr;  // or the same as words (one of the two is set)
    VECTOR eye_{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR target_{0.0f, 0.0f, 0.0f, 1.0f};
    int width_ = 0;
    int height_ = 0;
    int pixelCount_ = 0;
    int blockRows_ = 1;
    int blockCols_ = 1;
    float depthA_ = 1.001001f;
    float depthB_ = 1.001001f;
    float far_ = 1000.0f;
    float near_ = 1.0f;
    bool fullMode_ = false;
    MATRIX cameraToWorld_ = MATRIX::Identity();
    MATRIX depthToWorld_ = MATRIX::Identity();
    int threadCount_ = 0;
    Pass pass_ = Pass::Lattice;          // set by the driver before each release
    std::vector<ScreenTile> tiles_;
    std::vector<WorkerRecord> workers_;
    std::unique_ptr<TileTeam> team_;     // the caller and running - 1 worker threads
    std::unique_ptr<std::uint8_t[]> tracedMarks_;  // W*H, made by the first MarkTracedPixels(true)
    std::uint8_t* marks_ = nullptr;                // tracedMarks_ while marking, else null
    bool marking_ = false;
};

}  // namespace RAYTR
