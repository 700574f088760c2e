// The traced image within a frame budget: a lattice of every k-th pixel each way traced, the
// other pixels reconstructed from it where the lattice says one surface lies around them
// (edge-aware interpolation as in the geometry-aware upsampling of real-time renderers, e.g.
// joint bilateral upsampling, Kopf et al. 2007, with the primary surface as the guide), and
// the missing pixels filled in, phase by phase, once the view holds still.
//
// Every value a tile writes depends only on the scene and on the pixels of the lattice (traced
// in an earlier pass) or of its own, so the picture is the same for any thread count.

#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "errors/errors.h"
#include "raytracer/pixel_words.h"
#include "raytracer/scene.h"
#include "raytracer/screen_camera.h"
#include "raytracer/shading.h"
#include "raytracer/traced_picture.h"

namespace RAYTR {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Two primary surfaces are one where their normals differ by less than about 37 degrees and
// the chord between their points lies within about 14.5 degrees of both tangent planes (sin =
// 0.25): true of neighbouring points of one smooth surface seen at any angle, false across a
// crease, and across a depth jump of one object passing in front of itself.
constexpr float kNormalAgreement = 0.8f;
constexpr float kChordSine2 = 0.0625f;

float Dot3(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

bool OneSurface(const TracedPicture::PrimarySurface& a, const TracedPicture::PrimarySurface& b) {
    if (a.object != b.object) return false;
    if (a.object == 0) return true;  // both see past the models
    if (Dot3(a.normal, b.normal) < kNormalAgreement) return false;
    const float d[3] = {b.point[0] - a.point[0], b.point[1] - a.point[1], b.point[2] - a.point[2]};
    const float chord2 = Dot3(d, d);
    const float da = Dot3(a.normal, d), db = Dot3(b.normal, d);
    return da * da <= kChordSine2 * chord2 && db * db <= kChordSine2 * chord2;
}

// The lattice line (row or column) at or before x of the lattice with offset o and step k; may
// lie before the window's first pixel.
int LineAtOrBefore(int x, int o, int k) { return x - (((x - o) % k) + k) % k; }

// The first lattice line at or after x.
int LineAtOrAfter(int x, int o, int k) {
    const int line = LineAtOrBefore(x, o, k);
    return line < x ? line + k : line;
}

// PixelWord in four lanes: c (red, blue, green, w) * 255 limited to [0, 255] (NaN to 0, as
// _mm_max_ps gives its second operand then), truncated, lanes turned to red, green, blue, w.
inline __m128i PixelLanes(__m128 c) {
    const __m128 scale = _mm_set1_ps(255.0f);
    const __m128i v = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(_mm_mul_ps(c, scale), _mm_setzero_ps()), scale));
    return _mm_shuffle_epi32(v, _MM_SHUFFLE(3, 1, 2, 0));
}

}  // namespace

TracedPicture::PrimarySurface TracedPicture::PrimarySurfaceOf(const RayHit& hit, bool found) {
    PrimarySurface s;
    if (!found) return s;  // the ray leaves the models: object 0
    s.object = reinterpret_cast<std::uintptr_t>(hit.transform);
    if (s.object == 0) s.object = 1;  // an object without a transform is still an object
    s.point[0] = hit.point.x, s.point[1] = hit.point.y, s.point[2] = hit.point.z;
    const VECTOR n = InterpolatedNormal(hit);
    const float length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    const float inverse = length > 0.0f ? 1.0f / length : 0.0f;
    s.normal[0] = n.x * inverse, s.normal[1] = n.y * inverse, s.normal[2] = n.z * inverse;
    return s;
}

int TracedPicture::PhaseOf(int step, int row, int column) {
    // Phase i has the offset (i mod k, (i / k + i mod k) mod k): the first k phases run along
    // the diagonal, so that consecutive frames spread their samples.
    const int a = ((row % step) + step) % step;
    const int b = (((column - a) % step) + step) % step;
    return b * step + a;
}

