// The shadow mask's whole frames, its lattice and block refinement, the value of one mask pixel
// and the settling passes. Every pixel is written by one tile only (see mask_picture.h), so the
// stores are plain.

#include "raytracer/mask_picture.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "errors/errors.h"
#include "raytracer/scene.h"
#include "raytracer/screen_camera.h"
#include "raytracer/shading.h"

namespace RAYTR {

namespace {

constexpr int kTileSide = MaskPicture::kTileSide;
constexpr std::uint32_t kLit = MaskPicture::kLit;
constexpr std::uint32_t kShadow = MaskPicture::kShadow;
constexpr std::uint32_t kUntraced = MaskPicture::kUntraced;

// Scratch values of a tile: traced values are kLit and kShadow exactly; kUntraced is not yet
// known; a value guessed from agreeing traced neighbours (a fill) carries in its low byte the
// side of the square that guessed it (1 for a copy between two pixels 2 apart). A later square
// traces a guessed pixel rather than trust it; a guess never replaces a traced value, nor a
// guess from a smaller square, so the finest information wins whatever the order of the
// blocks. Write-back clears the low byte.
constexpr std::uint32_t kGuessBits = 0xFFu;
inline bool Traced(std::uint32_t v) { return v == kLit || v == kShadow; }
inline void PutGuess(std::uint32_t& slot, std::uint32_t traced, std::uint32_t side) {
    if (Traced(slot)) return;
    if (slot == kUntraced || (slot & kGuessBits) >= side) slot = (traced != kShadow ? kLit : kShadow) | side;
}

// Adaptive refinement of the square at scratch index p (row stride w) of side `size` (8, 4 or
// 2) whose four corners are traced: a square whose corners agree is filled with their value;
// otherwise the edge midpoints and the centre are traced, unless a neighbouring square of the
// tile traced them already, and the four quarters refined, down to single pixels. trace(k)
// gives the mask value at scratch index k.
template <class Trace>
void RefineSquare(std::uint32_t* s, int w, int p, int size, const Trace& trace) {
    const int tl = p, tr = p + size, bl = p + w * size, br = bl + size;
    const std::uint32_t vtl = s[tl], vtr = s[tr], vbl = s[bl], vbr = s[br];

    // Uniform square: fill size + 1 rows and columns without tracing the inside. Its inner
    // points lie on no other square of the tile that is refined before it (squares share only
    // their sides), so they are still untraced and take the guess as it is.
    if (vtl == vtr && vtl == vbl && vtl == vbr) {
        const auto side = static_cast<std::uint32_t>(size);
        const std::uint32_t guess = (vtl != kShadow ? kLit : kShadow) | side;
        for (int k = 0; k <= size; ++k) PutGuess(s[tl + k], vtl, side);
        for (int row = 1; row < size; ++row) {
            std::uint32_t* line = s + tl + row * w;
            PutGuess(line[0], vtl, side);
            std::fill(line + 1, line + size, guess);
            PutGuess(line[size], vtl, side);
        }
        for (int k = 0; k <= size; ++k) PutGuess(s[bl + k], vtl, side);
        return;
    }

    // Smallest square: the four edge midpoints copy an agreeing pair, the centre is traced.
    if (size == 2) {
        const auto edge = [&](int q, std::uint32_t a, std::uint32_t b) {
            if (Traced(s[q])) return;
            if (a == b)
                PutGuess(s[q], a, 1u);
            else
                s[q] = trace(q);
        };
        edge(p + 1, vtl, vtr);
        edge(p + w, vtl, vbl);
        edge(bl + 1, vbl, vbr);
        edge(tr + w, vtr, vbr);
        if (!Traced(s[p + w + 1])) s[p + w + 1] = trace(p + w + 1);
        return;
    }

    const int half = size / 2;
    const int top = p + half, left = p + w * half, right = tr + w * half, bottom = bl + half;
    const int centre = left + half;
    for (const int q : {top, left, right, bottom, centre})
        if (!Traced(s[q])) s[q] = trace(q);
    RefineSquare(s, w, p, half, trace);
    RefineSquare(s, w, top, half, trace);
    RefineSquare(s, w, left, half, trace);
    RefineSquare(s, w, centre, half, trace);
}

// One row of a tile's scratch into the mask words (when kept) and the bytes the texture shows
// (lit 255, shadow 0). Separate loops over unaliased pointers, so that the compiler vectorises
// them.
void WriteBackRow(const std::uint32_t* __restrict from, int count, std::uint32_t* __restrict words,
                  std::uint8_t* __restrict bytes) {
    if (words != nullptr)
        for (int k = 0; k < count; ++k) words[k] = from[k] & ~kGuessBits;
    for (int k = 0; k < count; ++k) bytes[k] = static_cast<std::uint8_t>(from[k] >> 24);
}

// Light 0's centre, or with a sample the sample's point of its sphere as seen from `from`.
inline VECTOR LightTarget(const Scene& scene, const PixelSample* sample, const VECTOR& from) {
    const LightSource& light = scene.lights[0];
    if (sample == nullptr) return light.position;
    return LightPoint(light.position, light.radius, from, sample->u, sample->v);
}

// A window point from the unturned camera space of ScreenCamera::Reconstruct: x turned as the
// rays' directions are; rows from the bottom like the depth buffer.
inline VECTOR DepthPoint(const VECTOR& v) { return VECTOR(-v.x, v.y, v.z, 1.0f); }

}  // namespace

std::int64_t MaskPicture::TableBytes(int width, int height) {
    const std::int64_t pixels = std::int64_t{width} * height;
    const std::int64_t coarse = std::int64_t{(width + kCoarseStep - 1) / kCoarseStep} * ((height + kCoarseStep - 1) / kCoarseStep);
    const std::int64_t lattice = std::int64_t{Tiling::BlocksAlong(width) + 1} * (Tiling::BlocksAlong(height) + 1);
    return pixels * static_cast<std::int64_t>(sizeof(std::uint32_t) + 3 + sizeof(float)) + coarse +
           lattice * static_cast<std::int64_t>(sizeof(std::uint32_t));
}

MaskPicture::MaskPicture(TilePasses& passes, const ScreenCamera& camera)
    : passes_(passes),
      camera_(camera),
      width_(passes.Window().Width()),
      height_(passes.Window().Height()),
      coarseTiling_((width_ + kCoarseStep - 1) / kCoarseStep, (height_ + kCoarseStep - 1) / kCoarseStep) {
    const auto count = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    words_ = std::make_unique_for_overwrite<std::uint32_t[]>(count);
    std::fill(words_.get(), words_.get() + count, kUntraced);
    bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(count);
    std::fill(bytes_.get(), bytes_.get() + count, std::uint8_t{254});
    sums_ = std::make_unique_for_overwrite<float[]>(count);  // written by the first pass
    shown_ = std::make_unique_for_overwrite<std::uint8_t[]>(count);
    std::fill(shown_.get(), shown_.get() + count, std::uint8_t{254});
    shares_ = std::make_unique_for_overwrite<std::uint8_t[]>(count);
    const Tiling& window = passes_.Window();
    const auto latticeCount = static_cast<std::size_t>(window.BlockRows() + 1) * static_cast<std::size_t>(window.BlockCols() + 1);
    lattice_ = std::make_unique_for_overwrite<std::uint32_t[]>(latticeCount);
    std::fill(lattice_.get(), lattice_.get() + latticeCount, kUntraced);
    scratch_ = std::make_unique_for_overwrite<std::uint32_t[]>(static_cast<std::size_t>(passes_.Threads()) * kTileSide * kTileSide);
    coarseBytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(CoarseWidth()) * CoarseHeight());
    screen_ = Screen{width_, height_, 1, &passes_.Window(), words_.get(), bytes_.get()};
}

