// The traced image within a frame budget: a lattice of every k-th pixel each way traced, the
// other pixels reconstructed from it where the lattice says one surface lies around them
// (edge-aware interpolation as in the geometry-aware upsampling of real-time renderers, e.g.
// joint bilateral upsampling, Kopf et al. 2007, with the primary surface as the guide), and
// the missing pixels filled in, phase by phase, once the view holds still.
//
// Every value a tile writes depends only on the scene and on the pixels of the lattice (traced
// in an earlier pass) or of its own, so the picture is the same for any thread count.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "errors/errors.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"

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

}  // namespace

ScreenTracer::Surface ScreenTracer::SurfaceOf(const RayHit& hit, bool found) {
    Surface s;
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

namespace {

bool OneSurface(const ScreenTracer::Surface& a, const ScreenTracer::Surface& b) {
    if (a.object != b.object) return false;
    if (a.object == 0) return true;  // both see past the models
    if (Dot3(a.normal, b.normal) < kNormalAgreement) return false;
    const float d[3] = {b.point[0] - a.point[0], b.point[1] - a.point[1], b.point[2] - a.point[2]};
    const float chord2 = Dot3(d, d);
    const float da = Dot3(a.normal, d), db = Dot3(b.normal, d);
    return da * da <= kChordSine2 * chord2 && db * db <= kChordSine2 * chord2;
}

}  // namespace

int ScreenTracer::PhaseOf(int step, int row, int column) {
    // Phase i has the offset (i mod k, (i / k + i mod k) mod k): the first k phases run along
    // the diagonal, so that consecutive frames spread their samples.
    const int a = ((row % step) + step) % step;
    const int b = (((column - a) % step) + step) % step;
    return b * step + a;
}

void ScreenTracer::PhaseOffset(int step, int phase, int& row, int& column) {
    row = phase % step;
    column = (phase / step + phase % step) % step;
}

void ScreenTracer::TraceExact(int p) {
    RayHit hit;
    StorePixel(p, Shade(PixelRay(p), hit, 1, *scene_));
    exact_[p] = 1;
}

std::uint32_t* ScreenTracer::TraceLatticeFrame(int step, int phase) {
    if (scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no scene to trace");
    step = std::min(step, kMaxLatticeStep);
    if (step <= 1) return TraceFullFrame();
    fullMode_ = true;
    depth_ = nullptr;
    depthWords_ = nullptr;
    try {
        BeginPicture();
    } catch (...) {
        fullMode_ = false;
        throw;
    }
    fullMode_ = false;
    step_ = step;
    phase_ = ((phase % (step * step)) + step * step) % (step * step);
    filled_ = 0;
    phasesLeft_ = step * step - 1;
    // The lattice (and its surfaces) first: the reconstruction reads it across tiles.
    const auto start = std::chrono::steady_clock::now();
    RunPass(Pass::Samples);
    lastTracingSeconds_ = SecondsSince(start);
    std::int64_t traced = 0;
    for (const ScreenTile& t : tiles_) traced += t.traced;
    RunPass(Pass::Reconstruct);
    for (const ScreenTile& t : tiles_) traced += t.traced;
    lastTraced_ = traced;
    return buffers_[0];
}

std::int64_t ScreenTracer::FillIn(int phases) {
    lastTraced_ = 0;
    lastTracingSeconds_ = 0.0;
    if (Complete() || phases <= 0) return 0;
    const int last = step_ * step_ - 1;
    fillTo_ = std::min(filled_ + phases, last);
    const auto start = std::chrono::steady_clock::now();
    RunPass(Pass::Fill);
    std::int64_t traced = 0;
    for (const ScreenTile& t : tiles_) traced += t.traced;
    filled_ = fillTo_;
    phasesLeft_ = last - filled_;
    // Every pixel traced: the smoothing of a full trace, decided on the whole frame as there.
    if (phasesLeft_ == 0 && smoothTracedImage) RunPass(Pass::Smooth);
    lastTracingSeconds_ = SecondsSince(start);
    lastTraced_ = traced;
    return traced;
}

namespace {

// The lattice line (row or column) at or before x of the lattice with offset o and step k; may
// lie before the window's first pixel.
int LineAtOrBefore(int x, int o, int k) { return x - (((x - o) % k) + k) % k; }

}  // namespace

std::int64_t ScreenTracer::LatticeRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    const int k = step_;
    int offsetRow = 0, offsetCol = 0;
    PhaseOffset(k, phase_, offsetRow, offsetCol);
    for (int r = rowStart; r < rowEnd; ++r) std::fill(exact_ + r * width_ + colStart, exact_ + r * width_ + colEnd, std::uint8_t{0});
    std::int64_t traced = 0;
    const int firstRow = LineAtOrBefore(rowStart, offsetRow, k), firstCol = LineAtOrBefore(colStart, offsetCol, k);
    for (int r = firstRow < rowStart ? firstRow + k : firstRow; r < rowEnd; r += k)
        for (int c = firstCol < colStart ? firstCol + k : firstCol; c < colEnd; c += k) {
            // The pixel as a full trace shades it; its primary hit (left in hit by the
            // shading, null object on a miss) is the surface the reconstruction compares.
            const int p = r * width_ + c;
            RayHit hit;
            StorePixel(p, Shade(PixelRay(p), hit, 1, *scene_));
            exact_[p] = 1;
            surfaces_[p] = SurfaceOf(hit, hit.object != nullptr);
            ++traced;
        }
    return traced;
}

std::int64_t ScreenTracer::ReconstructRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    // Cell by cell of the lattice: the corners' agreement is decided once per cell.
    const int k = step_;
    int offsetRow = 0, offsetCol = 0;
    PhaseOffset(k, phase_, offsetRow, offsetCol);
    std::int64_t traced = 0;
    for (int rb = LineAtOrBefore(rowStart, offsetRow, k); rb < rowEnd; rb += k)
        for (int cb = LineAtOrBefore(colStart, offsetCol, k); cb < colEnd; cb += k)
            traced += ReconstructCell(rb, cb, std::max(rb, rowStart), std::max(cb, colStart), std::min(rb + k, rowEnd),
                                      std::min(cb + k, colEnd));
    return traced;
}