void TracedPicture::PhaseOffset(int step, int phase, int& row, int& column) {
    row = phase % step;
    column = (phase / step + phase % step) % step;
}

TracedPicture::PrimarySurface* TracedPicture::SurfaceAt(int row, int column) const {
    if (row < 0 || row >= height_ || column < 0 || column >= width_) return nullptr;
    return &surfaces_[static_cast<std::size_t>((row - offsetRow_) / step_) * latticeCols_ + (column - offsetCol_) / step_];
}

void TracedPicture::Lattice(const Scene& scene, int step, int phase, bool smooth) {
    step = std::min(step, kMaxLatticeStep);
    if (step <= 1) {
        Full(scene, smooth);
        return;
    }
    Begin(scene);
    smooth_ = smooth;
    step_ = step;
    phase_ = ((phase % (step * step)) + step * step) % (step * step);
    PhaseOffset(step_, phase_, offsetRow_, offsetCol_);
    latticeCols_ = (width_ - offsetCol_ + step_ - 1) / step_;
    phasesLeft_ = step * step - 1;
    // The lattice (and its surfaces) first: the reconstruction reads it across tiles.
    const auto start = std::chrono::steady_clock::now();
    passes_.Run(passes_.Window(), this, &TracedPicture::LatticeTile);
    lastTracingSeconds_ = SecondsSince(start);
    const std::int64_t traced = passes_.Window().TracedPixels();
    passes_.Run(passes_.Window(), this, &TracedPicture::ReconstructTile);
    lastTraced_ = traced + passes_.Window().TracedPixels();
}

std::int64_t TracedPicture::FillIn(int phases) {
    lastTraced_ = 0;
    lastTracingSeconds_ = 0.0;
    if (Complete() || samples_ == 0 || phases <= 0) return 0;
    const int last = step_ * step_ - 1;
    fillTo_ = std::min(filled_ + phases, last);
    const auto start = std::chrono::steady_clock::now();
    passes_.Run(passes_.Window(), this, &TracedPicture::FillTile);
    const std::int64_t traced = passes_.Window().TracedPixels();
    filled_ = fillTo_;
    phasesLeft_ = last - filled_;
    // Every pixel traced: the smoothing of a full frame, decided on the whole frame as there.
    if (phasesLeft_ == 0 && smooth_) Smooth();
    lastTracingSeconds_ = SecondsSince(start);
    lastTraced_ = traced;
    return traced;
}

void TracedPicture::LatticeTile(ScreenTile& tile, int) {
    const int k = step_;
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        std::fill(state_.get() + r * width_ + tile.colStart, state_.get() + r * width_ + tile.colEnd, std::uint8_t{0});
    std::int64_t traced = 0;
    for (int r = LineAtOrAfter(tile.rowStart, offsetRow_, k); r < tile.rowEnd; r += k)
        for (int c = LineAtOrAfter(tile.colStart, offsetCol_, k); c < tile.colEnd; c += k) {
            // The pixel as a full frame shades it; its primary hit (null object on a miss) is
            // the surface the reconstruction compares.
            RayHit hit;
            TraceExact(r * width_ + c, hit);
            *SurfaceAt(r, c) = PrimarySurfaceOf(hit, hit.object != nullptr);
            ++traced;
        }
    tile.traced = traced;
}

void TracedPicture::ReconstructTile(ScreenTile& tile, int) {
    // Cell by cell of the lattice: the corners' agreement is decided once per cell.
    const int k = step_;
    std::int64_t traced = 0;
    for (int rb = LineAtOrBefore(tile.rowStart, offsetRow_, k); rb < tile.rowEnd; rb += k)
        for (int cb = LineAtOrBefore(tile.colStart, offsetCol_, k); cb < tile.colEnd; cb += k)
            traced += ReconstructCell(rb, cb, std::max(rb, tile.rowStart), std::max(cb, tile.colStart),
                                      std::min(rb + k, tile.rowEnd), std::min(cb + k, tile.colEnd));
    tile.traced = traced;
}