void MaskPicture::MarkTracedPixels(bool on) {
    if (on && !marks_) marks_ = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(width_) * height_);
    marking_ = on;
}

bool MaskPicture::HasShadows(const Scene& scene) {
    if (scene.lights.Size() == 0) return false;
    for (unsigned i = 0; i < scene.objects.Size(); ++i)
        if ((scene.objects[i].flags & TObject::kShadowFlag) != 0 && scene.objects[i].grid != nullptr) return true;
    return false;
}

bool MaskPicture::PassesCanChange() const {
    if (samples_ == 0 || scene_ == nullptr) return false;
    return scene_->lights.Size() > 0 && scene_->lights[0].radius > 0.0f;
}

void MaskPicture::Begin(const Scene& scene, const float* depth, const std::uint32_t* depthWords) {
    scene_ = &scene;
    depth_ = depth;
    depthWords_ = depth == nullptr ? depthWords : nullptr;
    samples_ = 1;
}

void MaskPicture::Whole(const Scene& scene, const float* depth, const std::uint32_t* depthWords) {
    Begin(scene, depth, depthWords);
    coarse_ = false;
    const std::size_t count = static_cast<std::size_t>(width_) * height_;
    // No light casts a shadow: the whole mask is lit, nothing is traced.
    if (scene.lights.Size() == 0) {
        std::fill(words_.get(), words_.get() + count, kLit);
        std::fill(bytes_.get(), bytes_.get() + count, std::uint8_t{255});
        std::fill(shown_.get(), shown_.get() + count, std::uint8_t{255});
        return;
    }
    // Every pixel of both masks is written by exactly one block, so they need no clearing.
    if (marking_) std::fill(marks_.get(), marks_.get() + count, std::uint8_t{0});
    Trace(Screen{width_, height_, 1, &passes_.Window(), words_.get(), bytes_.get()});
}

