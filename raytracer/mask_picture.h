#pragma once
// The shadow mask of light 0 over the OpenGL preview (hybrid mode): per window pixel whether the
// visible surface point is lit (or shows no surface) or in shadow, uploaded as one luminance
// byte per pixel and multiplied over the preview.
//
// A whole frame traces the mask on an 8-pixel lattice and subdivides only the blocks whose
// corners differ (adaptive sampling after Whitted, "An improved illumination model for shaded
// display", 1980). The lattice covers the whole window: lattice points past the last row or
// column take the value of the nearest window pixel. It runs in two passes over the tiles, the
// lattice first and then the blocks: each tile refines its blocks, in a fixed order, in one
// scratch of its thread (neighbouring blocks share the pixels they traced on common edges) from
// their lattice corners, and writes back only the pixels it owns (its blocks' lower-left 8 x 8
// squares, plus the closing row or column at the window's top and right edges), so no two
// threads ever write one pixel.
//
// A coarse frame traces the same mask on a screen of every second window pixel each way (its
// pixel (r, c) is window pixel (2r, 2c), with that pixel's ray and depth; its lattice is 16
// window pixels apart), with the same threads, lattice and scratch, into a plane of a quarter
// of the bytes; then every window pixel takes the value of its traced neighbour nearest in the
// preview's depth (mask_coarse.cpp).
//
// The settling picture: a whole frame is its first sample. Each settling pass adds one shadow
// ray per pixel (every pixel: an adaptive fill would bias the mean in a penumbra) toward that
// pass's point of the light's sphere, from the same visible point; the bytes show the mean. A
// pass needs a whole frame before it: after a coarse frame it is refused.

#include <cstdint>
#include <memory>

#include "raytracer/offset.h"
#include "raytracer/ray.h"
#include "raytracer/sampling.h"
#include "raytracer/tile_team.h"

namespace RAYTR {

class Scene;
class ScreenCamera;

// The preview's depth as the renderer reads it back: 32-bit unsigned normalised window depths
// (0 at the near plane, 0xFFFFFFFF at the far plane), rows from the bottom. The workers convert
// only the pixels they reconstruct, so the display thread copies the driver's words and
// converts nothing.
struct DepthWords {
    const std::uint32_t* words = nullptr;
};

class MaskPicture {
public:
    // Mask values: lit (or no surface), in shadow, and the marker of pixels not yet traced.
    static constexpr std::uint32_t kLit = 0xFFFFFF00u;
    static constexpr std::uint32_t kShadow = 0x00000000u;
    static constexpr std::uint32_t kUntraced = 0xFEFFFF00u;
    static constexpr int kBlock = Tiling::kBlock;
    static constexpr int kTileSide = Tiling::kTileBlocks * kBlock + 1;  // a tile's scratch side, values
    static constexpr int kCoarseStep = 2;  // window pixels between a coarse frame's pixels

    // Bytes the picture allocates for a width x height window (its marks not counted).
    static std::int64_t TableBytes(int width, int height);

    // Allocates the tables (the mask as kUntraced, its bytes 254). The core and the camera are
    // the screen tracer's, of the same size.
    MaskPicture(TilePasses& passes, const ScreenCamera& camera);
    MaskPicture(const MaskPicture&) = delete;
    MaskPicture& operator=(const MaskPicture&) = delete;

    // A whole frame for the camera as it stands, its visible points from the preview's depth
    // (floats or words in window order; with neither, from primary rays). Without a light the
    // whole mask is lit and nothing is traced.
    void Whole(const Scene& scene, const float* depth, const std::uint32_t* depthWords);
    // A coarse frame (above); from the depth words when given. A scene without a light, or
    // without an object that casts shadows, has nothing to trace: its frame is whole.
    void Coarse(const Scene& scene, const std::uint32_t* depthWords);
    // One settling pass of the last frame's picture (the same camera, scene, light and depth):
    // returns the largest change of a shown byte in grey levels. Throws TIRN_ERROR::Error
    // without a picture, and after a coarse frame (a whole frame must come first).
    float Pass();

    // 2 after a coarse frame, else 1.
    int Step() const { return coarse_ ? kCoarseStep : 1; }
    // Every pixel of the shown mask is its own: after a whole frame.
    bool Complete() const { return samples_ > 0 && !coarse_; }
    int Samples() const { return samples_; }
    // Whether a pass can change the picture: only for a light with a radius.
    bool PassesCanChange() const;

    // The mask value of window pixel (row, column) for the current frame's camera and depth
    // (kLit or kShadow), toward light 0's centre or, with a sample, the sample's point of its
    // sphere. The depth's surface normal comes from the neighbours `step` pixels away. Traces,
    // writes nothing but the F4 view's mark.
    std::uint32_t MaskValue(int row, int column, int step = 1, const PixelSample* sample = nullptr) const;
    std::uint32_t MaskPixel(int p) const { return MaskValue(p / width_, p % width_); }
    // The visible point of window pixel p from the current frame's depth (see ScreenCamera).
    ORVA_MATH::VECTOR Reconstruct(int p) const;
    // The primary hit of window pixel p.
    bool PrimaryHit(int p, RayHit& hit) const;

    // Refines the blocks of window tile `tile` from the lattice in the scratch of thread
    // `thread` and writes the pixels the tile owns (the whole frame's blocks pass).
    void RefineTile(int tile, int thread = 0);