std::int64_t ScreenTracer::ReconstructCell(int rowBelow, int colLeft, int rowStart, int colStart, int rowEnd, int colEnd) {
    const int k = step_;
    // Corners (below left, below right, above left, above right); those outside the window
    // take no part.
    int corner[4];
    bool inside[4];
    for (int i = 0; i < 4; ++i) {
        const int r = rowBelow + (i / 2) * k, c = colLeft + (i % 2) * k;
        inside[i] = r >= 0 && r < height_ && c >= 0 && c < width_;
        corner[i] = inside[i] ? r * width_ + c : 0;
    }
    // Only where the lattice shows one surface all round is it trusted blindly.
    bool agree = true;
    for (int a = 0; a < 4 && agree; ++a)
        for (int b = a + 1; b < 4 && agree; ++b)
            if (inside[a] && inside[b]) agree = OneSurface(surfaces_[corner[a]], surfaces_[corner[b]]);
    const float inverseK = 1.0f / static_cast<float>(k);
    if (agree && inside[0] && inside[1] && inside[2] && inside[3]) {
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
    const bool refine = inside[0] && inside[1] && inside[2] && inside[3];
    if (refine) ClassifyCell(rowBelow, colLeft, corner, classes);
    std::int64_t traced = 0;
    for (int r = rowStart; r < rowEnd; ++r) {
        const float fy = static_cast<float>(r - rowBelow) * inverseK;
        for (int c = colStart; c < colEnd; ++c) {
            const int p = r * width_ + c;
            if (exact_[p] != 0) continue;
            const float fx = static_cast<float>(c - colLeft) * inverseK;
            float weight[4] = {(1.0f - fy) * (1.0f - fx), (1.0f - fy) * fx, fy * (1.0f - fx), fy * fx};
            for (int i = 0; i < 4; ++i)
                if (!inside[i]) weight[i] = 0.0f;
            if (refine) {
                const unsigned cls = classes[(r - rowBelow) * (k + 1) + (c - colLeft)];
                for (int i = 0; i < 4; ++i)
                    if (!(cls >> i & 1u)) weight[i] = 0.0f;
            } else if (!agree) {
                // At the window's edge: the pixel's own surface decides.
                RayHit hit;
                const Surface own = SurfaceOf(hit, ClosestHit(PixelRay(p), *scene_, hit));
                for (int i = 0; i < 4; ++i)
                    if (weight[i] > 0.0f && !OneSurface(own, surfaces_[corner[i]])) weight[i] = 0.0f;
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
                TraceExact(p);
                ++traced;
            }
        }
    }
    return traced;
}

void ScreenTracer::ClassifyCell(int rowBelow, int colLeft, const int corner[4], std::uint8_t* classes) const {
    constexpr std::uint8_t kUnknown = 0xFF;
    const int k = step_, side = k + 1;
    std::fill(classes, classes + side * side, kUnknown);
    // The class of a surface: the corners on it.
    const auto classOf = [&](const Surface& s) {
        unsigned bits = 0;
        for (int i = 0; i < 4; ++i)
            if (OneSurface(s, surfaces_[corner[i]])) bits |= 1u << i;
        return static_cast<std::uint8_t>(bits);
    };
    for (int i = 0; i < 4; ++i) classes[(i / 2) * k * side + (i % 2) * k] = classOf(surfaces_[corner[i]]);
    const auto at = [&](int i, int j) -> std::uint8_t {
        std::uint8_t& c = classes[i * side + j];
        if (c == kUnknown) {
            RayHit hit;
            const int p = (rowBelow + i) * width_ + colLeft + j;
            c = classOf(SurfaceOf(hit, ClosestHit(PixelRay(p), *scene_, hit)));
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

std::int64_t ScreenTracer::FillRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    // Fill order: the phases after the lattice's own, positions filled_ + 1 to fillTo_, each a
    // lattice of its own offset.
    const int k = step_, phases = k * k;
    std::int64_t traced = 0;
    for (int position = filled_ + 1; position <= fillTo_; ++position) {
        int offsetRow = 0, offsetCol = 0;
        PhaseOffset(k, (phase_ + position) % phases, offsetRow, offsetCol);
        const int firstRow = LineAtOrBefore(rowStart, offsetRow, k), firstCol = LineAtOrBefore(colStart, offsetCol, k);
        for (int r = firstRow < rowStart ? firstRow + k : firstRow; r < rowEnd; r += k)
            for (int c = firstCol < colStart ? firstCol + k : firstCol; c < colEnd; c += k) {
                const int p = r * width_ + c;
                if (exact_[p] != 0) continue;
                TraceExact(p);
                ++traced;
            }
    }
    return traced;
}

}  // namespace RAYTR