void MaskPicture::Coarse(const Scene& scene, const std::uint32_t* depthWords) {
    if (!HasShadows(scene)) {
        Whole(scene, nullptr, depthWords);
        return;
    }
    Begin(scene, nullptr, depthWords);
    coarse_ = true;
    Trace(Screen{CoarseWidth(), CoarseHeight(), kCoarseStep, &coarseTiling_, nullptr, coarseBytes_.get()});
    // Every window pixel's byte from the coarse mask, on the same threads.
    passes_.Run(passes_.Window(), this, &MaskPicture::UpsampleTile);
}

// kUnknownShare: a pixel's share not computed yet in this picture.
constexpr std::uint8_t kUnknownShare = 255;

std::uint8_t MaskPicture::ShareAt(int p) const {
    // The light's direct share of the preview's colour at the pixel's surface (turned toward the
    // eye): what a shadow takes away, leaving the ambient part. 0 where nothing is drawn.
    const int row = p / width_, column = p % width_;
    VECTOR position, normal;
    bool found = false;
    if (depth_ != nullptr || depthWords_ != nullptr) {
        SurfacePoint surface;
        found = DepthSurface(row, column, 1, surface);
        position = surface.position;
        normal = surface.normal;
    } else {
        RayHit hit;
        if (PrimaryHit(p, hit)) {
            found = true;
            position = HitPointInWorld(hit);
            VECTOR n = InterpolatedNormal(hit);
            n.w = 0.0f;
            normal = hit.transform ? NormalToWorld(*hit.transform, n) : n;
        }
    }
    float k = 0.0f;
    if (found) {
        const VECTOR eye = EyeInWorld(*scene_);
        const VECTOR toEye(eye.x - position.x, eye.y - position.y, eye.z - position.z, 0.0f);
        if (ORVA_MATH::Dot(normal, toEye) < 0.0f) normal = normal * -1.0f;
        k = DirectShare(*scene_, position, normal);
    }
    return static_cast<std::uint8_t>(std::min(254.0f, k * 254.0f + 0.5f));
}