std::int64_t TracedPicture::ReconstructCell(int rowBelow, int colLeft, int rowStart, int colStart, int rowEnd, int colEnd) {
    const int k = step_;
    // Corners (below left, below right, above left, above right); those outside the window
    // take no part.
    int corner[4];
    const PrimarySurface* surface[4];
    bool inside[4];
    for (int i = 0; i < 4; ++i) {
        const int r = rowBelow + (i / 2) * k, c = colLeft + (i % 2) * k;
        surface[i] = SurfaceAt(r, c);
        inside[i] = surface[i] != nullptr;
        corner[i] = inside[i] ? r * width_ + c : 0;
    }
    // Only where the lattice shows one surface all round is it trusted blindly.
    bool agree = true;
    for (int a = 0; a < 4 && agree; ++a)
        for (int b = a + 1; b < 4 && agree; ++b)
            if (inside[a] && inside[b]) agree = OneSurface(*surface[a], *surface[b]);
    const float inverseK = 1.0f / static_cast<float>(k);
    const bool all = inside[0] && inside[1] && inside[2] && inside[3];
    if (agree && all) {
        // One surface, all four corners in the window: bilinear.
        ShowCell(sums_[corner[0]], sums_[corner[1]], sums_[corner[2]], sums_[corner[3]], rowBelow, colLeft, rowStart,
                 colStart, rowEnd, colEnd);
        return 0;
    }
    // An edge runs through the cell: each pixel may take only from the corners on its own
    // surface. Which those are (a 4-bit class) is found on the cell's points by subdivision,
    // as the mask refines its blocks: a square whose corners have one class gives it to the
    // points inside; else its edge midpoints and centre are found with primary rays and its
    // quarters refined. So an edge costs rays along its length, not over the cell's area.
    std::uint8_t classes[(kMaxLatticeStep + 1) * (kMaxLatticeStep + 1)];
    if (all) ClassifyCell(rowBelow, colLeft, surface, classes);
    std::int64_t traced = 0;
    for (int r = rowStart; r < rowEnd; ++r) {
        const float fy = static_cast<float>(r - rowBelow) * inverseK;
        for (int c = colStart; c < colEnd; ++c) {
            const int p = r * width_ + c;
            if (state_[p] != 0) continue;
            const float fx = static_cast<float>(c - colLeft) * inverseK;
            float weight[4] = {(1.0f - fy) * (1.0f - fx), (1.0f - fy) * fx, fy * (1.0f - fx), fy * fx};
            for (int i = 0; i < 4; ++i)
                if (!inside[i]) weight[i] = 0.0f;
            if (all) {
                const unsigned cls = classes[(r - rowBelow) * (k + 1) + (c - colLeft)];
                for (int i = 0; i < 4; ++i)
                    if (!(cls >> i & 1u)) weight[i] = 0.0f;
            } else if (!agree) {
                // At the window's edge: the pixel's own surface decides.
                RayHit hit;
                const PrimarySurface own = PrimarySurfaceOf(hit, ClosestHit(camera_.PixelRay(r, c), *scene_, hit));
                for (int i = 0; i < 4; ++i)
                    if (weight[i] > 0.0f && !OneSurface(own, *surface[i])) weight[i] = 0.0f;
            }
            VECTOR colour(0.0f, 0.0f, 0.0f, 0.0f);
            float total = 0.0f;
            for (int i = 0; i < 4; ++i)
                if (weight[i] > 0.0f) {
                    colour += sums_[corner[i]] * weight[i];
                    total += weight[i];
                }
            if (total > 0.0f) {
                ShowPixel(p, colour * (1.0f / total));
            } else {
                // No corner on its surface (or none in the window): the pixel is traced.
                RayHit hit;
                TraceExact(p, hit);
                ++traced;
            }
        }
    }
    return traced;
}

