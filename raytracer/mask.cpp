// The per-pixel work of the ScreenTracer: the primary-ray and depth-direction tables, the camera
// matrices, the reconstruction of visible points from the preview's depth buffer, the value of
// one shadow-mask pixel, the lattice, the adaptive block refinement and the full shading of a
// rectangle. Every pixel of buffer 0 is written by one tile only (see screen_tracer.h), so the
// stores are plain.

#include <GL/gl.h>
#include <GL/glu.h>
#include <emmintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "errors/errors.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"

namespace RAYTR {

namespace {

// One shaded channel as a byte: truncated toward zero, limited to [0, 255] (bright surfaces
// near the light reach values above 1.0, which must saturate rather than wrap; NaN gives 0).
inline std::uint8_t ChannelByte(float c) {
    const float v = c * 255.0f;
    if (!(v > 0.0f)) return 0;
    if (v >= 255.0f) return 255;
    return static_cast<std::uint8_t>(v);
}

// Luminance of RGB bytes (Rec. 601 weights).
inline float Luminance(const std::uint8_t rgb[3]) {
    return 0.299f * static_cast<float>(rgb[0]) + 0.587f * static_cast<float>(rgb[1]) + 0.114f * static_cast<float>(rgb[2]);
}

// Whether a pixel of luminance l stands out from both neighbours a and b: darker than 0.8 of
// the darker one (while that one is above 30) or brighter than 1.25 times the brighter one
// (while the pixel is above 30). A little wider than what a viewer sees as a speck.
inline bool StandsOut(float l, float a, float b) {
    const float lo = std::min(a, b), hi = std::max(a, b);
    return (lo > 30.0f && l < 0.8f * lo) || (l > 30.0f && l > 1.25f * hi);
}

// A shown channel value in [0, 1] (what ChannelByte turns into a byte, before truncation).
inline float Shown(float c) { return c > 0.0f ? (c < 1.0f ? c : 1.0f) : 0.0f; }

// RGBA bytes of a colour (red in x, blue in y, green in z) as one word of buffer 0.
inline std::uint32_t PixelWord(const VECTOR& colour) {
    const std::uint8_t bytes[4] = {ChannelByte(colour.x), ChannelByte(colour.z), ChannelByte(colour.y), 255};
    std::uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

constexpr int kTileSide = ScreenTracer::kTileSide;

// Scratch values of a tile: traced values are kLit and kShadow exactly; kUntraced is not yet
// known; a value guessed from agreeing traced neighbours (a fill) carries in its low byte the
// side of the square that guessed it (1 for a copy between two pixels 2 apart). A later square
// traces a guessed pixel rather than trust it; a guess never replaces a traced value, nor a
// guess from a smaller square, so the finest information wins whatever the order of the
// blocks. Write-back clears the low byte.
constexpr std::uint32_t kGuessBits = 0xFFu;
inline bool Traced(std::uint32_t v) { return v == ScreenTracer::kLit || v == ScreenTracer::kShadow; }
inline void PutGuess(std::uint32_t& slot, std::uint32_t traced, std::uint32_t side) {
    if (Traced(slot)) return;
    if (slot == ScreenTracer::kUntraced || (slot & kGuessBits) >= side)
        slot = (traced != ScreenTracer::kShadow ? ScreenTracer::kLit : ScreenTracer::kShadow) | side;
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
        const std::uint32_t guess = (vtl != ScreenTracer::kShadow ? ScreenTracer::kLit : ScreenTracer::kShadow) | side;
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

// One row of a tile's scratch into the mask words and the bytes the texture shows (lit 255,
// shadow 0). Separate loops over unaliased pointers, so that the compiler vectorises them.
void WriteBackRow(const std::uint32_t* __restrict from, int count, std::uint32_t* __restrict words,
                  std::uint8_t* __restrict bytes) {
    for (int k = 0; k < count; ++k) words[k] = from[k] & ~kGuessBits;
    for (int k = 0; k < count; ++k) bytes[k] = static_cast<std::uint8_t>(from[k] >> 24);
}

}  // namespace

void ScreenTracer::AttachScene(Scene* scene) {
    if (scene == nullptr) throw TIRN_ERROR::Error("The ray tracer can not attach a missing scene");
    // Scene, clipping distances and the depth coefficients of Reconstruct.
    scene_ = scene;
    TakeClippingPlanes();

    // Ray tables as the preview projects (gluPerspective with 45 degrees vertically and the
    // window's aspect ratio): y spans 22.5 degrees up and down, x the same pixel pitch sideways.
    // Rows j count from the top of the window; each ray goes through its pixel's centre, where
    // OpenGL samples the depth that Reconstruct turns back into a point.
    // A screen of every stride-th pixel takes the window's rays of those pixels, bit for bit.
    const float halfW = static_cast<float>(fullWidth_) * 0.5f;
    const float halfH = static_cast<float>(fullHeight_) * 0.5f;
    const auto zPlane = static_cast<float>(-halfH / std::tan(0.39269909262657166));
    zPlane_ = zPlane;
    for (int j = 0; j < height_; ++j) {
        const float y = halfH - (static_cast<float>(j * stride_) + 0.5f);
        for (int i = 0; i < width_; ++i) {
            const float x = static_cast<float>(i * stride_) + 0.5f - halfW;
            const VECTOR v(x, y, zPlane, 1.0f);
            const VECTOR d = v / ORVA_MATH::Length(v);
            const int p = j * width_ + i;
            rays_[p] = Ray(VECTOR(0.0f, 0.0f, 0.0f, 1.0f), VECTOR(d.x, d.y, d.z, 1.0f));
            unitZ_[p] = d / d.z;
        }
    }
    if (coarse_) coarse_->AttachScene(scene);
}

void ScreenTracer::TakeClippingPlanes() {
    far_ = scene_->farDistance;
    near_ = scene_->nearDistance;
    depthA_ = far_ * near_ / (far_ - near_);
    depthB_ = (far_ + near_) / ((far_ - near_) * 2.0f) + 0.5f;
}

void ScreenTracer::UpdateCameraMatrices() {
    // V: the preview's view matrix, taken as OpenGL returns it.
    MATRIX v;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    gluLookAt(eye_.x, eye_.y, eye_.z, target_.x, target_.y, target_.z, 0.0, 1.0, 0.0);
    glGetFloatv(GL_MODELVIEW_MATRIX, v.m);
    glPopMatrix();
    // F flips z (rays look down +z in the tables); S is the scene's rotation. Camera space to
    // the turned frame (V inverted, for any eye and target), then turned back by S inverted
    // instead of moving the objects: the inverse of the preview's model view. Camera rays and
    // depth-buffer points go through the same matrix.
    MATRIX f = MATRIX::Identity();
    f(2, 2) = -1.0f;
    const MATRIX inverseS = scene_ != nullptr ? scene_->rotation.Inverted() : MATRIX::Identity();
    depthToWorld_ = f * v.Inverted();
    depthToWorld_ = depthToWorld_ * inverseS;
    cameraToWorld_ = depthToWorld_;
    // Stored transposed: applied as matrix times column vector.
    cameraToWorld_.Transpose();
    depthToWorld_.Transpose();
}

VECTOR ScreenTracer::Reconstruct(int p) const { return ReconstructAt(p, DepthIndex(p)); }

VECTOR ScreenTracer::ReconstructAt(int p, int q) const {
    // Window depth 0 gives the near distance, 1 the far distance along the view axis.
    const float d = depthWords_ != nullptr ? DepthFromWord(depthWords_[q]) : depth_[q];
    const float t = depthA_ / (depthB_ - d);
    return unitZ_[p] * t;
}

bool ScreenTracer::PrimaryHit(int p, RayHit& hit) const {
    // y and z turned: the tables count rows from the top, the mask from the bottom.
    Ray ray = rays_[p];
    const VECTOR d = ray.direction;
    ray.direction = VECTOR(d.x, -d.y, -d.z, d.w);
    return ClosestHit(CarryRay(ray, cameraToWorld_), *scene_, hit);
}

namespace {

// Light 0's centre, or with a sample the sample's point of its sphere as seen from `from`.
inline VECTOR LightTarget(const Scene& scene, const PixelSample* sample, const VECTOR& from) {
    const LightSource& light = scene.lights[0];
    if (sample == nullptr) return light.position;
    return LightPoint(light.position, light.radius, from, sample->u, sample->v);
}

// The visible point of pixel p from the preview's depth (r = Reconstruct(p), in front of the
// far plane) as a surface point: the depth's quantisation bounds its distance from the surface
// along the line of sight, and the neighbouring pixels' points give the surface's normal (on
// each axis the neighbour nearer in depth, so that a silhouette does not bend it).
SurfacePoint DepthSurface(const ScreenTracer& tracer, int p, int depthIndex, const VECTOR& r) {
    // x turned as the table's direction is; rows from the bottom like the depth buffer.
    const auto point = [](const VECTOR& v) { return VECTOR(-v.x, v.y, v.z, 1.0f); };
    const int w = tracer.Width(), h = tracer.Height();
    const int row = p / w, column = p % w;
    const float farLimit = 0.99f * tracer.Far();
    // The step to the nearer drawn neighbour of two (signed so that it points along +k), or
    // zero when neither is drawn; neighbours one pixel of this screen away, depthStep words of
    // the window's depth.
    const auto step = [&](int before, int after, int depthStep, bool hasBefore, bool hasAfter) {
        VECTOR best(0.0f, 0.0f, 0.0f, 0.0f);
        float nearest = INFINITY;
        if (hasBefore) {
            const VECTOR q = tracer.ReconstructAt(before, depthIndex - depthStep);
            if (q.z < farLimit && std::fabs(q.z - r.z) < nearest) {
                nearest = std::fabs(q.z - r.z);
                best = point(r) - point(q);
            }
        }
        if (hasAfter) {
            const VECTOR q = tracer.ReconstructAt(after, depthIndex + depthStep);
            if (q.z < farLimit && std::fabs(q.z - r.z) < nearest) best = point(q) - point(r);
        }
        best.w = 0.0f;
        return best;
    };
    const VECTOR dx = step(p - 1, p + 1, tracer.DepthIndex(1) - tracer.DepthIndex(0), column > 0, column + 1 < w);
    const VECTOR dy = step(p - w, p + w, tracer.DepthIndex(w) - tracer.DepthIndex(0), row > 0, row + 1 < h);
    VECTOR normal = ORVA_MATH::Cross(dx, dy);
    normal.w = 0.0f;
    // Window depth d gives t = depthA / (depthB - d), so a depth off by q is off by about
    // q t^2 / depthA in t: eight quanta of a 24-bit depth buffer (the rasteriser's and the
    // read-back's rounding), plus the rounding of the reconstruction itself.
    constexpr float kQuantum = 8.0f / 16777216.0f;
    const float t = r.z;
    const float depthError = t * (kQuantum * t / tracer.DepthA()) + t * 4e-7f;
    return DepthSurfaceOf(tracer.DepthToWorld(), point(r), depthError, normal);
}

}  // namespace

bool ScreenTracer::ShadowTest(RayHit& hit, const PixelSample* sample) const {
    // A ray from the point toward light 0 (or the sample's point of its sphere), leaving a
    // triangle's surface from an offset origin.
    const VECTOR lightPosition = LightTarget(*scene_, sample, HitPointInWorld(hit));
    return ShadowBlocked(ShadowRay(hit, lightPosition), *scene_, lightPosition);
}

std::uint32_t ScreenTracer::MaskPixel(int p, const PixelSample* sample) const {
    // The marks show the one-sample frame's work. Two workers may compute the same border
    // pixel; both mark it with the same value.
    if (marks_ != nullptr && sample == nullptr) std::atomic_ref<std::uint8_t>(marks_[p]).store(1, std::memory_order_relaxed);
    // Only light 0 casts the mask's shadows; without it every point is lit.
    if (scene_->lights.Size() == 0) return kLit;
    if (depth_ != nullptr || depthWords_ != nullptr) {
        // The visible point from the preview's depth, leaving the surface to the light's side.
        const int q = DepthIndex(p);
        const VECTOR r = ReconstructAt(p, q);
        if (r.z >= 0.99f * far_) return kLit;  // nothing drawn there
        const SurfacePoint s = DepthSurface(*this, p, q, r);
        const VECTOR lightPosition = LightTarget(*scene_, sample, s.position);
        return ShadowBlocked(ShadowRayFrom(s, lightPosition), *scene_, lightPosition) ? kShadow : kLit;
    }
    RayHit hit;
    if (!PrimaryHit(p, hit)) return kLit;
    return ShadowTest(hit, sample) ? kShadow : kLit;
}

void ScreenTracer::TraceLatticePoint(int i, int j) {
    const int row = std::min(i * kBlock, height_ - 1);
    const int col = std::min(j * kBlock, width_ - 1);
    lattice_[i * (blockCols_ + 1) + j] = MaskPixel(row * width_ + col);
}

void ScreenTracer::RefineTile(int tile, int thread) {
    const ScreenTile& t = tiles_[static_cast<std::size_t>(tile)];
    std::uint32_t* const s = scratch_.get() + static_cast<std::size_t>(thread) * kTileSide * kTileSide;
    // The tile's blocks in one scratch of (8 * blocks + 1) values each way, so that squares of
    // neighbouring blocks share what they traced on their common edges; corners from the
    // lattice (read only during this pass).
    const int blockRows = t.blockRowEnd - t.blockRowStart, blockCols = t.blockColEnd - t.blockColStart;
    const int w = blockCols * kBlock + 1, h = blockRows * kBlock + 1;
    const int stride = blockCols_ + 1;
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
        for (int r = t.rowStart; r < t.rowEnd; ++r) {
            const std::size_t at = static_cast<std::size_t>(r) * width_ + t.colStart;
            std::fill(buffers_[0] + at, buffers_[0] + at + (t.colEnd - t.colStart), first);
            std::fill(maskBytes_ + at, maskBytes_ + at + (t.colEnd - t.colStart), byte);
        }
        return;
    }
    std::fill(s, s + w * h, kUntraced);
    for (int i = 0; i <= blockRows; ++i)
        for (int j = 0; j <= blockCols; ++j)
            s[i * kBlock * w + j * kBlock] = lattice_[(t.blockRowStart + i) * stride + t.blockColStart + j];
    const int row0 = t.blockRowStart * kBlock, col0 = t.blockColStart * kBlock;
    const int lastRow = height_ - 1, lastCol = width_ - 1;
    const auto trace = [&](int k) {
        const int row = std::min(row0 + k / w, lastRow);
        const int col = std::min(col0 + k % w, lastCol);
        return MaskPixel(row * width_ + col);
    };
    // Blocks in a fixed order, so that the result does not depend on the thread.
    for (int i = 0; i < blockRows; ++i)
        for (int j = 0; j < blockCols; ++j) RefineSquare(s, w, i * kBlock * w + j * kBlock, kBlock, trace);

    // Write back the pixels the tile owns: its blocks' lower-left 8 x 8 squares, and the closing
    // row or column at the window's top and right edges; nothing outside the window.
    const int cols = t.colEnd - t.colStart;
    for (int r = 0; r < t.rowEnd - t.rowStart; ++r) {
        const std::size_t at = static_cast<std::size_t>(t.rowStart + r) * width_ + t.colStart;
        WriteBackRow(s + r * w, cols, buffers_[0] + at, maskBytes_ + at);
    }
}

Ray ScreenTracer::ScreenRay(int row, float column, float rowOffset) const {
    // The table's direction for a point of the screen (column and row in pixels: the table's
    // ray of pixel (r, c) is ScreenRay(r, c, 0)), turned like the table's rays: y and z flipped
    // so that row 0 looks at the bottom of the scene.
    const auto stride = static_cast<float>(stride_);
    const float x = column * stride + 0.5f - static_cast<float>(fullWidth_) * 0.5f;
    const float y = static_cast<float>(fullHeight_) * 0.5f - ((static_cast<float>(row) + rowOffset) * stride + 0.5f);
    const VECTOR v(x, y, zPlane_, 1.0f);
    const VECTOR d = v / ORVA_MATH::Length(v);
    const Ray ray(VECTOR(0.0f, 0.0f, 0.0f, 1.0f), VECTOR(d.x, -d.y, -d.z, 1.0f));
    return CarryRay(ray, cameraToWorld_);
}

Ray ScreenTracer::PixelRay(int p) const {
    // y and z turned so that row 0 looks at the bottom of the scene.
    Ray ray = rays_[p];
    const VECTOR d = ray.direction;
    ray.direction = VECTOR(d.x, -d.y, -d.z, d.w);
    return CarryRay(ray, cameraToWorld_);
}

void ScreenTracer::StorePixel(int p, const VECTOR& colour) {
    // Red in x, blue in y, green in z; bytes in memory order red, green, blue, fourth.
    const std::uint32_t word = PixelWord(colour);
    buffers_[0][p] = word;  // tiles are disjoint: one writer per pixel
    sums_[p] = colour;      // the first sample of the settling picture
    std::uint8_t bytes[4];
    std::memcpy(bytes, &word, sizeof bytes);
    luminance_[p] = Luminance(bytes);
}

void ScreenTracer::ShowPixel(int p, const VECTOR& colour) { buffers_[0][p] = PixelWord(colour); }

namespace {

// PixelWord in four lanes: c (red, blue, green, w) * 255 limited to [0, 255] (NaN to 0, as
// _mm_max_ps gives its second operand then), truncated, lanes turned to red, green, blue, w.
inline __m128i PixelLanes(__m128 c) {
    const __m128 scale = _mm_set1_ps(255.0f);
    const __m128i v = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(_mm_mul_ps(c, scale), _mm_setzero_ps()), scale));
    return _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0));
}

}  // namespace