std::uint8_t MaskPicture::ShownByte(int p, float lit) {
    if (lit >= 1.0f) return 255;
    if (!keepAmbient) return static_cast<std::uint8_t>(lit * 255.0f + 0.5f);
    std::uint8_t& share = shares_[p];
    if (share == kUnknownShare) share = ShareAt(p);
    const float k = float(share) / 254.0f;
    return static_cast<std::uint8_t>((1.0f - (1.0f - lit) * k) * 255.0f + 0.5f);
}

void MaskPicture::InterpolateShares(const ScreenTile& tile) {
    // A share costs a surface point and its normal from the depth and the light's terms; over a
    // shadow of many pixels that is most of the mask's time. Within an 8 x 8 cell whose corners
    // and middle show one smoothly lit surface (the middle's share within one of 254 levels of
    // the corners' bilinear value) the share is interpolated between the corners for every pixel
    // whose depth lies on that surface (1 / distance within half a per cent of the corners'
    // bilinear value: exact for a plane). Other pixels, cells across silhouettes or the light's
    // terms' bends, and cells with a corner on nothing are left to the exact share.
    constexpr int kCell = kBlock;
    constexpr float kShareError = 1.0f;
    constexpr float kOnSurface = 0.005f;
    const float farLimit = 0.99f * camera_.Far();
    // The corners' shares, each computed once for the cells that meet there (-1: not yet).
    constexpr int kSide = Tiling::kTileBlocks + 1;
    float cornerShares[kSide * kSide];
    std::fill(cornerShares, cornerShares + kSide * kSide, -1.0f);
    const auto cornerShare = [&](int i, int j, int p) {
        if (i >= kSide || j >= kSide) return float(ShareAt(p));
        float& share = cornerShares[i * kSide + j];
        if (share < 0.0f) share = float(ShareAt(p));
        return share;
    };
    for (int r0 = tile.rowStart; r0 < tile.rowEnd; r0 += kCell)
        for (int c0 = tile.colStart; c0 < tile.colEnd; c0 += kCell) {
            const int r1 = std::min(r0 + kCell, height_ - 1), c1 = std::min(c0 + kCell, width_ - 1);
            const int rEnd = std::min(r0 + kCell, tile.rowEnd), cEnd = std::min(c0 + kCell, tile.colEnd);
            if (r1 <= r0 || c1 <= c0) continue;
            const int ci = (r0 - tile.rowStart) / kCell, cj = (c0 - tile.colStart) / kCell;
            bool shadowed = false;
            for (int r = r0; r < rEnd && !shadowed; ++r)
                for (int c = c0; c < cEnd && !shadowed; ++c) shadowed = bytes_[r * width_ + c] != 255;
            if (!shadowed) continue;
            const int corners[4] = {r0 * width_ + c0, r0 * width_ + c1, r1 * width_ + c0, r1 * width_ + c1};
            float inverse[4], share[4];
            bool smooth = true;
            for (int i = 0; i < 4 && smooth; ++i) {
                const float t = camera_.ViewDistance(Depth(corners[i]));
                smooth = t < farLimit;
                inverse[i] = 1.0f / t;
                share[i] = smooth ? cornerShare(ci + i / 2, cj + i % 2, corners[i]) : 0.0f;
            }
            if (!smooth) continue;
            const float rows = float(r1 - r0), cols = float(c1 - c0);
            const auto mixAt = [&](const float* v, float fx, float fy) {
                return (v[0] * (1.0f - fx) + v[1] * fx) * (1.0f - fy) + (v[2] * (1.0f - fx) + v[3] * fx) * fy;
            };
            const int rm = std::min(r0 + kCell / 2, r1), cm = std::min(c0 + kCell / 2, c1);
            const float fym = float(rm - r0) / rows, fxm = float(cm - c0) / cols;
            const float tm = camera_.ViewDistance(Depth(rm * width_ + cm));
            if (!(std::fabs(1.0f / tm - mixAt(inverse, fxm, fym)) <= kOnSurface * mixAt(inverse, fxm, fym))) continue;
            if (!(std::fabs(float(ShareAt(rm * width_ + cm)) - mixAt(share, fxm, fym)) <= kShareError)) continue;
            for (int r = r0; r < rEnd; ++r) {
                const float fy = float(r - r0) / rows;
                for (int c = c0; c < cEnd; ++c) {
                    const int p = r * width_ + c;
                    if (bytes_[p] == 255) continue;
                    const float fx = float(c - c0) / cols;
                    const float expected = mixAt(inverse, fx, fy);
                    const float t = camera_.ViewDistance(Depth(p));
                    if (!(std::fabs(1.0f / t - expected) <= kOnSurface * expected)) continue;
                    shares_[p] = static_cast<std::uint8_t>(std::min(254.0f, mixAt(share, fx, fy) + 0.5f));
                }
            }
        }
}