void TracedPicture::ClassifyCell(int rowBelow, int colLeft, const PrimarySurface* const surfaces[4], std::uint8_t* classes) const {
    constexpr std::uint8_t kUnknown = 0xFF;
    const int k = step_, side = k + 1;
    std::fill(classes, classes + side * side, kUnknown);
    // The class of a surface: the corners on it.
    const auto classOf = [&](const PrimarySurface& s) {
        unsigned bits = 0;
        for (int i = 0; i < 4; ++i)
            if (OneSurface(s, *surfaces[i])) bits |= 1u << i;
        return static_cast<std::uint8_t>(bits);
    };
    for (int i = 0; i < 4; ++i) classes[(i / 2) * k * side + (i % 2) * k] = classOf(*surfaces[i]);
    const auto at = [&](int i, int j) -> std::uint8_t {
        std::uint8_t& c = classes[i * side + j];
        if (c == kUnknown) {
            RayHit hit;
            c = classOf(PrimarySurfaceOf(hit, ClosestHit(camera_.PixelRay(rowBelow + i, colLeft + j), *scene_, hit)));
        }
        return c;
    };
    // Rectangles of points [i, i + h] x [j, j + w], refined in a fixed order.
    const auto refine = [&](auto&& self, int i, int j, int h, int w) -> void {
        const std::uint8_t a = at(i, j), b = at(i, j + w), c = at(i + h, j), d = at(i + h, j + w);
        if (a == b && a == c && a == d) {
            for (int y = i; y <= i + h; ++y)
                for (int x = j; x <= j + w; ++x)
                    if (classes[y * side + x] == kUnknown) classes[y * side + x] = a;
            return;
        }
        if (h <= 1 && w <= 1) return;  // every point is a corner
        const int hh = h >= 2 ? h / 2 : h, wh = w >= 2 ? w / 2 : w;
        self(self, i, j, hh, wh);
        if (wh < w) self(self, i, j + wh, hh, w - wh);
        if (hh < h) self(self, i + hh, j, h - hh, wh);
        if (hh < h && wh < w) self(self, i + hh, j + wh, h - hh, w - wh);
    };
    refine(refine, 0, 0, k, k);
}

void TracedPicture::FillTile(ScreenTile& tile, int) {
    // Fill order: the phases after the lattice's own, positions filled_ + 1 to fillTo_, each a
    // lattice of its own offset.
    const int k = step_, phases = k * k;
    std::int64_t traced = 0;
    for (int position = filled_ + 1; position <= fillTo_; ++position) {
        int offsetRow = 0, offsetCol = 0;
        PhaseOffset(k, (phase_ + position) % phases, offsetRow, offsetCol);
        for (int r = LineAtOrAfter(tile.rowStart, offsetRow, k); r < tile.rowEnd; r += k)
            for (int c = LineAtOrAfter(tile.colStart, offsetCol, k); c < tile.colEnd; c += k) {
                const int p = r * width_ + c;
                if (state_[p] != 0) continue;
                RayHit hit;
                TraceExact(p, hit);
                ++traced;
            }
    }
    tile.traced = traced;
}

void TracedPicture::ShowCell(const VECTOR& a, const VECTOR& b, const VECTOR& c, const VECTOR& d, int rowBelow,
                             int colLeft, int rowStart, int colStart, int rowEnd, int colEnd) {
    // Four pixels a store: their lanes packed to bytes in memory order (the words are
    // little-endian), w's byte set to 255. A cell of a lattice frame holds one exact pixel, its
    // corner, whose interpolated colour is its own; its word is put back all the same, so that
    // the traced bytes stay whatever the rounding.
    const int corner = rowBelow * width_ + colLeft;
    const bool cornerInside = rowBelow >= rowStart && rowBelow < rowEnd && colLeft >= colStart && colLeft < colEnd;
    const std::uint32_t cornerWord = cornerInside ? words_[corner] : 0u;
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
        std::uint32_t* const words = words_.get() + r * width_ + colStart;
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
    if (cornerInside) words_[corner] = cornerWord;
}

}  // namespace RAYTR