void ScreenTracer::ShowCell(const VECTOR& a, const VECTOR& b, const VECTOR& c, const VECTOR& d, int rowBelow,
                            int colLeft, int rowStart, int colStart, int rowEnd, int colEnd) {
    // Four pixels a store: their lanes packed to bytes in memory order (the buffer's words are
    // little-endian), w's byte set to 255. A cell of a lattice frame holds one exact pixel, its
    // corner, whose interpolated colour is its own; its word is put back all the same, so that
    // the traced bytes stay whatever the rounding.
    const int corner = rowBelow * width_ + colLeft;
    const bool cornerInside = rowBelow >= rowStart && rowBelow < rowEnd && colLeft >= colStart && colLeft < colEnd;
    const std::uint32_t cornerWord = cornerInside ? buffers_[0][corner] : 0u;
    const __m128 inverseK = _mm_set1_ps(1.0f / static_cast<float>(step_));
    const __m128 va = _mm_load_ps(&a.x), vb = _mm_load_ps(&b.x), vc = _mm_load_ps(&c.x), vd = _mm_load_ps(&d.x);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const int count = colEnd - colStart;
    for (int r = rowStart; r < rowEnd; ++r) {
        const __m128 fy = _mm_mul_ps(_mm_set1_ps(static_cast<float>(r - rowBelow)), inverseK);
        const __m128 left = _mm_add_ps(va, _mm_mul_ps(_mm_sub_ps(vc, va), fy));
        const __m128 right = _mm_add_ps(vb, _mm_mul_ps(_mm_sub_ps(vd, vb), fy));
        const __m128 step = _mm_mul_ps(_mm_sub_ps(right, left), inverseK);
        const __m128 first = _mm_add_ps(left, _mm_mul_ps(step, _mm_set1_ps(static_cast<float>(colStart - colLeft))));
        std::uint32_t* const words = buffers_[0] + r * width_ + colStart;
        int i = 0;
        for (; i + 4 <= count; i += 4) {
            const __m128 c0 = _mm_add_ps(first, _mm_mul_ps(step, _mm_set1_ps(static_cast<float>(i))));
            const __m128 c1 = _mm_add_ps(c0, step), c2 = _mm_add_ps(c1, step), c3 = _mm_add_ps(c2, step);
            const __m128i low = _mm_packs_epi32(PixelLanes(c0), PixelLanes(c1));
            const __m128i high = _mm_packs_epi32(PixelLanes(c2), PixelLanes(c3));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(words + i), _mm_or_si128(_mm_packus_epi16(low, high), alpha));
        }
        for (; i < count; ++i) {
            const __m128i v = PixelLanes(_mm_add_ps(first, _mm_mul_ps(step, _mm_set1_ps(static_cast<float>(i)))));
            const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(v, v), _mm_setzero_si128());
            words[i] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(packed)) | 0xFF000000u;
        }
    }
    if (cornerInside) buffers_[0][corner] = cornerWord;
}