void MaskPicture::LiftTile(ScreenTile& tile, int) {
    for (int r = tile.rowStart; r < tile.rowEnd; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * width_;
        std::fill(shares_.get() + at + tile.colStart, shares_.get() + at + tile.colEnd, kUnknownShare);
        // Lit pixels show 255, as their mask bytes say.
        std::copy(bytes_.get() + at + tile.colStart, bytes_.get() + at + tile.colEnd, shown_.get() + at + tile.colStart);
    }
    if (!keepAmbient) return;  // the bytes as they are
    if (depth_ != nullptr || depthWords_ != nullptr) InterpolateShares(tile);
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int c = tile.colStart; c < tile.colEnd; ++c) {
            const int p = r * width_ + c;
            if (bytes_[p] != 255) shown_[p] = ShownByte(p, float(bytes_[p]) / 255.0f);
        }
}

void MaskPicture::Trace(const Screen& screen) {
    screen_ = screen;
    // The blocks read their corners from the lattice: every lattice point first.
    passes_.Run(*screen.tiling, this, &MaskPicture::LatticeTile);
    passes_.Run(*screen.tiling, this, &MaskPicture::BlocksTile);
    screen_ = Screen{width_, height_, 1, &passes_.Window(), words_.get(), bytes_.get()};
}

float MaskPicture::Depth(int p) const { return depthWords_ != nullptr ? DepthFromWord(depthWords_[p]) : depth_[p]; }

VECTOR MaskPicture::Reconstruct(int p) const { return camera_.Reconstruct(p / width_, p % width_, Depth(p)); }

bool MaskPicture::PrimaryHit(int p, RayHit& hit) const {
    return ClosestHit(camera_.PixelRay(p / width_, p % width_), *scene_, hit);
}