    // The frame's own mask (kLit, kShadow; kUntraced before the first frame), W*H words in
    // window order; after a coarse frame those of the last whole frame.
    std::uint32_t* Words() const { return words_.get(); }
    // What the overlay shows: 255 lit, 0 shadow (254 before the first frame), the mean of the
    // samples while the picture settles.
    std::uint8_t* Bytes() const { return bytes_.get(); }
    // What the overlay multiplies over the preview. With keepAmbient: per pixel
    // 255 (1 - (1 - v) k), v the lit share of Bytes() and k the light's direct share of the
    // preview's lit colour there (DirectShare): a shadow keeps the preview's ambient part, and a
    // surface facing away (k = 0, darkened by the preview itself) is not darkened again.
    // Without it, Bytes() as they are: shadows black, as the traced image shows them on fixed
    // materials (the viewer's choice when tracer.shadows is absent).
    std::uint8_t* Shown() const { return shown_.get(); }
    // Shadows that keep the preview's ambient light; read by the next frame or pass.
    bool keepAmbient = true;
    // Per pixel the lit samples of the settling picture (from its second sample on).
    const float* Sums() const { return sums_.get(); }
    // (BlockRows + 1) x (BlockCols + 1) lattice values of the window, row-major.
    std::uint32_t* Lattice() const { return lattice_.get(); }
    // The last coarse frame's mask: CoarseWidth() x CoarseHeight() bytes.
    const std::uint8_t* CoarseBytes() const { return coarseBytes_.get(); }
    int CoarseWidth() const { return coarseTiling_.Width(); }
    int CoarseHeight() const { return coarseTiling_.Height(); }

    // Marks of the pixels MaskValue computed in the last whole frame (1 traced, 0 filled), for
    // the viewer's view of the lattice and its refinement. Off by default: the first switch-on
    // allocates W*H bytes; while on, each whole frame clears and writes them.
    void MarkTracedPixels(bool on);
    const std::uint8_t* TracedMarks() const { return marking_ ? marks_.get() : nullptr; }

private:
    // The screen a frame's lattice and blocks passes trace: the window, or the coarse screen.
    struct Screen {
        int width = 0, height = 0, step = 1;
        Tiling* tiling = nullptr;
        std::uint32_t* words = nullptr;  // null: the coarse screen keeps bytes only
        std::uint8_t* bytes = nullptr;
    };
    void Begin(const Scene& scene, const float* depth, const std::uint32_t* depthWords);
    void Trace(const Screen& screen);
    void LatticeTile(ScreenTile& tile, int thread);
    void BlocksTile(ScreenTile& tile, int thread);
    void RefineBlocks(const ScreenTile& tile, int thread);
    void UpsampleTile(ScreenTile& tile, int thread);
    void PassTile(ScreenTile& tile, int thread);
    void LiftTile(ScreenTile& tile, int thread);
    // The shown byte of pixel p at lit share `lit`, its share k computed once per picture.
    std::uint8_t ShownByte(int p, float lit);
    // The light's direct share at pixel p's surface, 0-254 (computed, not cached).
    std::uint8_t ShareAt(int p) const;
    // The shares of a window tile's shadowed pixels interpolated where they lie on one smooth
    // surface (the preview's depth says which); the rest stay to be computed.
    void InterpolateShares(const ScreenTile& tile);
    // The visible surface of a window pixel from the depth (neighbours `step` pixels away give
    // the normal); false where nothing is drawn.
    bool DepthSurface(int row, int column, int step, SurfacePoint& s) const;
    // Whether the depth point s, blocked toward lightPosition, stays in shadow once the shadow
    // terminator is allowed for as the traced image does (the point's own primary hit, lifted).
    bool TerminatorShadow(int p, const SurfacePoint& s, const VECTOR& lightPosition, const PixelSample* sample) const;
    float Depth(int p) const;
    // A scene whose mask needs tracing: a light, and an object that casts shadows.
    static bool HasShadows(const Scene& scene);

    TilePasses& passes_;
    const ScreenCamera& camera_;
    const Scene* scene_ = nullptr;
    int width_ = 0, height_ = 0;
    std::unique_ptr<std::uint32_t[]> words_;    // W*H
    std::unique_ptr<std::uint8_t[]> bytes_;     // W*H
    std::unique_ptr<float[]> sums_;             // W*H: lit samples of the settling picture
    std::unique_ptr<std::uint8_t[]> shown_;     // W*H: what the overlay shows
    std::unique_ptr<std::uint8_t[]> shares_;    // W*H: 254 k, or 255 not yet computed
    std::unique_ptr<std::uint32_t[]> lattice_;  // the window's lattice (the coarse one fits)
    std::unique_ptr<std::uint32_t[]> scratch_;  // kTileSide^2 values per thread
    Tiling coarseTiling_;
    std::unique_ptr<std::uint8_t[]> coarseBytes_;
    std::unique_ptr<std::uint8_t[]> marks_;     // W*H, made by the first MarkTracedPixels(true)
    bool marking_ = false;
    // The current frame: its depth (window order; one of the two, or none), its screen, kind
    // and samples.
    const float* depth_ = nullptr;
    const std::uint32_t* depthWords_ = nullptr;
    Screen screen_;
    bool coarse_ = false;
    int samples_ = 0;
};

}  // namespace RAYTR