void ScreenTracer::FullTraceRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    for (int r = rowStart; r < rowEnd; ++r)
        for (int c = colStart; c < colEnd; ++c) {
            RayHit hit;
            StorePixel(r * width_ + c, Shade(PixelRay(r * width_ + c), hit, 1, *scene_));
        }
}

void ScreenTracer::SmoothRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    // A pixel that stands out from both of its horizontal or both of its vertical neighbours (a
    // one-pixel detail: a thin edge or a minified texture seen in the mirror bounce) becomes the
    // average of nine rays on a 3 x 3 lattice from edge to edge of the pixel (its own ray in the
    // middle, the others half a pixel away: one packet of eight). Decided on the one-ray
    // luminance of the whole frame, which nobody writes during this pass, so the result is the
    // same for any tiling.
    std::uint32_t* const buffer = buffers_[0];
    const float* const lum = luminance_;
    const int w = width_;
    for (int r = std::max(rowStart, 1); r < std::min(rowEnd, height_ - 1); ++r) {
        for (int c = std::max(colStart, 1); c < std::min(colEnd, width_ - 1); ++c) {
            const int p = r * w + c;
            const float l = lum[p];
            if (!StandsOut(l, lum[p - 1], lum[p + 1]) && !StandsOut(l, lum[p - w], lum[p + w])) continue;
            Ray rays[8];
            int n = 0;
            for (const float dr : {-0.5f, 0.0f, 0.5f})
                for (const float dc : {-0.5f, 0.0f, 0.5f})
                    if (dr != 0.0f || dc != 0.0f) rays[n++] = ScreenRay(r, static_cast<float>(c) + dc, dr);
            VECTOR colours[8];
            for (int i = 0; i < 8; ++i) {
                RayHit hit;
                colours[i] = Shade(rays[i], hit, 1, *scene_);
            }
            // The nine colours averaged in floats (the centre's is the first ray's, kept in the
            // sums), and the average is the pixel's first sample.
            VECTOR sum = sums_[p];
            for (int i = 0; i < 8; ++i) sum += colours[i];
            const VECTOR average = sum * (1.0f / 9.0f);
            sums_[p] = average;
            buffer[p] = PixelWord(average);
        }
    }
}