bool MaskPicture::DepthSurface(int row, int column, int step, SurfacePoint& s) const {
    const int p = row * width_ + column;
    // A point's distance along the view axis is its z (UnitZ's z is 1): nothing else of it is
    // computed for a pixel that shows nothing or a neighbour that is not taken.
    const float farLimit = 0.99f * camera_.Far();
    const float t = camera_.ViewDistance(Depth(p));
    if (t >= farLimit) return false;
    const auto pointAt = [&](int pointRow, int pointColumn, float distance) {
        float x = 0.0f, y = 0.0f;
        camera_.UnitXY(pointRow, pointColumn, x, y);
        return DepthPoint(VECTOR(x * distance, y * distance, distance, 0.0f));
    };
    const VECTOR point = pointAt(row, column, t);
    // The depth's quantisation bounds the point's distance from the surface along the line of
    // sight, and the neighbouring points `step` pixels away give the surface's normal: on each
    // axis the neighbour nearer in depth, so that a silhouette does not bend it.
    const auto toward = [&](int beforeRow, int beforeColumn, int afterRow, int afterColumn, bool hasBefore, bool hasAfter) {
        float nearest = INFINITY, before = 0.0f, after = 0.0f;
        int chosen = 0;  // none, the one before, the one after
        if (hasBefore) {
            before = camera_.ViewDistance(Depth(beforeRow * width_ + beforeColumn));
            if (before < farLimit && std::fabs(before - t) < nearest) {
                nearest = std::fabs(before - t);
                chosen = 1;
            }
        }
        if (hasAfter) {
            after = camera_.ViewDistance(Depth(afterRow * width_ + afterColumn));
            if (after < farLimit && std::fabs(after - t) < nearest) chosen = 2;
        }
        VECTOR best(0.0f, 0.0f, 0.0f, 0.0f);
        if (chosen == 1) best = point - pointAt(beforeRow, beforeColumn, before);
        if (chosen == 2) best = pointAt(afterRow, afterColumn, after) - point;
        best.w = 0.0f;
        return best;
    };
    const VECTOR dx = toward(row, column - step, row, column + step, column - step >= 0, column + step < width_);
    const VECTOR dy = toward(row - step, column, row + step, column, row - step >= 0, row + step < height_);
    VECTOR normal = ORVA_MATH::Cross(dx, dy);
    normal.w = 0.0f;
    // Window depth d gives t = depthA / (depthB - d), so a depth off by q is off by about
    // q t^2 / depthA in t: eight quanta of a 24-bit depth buffer (the rasteriser's and the
    // read-back's rounding), plus the rounding of the reconstruction itself.
    constexpr float kQuantum = 8.0f / 16777216.0f;
    const float depthError = t * (kQuantum * t / camera_.DepthA()) + t * 4e-7f;
    s = DepthSurfaceOf(camera_.DepthToWorld(), point, depthError, normal);
    return true;
}

std::uint32_t MaskPicture::MaskValue(int row, int column, int step, const PixelSample* sample) const {
    const int p = row * width_ + column;
    // The marks show the one-sample whole frame's work. Two workers may compute the same border
    // pixel; both mark it with the same value.
    if (marking_ && sample == nullptr && step == 1) std::atomic_ref<std::uint8_t>(marks_[p]).store(1, std::memory_order_relaxed);
    // Only light 0 casts the mask's shadows; without it every point is lit.
    if (scene_->lights.Size() == 0) return kLit;
    if (depth_ == nullptr && depthWords_ == nullptr) {
        RayHit hit;
        if (!PrimaryHit(p, hit)) return kLit;
        // A ray from the point toward light 0 (or the sample's point of its sphere), leaving a
        // triangle's surface from an offset origin.
        const VECTOR lightPosition = LightTarget(*scene_, sample, HitPointInWorld(hit));
        return ShadowBlockedThrough(ShadowRay(hit, lightPosition), *scene_, lightPosition, sample) ? kShadow : kLit;
    }
    // The visible point from the preview's depth, leaving the surface to the light's side.
    SurfacePoint s;
    if (!DepthSurface(row, column, step, s)) return kLit;  // nothing drawn there
    const VECTOR lightPosition = LightTarget(*scene_, sample, s.position);
    if (!ShadowBlockedThrough(ShadowRayFrom(s, lightPosition), *scene_, lightPosition, sample)) return kLit;
    return TerminatorShadow(p, s, lightPosition, sample) ? kShadow : kLit;
}

bool MaskPicture::TerminatorShadow(int p, const SurfacePoint& s, const VECTOR& lightPosition, const PixelSample* sample) const {
    // Where the light grazes a smooth-shaded model of few triangles, its flat facets shadow
    // their neighbours although the smooth shading says lit; the traced image lifts its shadow
    // rays there (offset.h). The depth gives neither the triangle nor its vertex normals, so a
    // blocked point whose facet meets the light at a grazing angle or faces away from it asks
    // its primary ray, and takes the traced image's answer when that ray hits the same point.
    VECTOR toEye = EyeInWorld(*scene_) - s.position;
    VECTOR toLight = lightPosition - s.position;
    toEye.w = toLight.w = 0.0f;
    const VECTOR n = ORVA_MATH::Dot(s.normal, toEye) < 0.0f ? s.normal * -1.0f : s.normal;
    // cos 60 degrees: facets of a coarse smooth mesh turn their shading normals by less.
    constexpr float kGrazingCosine = 0.5f;
    const float lightLength = std::sqrt(ORVA_MATH::Dot(toLight, toLight));
    if (!(ORVA_MATH::Dot(n, toLight) < kGrazingCosine * lightLength)) return true;
    RayHit hit;
    if (!PrimaryHit(p, hit) || hit.triangle == nullptr) return true;
    // The same surface: the hit lies within the depth's error of the read point (the error
    // bound is per axis; four times its length allows for the normal's estimate).
    VECTOR apart = HitPointInWorld(hit) - s.position;
    apart.w = 0.0f;
    const float limit = 4.0f * std::sqrt(ORVA_MATH::Dot(s.error, s.error)) + 1e-3f * std::sqrt(ORVA_MATH::Dot(toEye, toEye));
    if (ORVA_MATH::Dot(apart, apart) > limit * limit) return true;
    return ShadowBlockedThrough(ShadowRay(hit, lightPosition), *scene_, lightPosition, sample);
}

void MaskPicture::LatticeTile(ScreenTile& tile, int) {
    // The lattice points at the tile's lower-left block corners, and the closing lines; point
    // (i, j) is the screen pixel (8i, 8j), clamped into the screen.
    const Tiling& tiling = *screen_.tiling;
    const int iEnd = tile.blockRowEnd == tiling.BlockRows() ? tiling.BlockRows() + 1 : tile.blockRowEnd;
    const int jEnd = tile.blockColEnd == tiling.BlockCols() ? tiling.BlockCols() + 1 : tile.blockColEnd;
    const int s = screen_.step;
    for (int i = tile.blockRowStart; i < iEnd; ++i)
        for (int j = tile.blockColStart; j < jEnd; ++j) {
            const int row = std::min(i * kBlock, screen_.height - 1), col = std::min(j * kBlock, screen_.width - 1);
            lattice_[i * (tiling.BlockCols() + 1) + j] = MaskValue(row * s, col * s, s);
        }
}

void MaskPicture::BlocksTile(ScreenTile& tile, int thread) {
    RefineBlocks(tile, thread);
    // A window tile's pixels are final: what the overlay shows of them (a coarse screen's are
    // shown once upsampled).
    if (screen_.words != nullptr) LiftTile(tile, thread);
}

void MaskPicture::RefineTile(int tile, int thread) {
    RefineBlocks(screen_.tiling->Tiles()[static_cast<std::size_t>(tile)], thread);
}