namespace {

inline std::uint32_t DepthApart(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : b - a; }

// The value of the nearer in depth of two traced pixels (depths da, db; values va, vb) to a
// pixel of depth own; the first on a tie.
inline std::uint8_t Nearer(std::uint32_t own, std::uint32_t da, std::uint8_t va, std::uint32_t db, std::uint8_t vb) {
    return DepthApart(db, own) < DepthApart(da, own) ? vb : va;
}

}  // namespace

void ScreenTracer::UpsampleRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    // The coarse mask's pixel (r, c) is the window's (2r, 2c). Window pixels go by 2 x 2 quads
    // (tiles start at even rows and columns): (2r, 2c) is traced; (2r, 2c + 1) has two traced
    // neighbours, left and right, and (2r + 1, 2c) two, below and above; (2r + 1, 2c + 1) the
    // four round it. The one whose depth word is nearest the pixel's own wins, the first on a
    // tie; past the last row or column the neighbour is the last one again.
    const ScreenTracer& coarse = *coarse_;
    const int cw = coarse.width_, ch = coarse.height_, w = width_;
    const std::uint8_t* const bytes = coarse.maskBytes_;
    const std::uint32_t* const depth = upsampleDepth_;
    for (int y = rowStart; y < rowEnd; y += 2) {
        const int r = y >> 1, rAbove = std::min(r + 1, ch - 1);
        const bool odd = y + 1 < rowEnd;
        const std::uint8_t *const below = bytes + r * cw, *const above = bytes + rAbove * cw;
        std::uint8_t *const out0 = maskBytes_ + y * w, *const out1 = out0 + w;
        if (depth == nullptr) {
            // Without the depth: the traced pixel at or below left.
            for (int x = colStart; x < colEnd; ++x) {
                out0[x] = below[x >> 1];
                if (odd) out1[x] = below[x >> 1];
            }
            continue;
        }
        const std::uint32_t *const d0 = depth + y * w, *const d1 = d0 + w, *const d2 = depth + 2 * rAbove * w;
        const auto quad = [&](int x) {
            const int c = x >> 1, cRight = std::min(c + 1, cw - 1), xRight = 2 * cRight;
            const std::uint8_t v00 = below[c], v01 = below[cRight], v10 = above[c], v11 = above[cRight];
            const bool right = x + 1 < colEnd;
            if (v00 == v01 && v00 == v10 && v00 == v11) {
                // Wholly lit or shadowed round the quad: no depth to read.
                out0[x] = v00;
                if (right) out0[x + 1] = v00;
                if (odd) {
                    out1[x] = v00;
                    if (right) out1[x + 1] = v00;
                }
                return;
            }
            const std::uint32_t e00 = d0[x], e01 = d0[xRight], e10 = d2[x], e11 = d2[xRight];
            out0[x] = v00;
            if (right) out0[x + 1] = Nearer(d0[x + 1], e00, v00, e01, v01);
            if (!odd) return;
            out1[x] = Nearer(d1[x], e00, v00, e10, v10);
            if (right) {
                const std::uint32_t own = d1[x + 1];
                const std::uint32_t a = DepthApart(e00, own), b = DepthApart(e01, own);
                const std::uint32_t c2 = DepthApart(e10, own), d = DepthApart(e11, own);
                std::uint32_t best = a;
                std::uint8_t value = v00;
                if (b < best) best = b, value = v01;
                if (c2 < best) best = c2, value = v10;
                if (d < best) value = v11;
                out1[x + 1] = value;
            }
            // A pixel of a sliver that no traced neighbour lies on (its nearest differs from it
            // in view distance by more than 5%) is traced itself, so that no speck of another
            // surface's shadow lands on it.
            const auto traceSliver = [&](int row, int column, std::uint8_t& out, std::uint32_t nearest) {
                const std::uint32_t word = depth[row * w + column];
                const float t = ViewDistance(word), tNearest = ViewDistance(nearest);
                if (std::fabs(t - tNearest) > 0.05f * t) out = MaskPixel(row * w + column) == kLit ? 255 : 0;
            };
            const auto nearest = [&](std::uint32_t word, int candidates) {
                const std::uint32_t e[4] = {e00, e01, e10, e11};
                std::uint32_t best = e[0];
                for (int i = 1; i < 4; ++i)
                    if ((candidates >> i & 1) && DepthApart(e[i], word) < DepthApart(best, word)) best = e[i];
                return best;
            };
            if (right) traceSliver(y, x + 1, out0[x + 1], nearest(d0[x + 1], 0b0011));
            traceSliver(y + 1, x, out1[x], nearest(d1[x], 0b0101));
            if (right) traceSliver(y + 1, x + 1, out1[x + 1], nearest(d1[x + 1], 0b1111));
        };
        int x = colStart;
        if (odd) {
            // Sixteen quads at a time while each has its right neighbours inside both the
            // rectangle and the coarse mask: every value doubled into both rows, then the
            // quads whose four traced neighbours differ done again one by one.
            for (; x + 32 <= colEnd && (x >> 1) + 16 < cw; x += 32) {
                const int c = x >> 1;
                const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + c));
                const __m128i bRight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + c + 1));
                const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + c));
                const __m128i aRight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(above + c + 1));
                const __m128i lo = _mm_unpacklo_epi8(b, b), hi = _mm_unpackhi_epi8(b, b);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + x), lo);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out0 + x + 16), hi);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + x), lo);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + x + 16), hi);
                const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(b, bRight),
                                                   _mm_and_si128(_mm_cmpeq_epi8(b, a), _mm_cmpeq_epi8(b, aRight)));
                unsigned differ = ~static_cast<unsigned>(_mm_movemask_epi8(same)) & 0xFFFFu;
                while (differ != 0) {
                    quad(x + 2 * __builtin_ctz(differ));
                    differ &= differ - 1;
                }
            }
        }
        for (; x < colEnd; x += 2) quad(x);
    }
}