void MaskPicture::RefineBlocks(const ScreenTile& t, int thread) {
    const Screen& screen = screen_;
    std::uint32_t* const s = scratch_.get() + static_cast<std::size_t>(thread) * kTileSide * kTileSide;
    // The tile's blocks in one scratch of (8 * blocks + 1) values each way, so that squares of
    // neighbouring blocks share what they traced on their common edges; corners from the
    // lattice (read only during this pass).
    const int blockRows = t.blockRowEnd - t.blockRowStart, blockCols = t.blockColEnd - t.blockColStart;
    const int w = blockCols * kBlock + 1, h = blockRows * kBlock + 1;
    const int stride = screen.tiling->BlockCols() + 1;
    const auto wordsAt = [&](int r) { return screen.words ? screen.words + static_cast<std::size_t>(r) * screen.width + t.colStart : nullptr; };
    const auto bytesAt = [&](int r) { return screen.bytes + static_cast<std::size_t>(r) * screen.width + t.colStart; };
    // Most tiles lie wholly in light or in shadow: when every lattice point of the tile agrees,
    // every block is uniform and every pixel the tile owns takes that value, as the refinement
    // below would give it.
    const std::uint32_t first = lattice_[t.blockRowStart * stride + t.blockColStart];
    bool uniform = true;
    for (int i = 0; i <= blockRows && uniform; ++i)
        for (int j = 0; j <= blockCols && uniform; ++j)
            uniform = lattice_[(t.blockRowStart + i) * stride + t.blockColStart + j] == first;
    if (uniform) {
        const auto byte = static_cast<std::uint8_t>(first >> 24);
        const int cols = t.colEnd - t.colStart;
        for (int r = t.rowStart; r < t.rowEnd; ++r) {
            if (std::uint32_t* words = wordsAt(r)) std::fill(words, words + cols, first);
            std::fill(bytesAt(r), bytesAt(r) + cols, byte);
        }
        return;
    }
    std::fill(s, s + w * h, kUntraced);
    for (int i = 0; i <= blockRows; ++i)
        for (int j = 0; j <= blockCols; ++j)
            s[i * kBlock * w + j * kBlock] = lattice_[(t.blockRowStart + i) * stride + t.blockColStart + j];
    const int row0 = t.blockRowStart * kBlock, col0 = t.blockColStart * kBlock;
    const int lastRow = screen.height - 1, lastCol = screen.width - 1, step = screen.step;
    const auto trace = [&](int k) {
        const int row = std::min(row0 + k / w, lastRow);
        const int col = std::min(col0 + k % w, lastCol);
        return MaskValue(row * step, col * step, step);
    };
    // Blocks in a fixed order, so that the result does not depend on the thread.
    for (int i = 0; i < blockRows; ++i)
        for (int j = 0; j < blockCols; ++j) RefineSquare(s, w, i * kBlock * w + j * kBlock, kBlock, trace);

    // Write back the pixels the tile owns: its blocks' lower-left 8 x 8 squares, and the closing
    // row or column at the screen's top and right edges; nothing outside the screen.
    const int cols = t.colEnd - t.colStart;
    for (int r = 0; r < t.rowEnd - t.rowStart; ++r) WriteBackRow(s + r * w, cols, wordsAt(t.rowStart + r), bytesAt(t.rowStart + r));
}

float MaskPicture::Pass() {
    if (samples_ == 0 || scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no picture to add a pass to");
    if (coarse_)
        throw TIRN_ERROR::Error("The ray tracer can not add a pass to a coarse mask: a whole mask frame comes first");
    // The mask of a point light is the same in every pass; so is the mask without a light.
    if (!PassesCanChange()) {
        ++samples_;
        return 0.0f;
    }
    passes_.Run(passes_.Window(), this, &MaskPicture::PassTile);
    ++samples_;
    return passes_.Window().LargestChange();
}

void MaskPicture::PassTile(ScreenTile& tile, int) {
    // Pass n adds the n + 1st sample; the mean moves from sum / n to (sum + sample) / (n + 1).
    // The same visible point (pixel centre) toward the sample's point of light 0; the first
    // sample is the frame's mask byte (lit 255, shadow 0).
    const auto n = static_cast<std::uint32_t>(samples_);
    const float before = 1.0f / static_cast<float>(n), after = 1.0f / static_cast<float>(n + 1);
    float change = 0.0f;
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int c = tile.colStart; c < tile.colEnd; ++c) {
            const int p = r * width_ + c;
            const PixelSample sample = SampleOf(static_cast<std::uint32_t>(p), n);
            const float value = MaskValue(r, c, 1, &sample) == kLit ? 1.0f : 0.0f;
            const float old = n == 1 ? (bytes_[p] != 0 ? 1.0f : 0.0f) : sums_[p];
            const float sum = old + value;
            sums_[p] = sum;
            const float mean = sum * after;
            bytes_[p] = static_cast<std::uint8_t>(mean * 255.0f + 0.5f);
            shown_[p] = ShownByte(p, mean);
            change = std::max(change, std::fabs(mean - old * before));
        }
    tile.maxChange = change * 255.0f;
}

}  // namespace RAYTR