float ScreenTracer::AccumulateRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    // Pass n adds the n + 1st sample; the mean moves from sum / n to (sum + sample) / (n + 1).
    const auto n = static_cast<std::uint32_t>(samples_);
    const float before = 1.0f / static_cast<float>(n), after = 1.0f / static_cast<float>(n + 1);
    float change = 0.0f;
    for (int r = rowStart; r < rowEnd; ++r)
        for (int c = colStart; c < colEnd; ++c) {
            const int p = r * width_ + c;
            const PixelSample sample = SampleOf(static_cast<std::uint32_t>(p), n);
            if (lastFull_) {
                // A ray through the sample's point of the pixel, shadow rays to its point of
                // each light.
                RayHit hit;
                const VECTOR colour =
                    Shade(ScreenRay(r, static_cast<float>(c) + sample.x - 0.5f, sample.y - 0.5f), hit, 1, *scene_, &sample);
                const VECTOR old = sums_[p];
                const VECTOR sum = old + colour;
                sums_[p] = sum;
                const VECTOR mean = sum * after;
                buffers_[0][p] = PixelWord(mean);
                const VECTOR was = old * before;
                change = std::max({change, std::fabs(Shown(mean.x) - Shown(was.x)),
                                   std::fabs(Shown(mean.y) - Shown(was.y)), std::fabs(Shown(mean.z) - Shown(was.z))});
            } else {
                // The same visible point (pixel centre) toward the sample's point of light 0.
                // The first sample is the frame's mask byte (lit 255, shadow 0).
                const float value = MaskPixel(p, &sample) == kLit ? 1.0f : 0.0f;
                const float old = n == 1 ? (maskBytes_[p] != 0 ? 1.0f : 0.0f) : sums_[p].x;
                const float sum = old + value;
                sums_[p].x = sum;
                const float mean = sum * after;
                maskBytes_[p] = static_cast<std::uint8_t>(mean * 255.0f + 0.5f);
                change = std::max(change, std::fabs(mean - old * before));
            }
        }
    return change * 255.0f;
}

}  // namespace RAYTR
