// The grid's ray kernels, written once over the lane width W (see grid/kernel.h). Included by
// one file per instruction set (grid/kernel_*.cpp), inside a namespace of its own, after
// defining REDOWL_KERNEL_WIDTH, REDOWL_KERNEL_NAME and REDOWL_KERNEL_TABLE. Only plain
// arithmetic and the SIMD layer are used here, so nothing compiled for a wide instruction set
// is shared with code that runs elsewhere.
//
// - Triangles: the watertight test of Woop, Benthin and Wald (JCGT 2013), one-sided (only rays
//   arriving from the side toward which (B - A) x (C - A) points can hit), with no tolerance on
//   the weights and no absolute threshold: a ray through an edge or a vertex shared by
//   triangles hits at least one of them, at any scale. Edge functions that come out exactly 0
//   are recomputed in double precision, as the paper does. A hit counts only when its t lies
//   beyond the bound of t's rounding error (M. Pharr, W. Jakob, G. Humphreys, "Physically Based
//   Rendering", 4th ed., 6.5.3), so a ray leaving a surface from an origin offset by the error
//   bound of the hit point (raytracer/offset.h) does not meet that surface again. W triangles
//   of a block are tested at once by the one-lane test's own operations in its order (no
//   fusing), and the nearest chosen among the lanes in SIMD (the smallest t, of equal ones the
//   lowest index); lanes whose edge functions need the double-precision recomputation are left
//   to the one-lane test. So all widths give the same answer bit for bit.
// - Cells: the 3D-DDA of Amanatides and Woo (1987) over exactly the cells the clipped ray
//   crosses (at an edge or a corner every touched cell), in the cell frame where cell i spans
//   [i, i + 1); macro cells of kMacroEdge^3 cells without triangles are passed in one step
//   (two-level grid after Kalojanov, Billeter and Slusallek, "Two-Level Grids for Ray Tracing
//   on GPUs", 2011), which changes no answer: those cells hold nothing to test.
// - Boxes: the triangle-box overlap test of Akenine-Moeller (JGT 2001) for W boxes at once.

#include "grid/kernel.h"
#include "grid/simd.h"

namespace REDOWL_KERNEL_NAMESPACE {

using namespace RAYTR;
using namespace RAYTR::simd;

constexpr int W = REDOWL_KERNEL_WIDTH;
using F = Lanes<W>;
using M = Mask<W>;

inline float MinF(float a, float b) { return a < b ? a : b; }
inline float MaxF(float a, float b) { return a > b ? a : b; }
inline float AbsF(float a) { return a < 0.0f ? -a : a; }
// n units of half the float epsilon, bounded: the rounding bound of n operations.
constexpr float Gamma(int n) {
    return static_cast<float>(n) * 5.9604645e-8f / (1.0f - static_cast<float>(n) * 5.9604645e-8f);
}

// ---- one triangle, one lane: the exact test -------------------------------------------------

// The triangle's corners relative to the origin, permuted (kx, ky, kz) and sheared.
struct Sheared {
    float ax, ay, az, bx, by, bz, cx, cy, cz;
    float spanX, spanY;  // the largest |x| + |sx z| and |y| + |sy z| before the shear: error scale
};

inline Sheared Shear(const RayPrep& r, const float a[3], const float b[3], const float c[3]) {
    Sheared s;
    const float az = a[r.kz] - r.origin[r.kz], bz = b[r.kz] - r.origin[r.kz], cz = c[r.kz] - r.origin[r.kz];
    s.ax = (a[r.kx] - r.origin[r.kx]) - r.sx * az;
    s.ay = (a[r.ky] - r.origin[r.ky]) - r.sy * az;
    s.bx = (b[r.kx] - r.origin[r.kx]) - r.sx * bz;
    s.by = (b[r.ky] - r.origin[r.ky]) - r.sy * bz;
    s.cx = (c[r.kx] - r.origin[r.kx]) - r.sx * cz;
    s.cy = (c[r.ky] - r.origin[r.ky]) - r.sy * cz;
    s.az = r.sz * az;
    s.bz = r.sz * bz;
    s.cz = r.sz * cz;
    const float zs[3] = {AbsF(az), AbsF(bz), AbsF(cz)};
    const float xs[3] = {AbsF(a[r.kx] - r.origin[r.kx]), AbsF(b[r.kx] - r.origin[r.kx]), AbsF(c[r.kx] - r.origin[r.kx])};
    const float ys[3] = {AbsF(a[r.ky] - r.origin[r.ky]), AbsF(b[r.ky] - r.origin[r.ky]), AbsF(c[r.ky] - r.origin[r.ky])};
    s.spanX = s.spanY = 0.0f;
    for (int k = 0; k < 3; ++k) {
        s.spanX = MaxF(s.spanX, xs[k] + AbsF(r.sx) * zs[k]);
        s.spanY = MaxF(s.spanY, ys[k] + AbsF(r.sy) * zs[k]);
    }
    return s;
}

// The exact one-sided test of one triangle: true for a hit with 0 < t < tMax beyond t's error
// bound; writes t and the weights then.
inline bool TestOne(const RayPrep& r, const float a[3], const float b[3], const float c[3], float tMax,
                    KernelHit& hit) {
    const Sheared s = Shear(r, a, b, c);
    float u = s.cx * s.by - s.cy * s.bx;
    float v = s.ax * s.cy - s.ay * s.cx;
    float w = s.bx * s.ay - s.by * s.ax;
    if (u == 0.0f || v == 0.0f || w == 0.0f) {
        // On an edge within single precision: the exact sign from double products.
        u = static_cast<float>(static_cast<double>(s.cx) * s.by - static_cast<double>(s.cy) * s.bx);
        v = static_cast<float>(static_cast<double>(s.ax) * s.cy - static_cast<double>(s.ay) * s.cx);
        w = static_cast<float>(static_cast<double>(s.bx) * s.ay - static_cast<double>(s.by) * s.ax);
    }
    if (!(u >= 0.0f && v >= 0.0f && w >= 0.0f)) return false;  // outside, back face, or NaN
    const float det = (u + v) + w;
    if (!(det > 0.0f)) return false;  // the ray runs in the triangle's plane
    const float T = (u * s.az + v * s.bz) + w * s.cz;
    const float t = T / det;
    if (!(t > 0.0f) || !(t < tMax)) return false;
    // t beyond the bound of its own rounding error (pbrt-v4's bound, with the errors of the
    // sheared x and y taken from their own terms, so that the bound holds in any units and
    // for a direction of any length).
    const float maxZ = MaxF(AbsF(s.az), MaxF(AbsF(s.bz), AbsF(s.cz)));
    const float maxX = MaxF(AbsF(s.ax), MaxF(AbsF(s.bx), AbsF(s.cx)));
    const float maxY = MaxF(AbsF(s.ay), MaxF(AbsF(s.by), AbsF(s.cy)));
    const float deltaZ = Gamma(3) * maxZ;
    const float deltaX = Gamma(3) * s.spanX, deltaY = Gamma(3) * s.spanY;
    const float deltaE = 2.0f * (Gamma(2) * maxX * maxY + deltaY * maxX + deltaX * maxY);
    const float maxE = MaxF(u, MaxF(v, w));
    const float deltaT = 3.0f * (Gamma(3) * maxE * maxZ + deltaE * maxZ + deltaZ * maxE) / det;
    if (!(t > deltaT)) return false;
    hit.t = t;
    hit.b0 = u / det;
    hit.b1 = v / det;
    hit.b2 = w / det;
    return true;
}

// Lane `lane` of a block through the exact test.
inline bool TestLane(const RayPrep& r, const float* block, int lane, float tMax, KernelHit& hit) {
    const float a[3] = {block[0 * W + lane], block[1 * W + lane], block[2 * W + lane]};
    const float b[3] = {block[3 * W + lane], block[4 * W + lane], block[5 * W + lane]};
    const float c[3] = {block[6 * W + lane], block[7 * W + lane], block[8 * W + lane]};
    return TestOne(r, a, b, c, tMax, hit);
}

// ---- W triangles: the filter ----------------------------------------------------------------

// Leaves the upper halves of the vector registers clean on every way out of a wide kernel,
// so that the caller's SSE code pays no transition.
struct CleanUpper {
#if defined(__AVX__)
    ~CleanUpper() { _mm256_zeroupper(); }
#endif
};

// The ray broadcast to W lanes once per query.
struct RayLanes {
    float ox, oy, oz, sx, sy, sz;
    int kx, ky, kz;
    explicit RayLanes(const RayPrep& r)
        : ox(r.origin[r.kx]), oy(r.origin[r.ky]), oz(r.origin[r.kz]), sx(r.sx), sy(r.sy), sz(r.sz), kx(r.kx * W),
          ky(r.ky * W), kz(r.kz * W) {}
};

// A bound a little above tMax for the filter, which compares T with bound * det instead of
// dividing: every lane whose t = T / det rounds below tMax passes it.
inline float LooseBound(float tMax) { return tMax < 3.0e38f ? tMax * 1.0000005f : tMax; }

// What the W-lane test decides of a block: the lanes that hit (0 < t < tMax beyond t's error
// bound) with their t, u, v, w and det, and the lanes it leaves to the one-lane test (an edge
// function exactly 0, which that test recomputes in double precision). Without `exact`, only
// the cheap filter runs: `hits` are then the lanes that may hit, for the one-lane test.
struct BlockHits {
    int hits = 0, edges = 0;
    M hit;
    F t, u, v, w, det;
};

// The one-lane test (TestOne) on the W lanes of a block at once: every operation is that
// test's, in its order and without fusing, so a lane's t and weights are the one-lane test's
// bit for bit. Blocks without a lane inside all three edges (or on one) are passed after the
// edge functions; the rest of the test runs only where the cheap filter (T against
// looseBound * det) leaves a lane.
template <bool exact>
inline BlockHits TestBlock(const RayLanes& r, const float* block, float looseBound, float tMax) {
    BlockHits h;
    const float* ax = block + r.kx;
    const float* ay = block + r.ky;
    const float* az = block + r.kz;
    const F ox = F::Set(r.ox), oy = F::Set(r.oy), oz = F::Set(r.oz), sx = F::Set(r.sx), sy = F::Set(r.sy);
    const F Az = F::Load(az) - oz, Bz = F::Load(az + 3 * W) - oz, Cz = F::Load(az + 6 * W) - oz;
    const F Xa = F::Load(ax) - ox, Xb = F::Load(ax + 3 * W) - ox, Xc = F::Load(ax + 6 * W) - ox;
    const F Ya = F::Load(ay) - oy, Yb = F::Load(ay + 3 * W) - oy, Yc = F::Load(ay + 6 * W) - oy;
    const F Ax = Xa - sx * Az, Ay = Ya - sy * Az;
    const F Bx = Xb - sx * Bz, By = Yb - sy * Bz;
    const F Cx = Xc - sx * Cz, Cy = Yc - sy * Cz;
    h.u = Cx * By - Cy * Bx;
    h.v = Ax * Cy - Ay * Cx;
    h.w = Bx * Ay - By * Ax;
    const F zero = F::Set(0.0f);
    const M onEdge = (h.u == zero) | (h.v == zero) | (h.w == zero);
    const M inside = AndNot(onEdge, (h.u >= zero) & (h.v >= zero) & (h.w >= zero));
    h.edges = Bits(onEdge);
    if (Bits(inside) == 0) return h;
    h.det = (h.u + h.v) + h.w;
    const F sz = F::Set(r.sz);
    const F Sa = sz * Az, Sb = sz * Bz, Sc = sz * Cz;
    const F T = (h.u * Sa + h.v * Sb) + h.w * Sc;
    const M maybe = inside & (h.det > zero) & (T > zero) & (T < F::Set(looseBound) * h.det);
    if (!exact) {
        h.hits = Bits(maybe);
        return h;
    }
    if (Bits(maybe) == 0) return h;
    // t, and the bound of its rounding error (see TestOne).
    h.t = T / h.det;
    const F asx = Abs(sx), asy = Abs(sy);
    const F za = Abs(Az), zb = Abs(Bz), zc = Abs(Cz);
    const F spanX = Max(Max(Max(zero, Abs(Xa) + asx * za), Abs(Xb) + asx * zb), Abs(Xc) + asx * zc);
    const F spanY = Max(Max(Max(zero, Abs(Ya) + asy * za), Abs(Yb) + asy * zb), Abs(Yc) + asy * zc);
    const F maxZ = Max(Abs(Sa), Max(Abs(Sb), Abs(Sc)));
    const F maxX = Max(Abs(Ax), Max(Abs(Bx), Abs(Cx)));
    const F maxY = Max(Abs(Ay), Max(Abs(By), Abs(Cy)));
    const F gamma2 = F::Set(Gamma(2)), gamma3 = F::Set(Gamma(3));
    const F deltaZ = gamma3 * maxZ;
    const F deltaX = gamma3 * spanX, deltaY = gamma3 * spanY;
    const F deltaE = F::Set(2.0f) * ((gamma2 * maxX * maxY + deltaY * maxX) + deltaX * maxY);
    const F maxE = Max(h.u, Max(h.v, h.w));
    const F deltaT = F::Set(3.0f) * ((gamma3 * maxE * maxZ + deltaE * maxZ) + deltaZ * maxE) / h.det;
    h.hit = maybe & (h.t > zero) & (h.t < F::Set(tMax)) & (h.t > deltaT);
    h.hits = Bits(h.hit);
    return h;
}

// ---- the walk --------------------------------------------------------------------------------

// The ray's segment inside the box: [t0, t1] with t0 = max(entry, 0), t1 = min(exit, tMax);
// false when it is empty or ends at t <= 0. A zero direction component leaves its axis
// unconstrained while the origin lies between the planes (0 x infinity is NaN there and is
// dropped by the clamps).
inline bool Clip(const GridQueryData& g, const RayPrep& r, float tMax, float& t0, float& t1) {
    float tNear = -1e38f, tFar = 1e38f;
    for (int axis = 0; axis < 3; ++axis) {
        const float inv = r.inverse[axis];
        const float l1 = (g.minimum[axis] - r.origin[axis]) * inv, l2 = (g.maximum[axis] - r.origin[axis]) * inv;
        const float n1 = l1 > -1e38f ? l1 : -1e38f, n2 = l2 > -1e38f ? l2 : -1e38f;
        const float f1 = l1 < 1e38f ? l1 : 1e38f, f2 = l2 < 1e38f ? l2 : 1e38f;
        tNear = MaxF(tNear, MinF(n1, n2));
        tFar = MinF(tFar, MaxF(f1, f2));
    }
    t0 = MaxF(tNear, 0.0f);
    t1 = MinF(tFar, tMax);
    return t1 >= t0 && t1 > 0.0f;
}

// One axis of the walk: the current cell, its step (+1, -1 or 0), the cell just outside the
// grid in the step's direction, the ray parameter of the next cell boundary, and what that
// parameter is computed from (see Boundary), and the linear offset of one step.
struct Axis {
    int cell, step, out, up;
    float next, ho, invH;
    long long stride;
};

// The ray parameter where the ray leaves cell c along this axis: (c + up - ho) / hd, with ho
// the origin in the cell frame, hd the direction there, and up 1 going up, 0 going down.
// Computed from the cell index every time rather than by adding 1 / hd step after step: a
// sum's rounding grows with the square of the steps (past a thousandth of a cell after a few
// hundred), which would let the walk take the wrong way round a corner and the nearest hit's
// early exit trust a cell exit that is off by more than the cells' margin. This stays within
// a few units of rounding of the exact parameter on every step. Monotone in c.
inline float Boundary(const Axis& a, int c) { return (static_cast<float>(c + a.up) - a.ho) * a.invH; }

// Passes an empty macro cell along one axis pair: the parameter where the ray leaves the
// macro cell along this axis (infinite for an axis the ray does not move along).
inline float MacroExit(const Axis& a, int& steps) {
    if (a.step == 0) {
        steps = 0;
        return __builtin_inff();
    }
    // The macro cell's far face, or the grid's when the macro cell reaches past it.
    const int m = a.cell >> kMacroShift;
    const int face = (m + 1) << kMacroShift;
    steps = a.step > 0 ? (face < a.out ? face : a.out) - a.cell : a.cell - (m << kMacroShift) + 1;
    return Boundary(a, a.cell + (steps - 1) * a.step);
}

// Moves an axis across `boundaries` cell boundaries.
inline void Advance(Axis& a, long long& linear, int boundaries) {
    if (boundaries == 0) return;  // (an axis without steps keeps its infinite boundary)
    a.cell += boundaries * a.step;
    a.next = Boundary(a, a.cell);
    linear += boundaries * a.stride;
}

// The boundaries of an axis that lie before the ray parameter t, at most stepsLeft - 1
// (staying in the macro cell): estimated by a division, then never more than there are (one
// too many would put the axis past a cell the ray crosses; one too few only makes the walk
// visit an empty cell of the macro cell it leaves).
inline int BoundariesBefore(const Axis& a, float t, int stepsLeft) {
    if (a.step == 0 || !(a.next < t) || stepsLeft <= 1) return 0;
    const float k = (t - a.next) / (a.invH < 0.0f ? -a.invH : a.invH);
    int n = k < static_cast<float>(stepsLeft) ? static_cast<int>(k) + 1 : stepsLeft;
    if (n > stepsLeft - 1) n = stepsLeft - 1;
    while (n > 1 && !(Boundary(a, a.cell + (n - 1) * a.step) < t)) --n;
    return n;
}

// Visits the cells of the ray's segment (0, tMax) inside the box in order along the ray,
// passing over cells and macro cells without triangles: visit(first block, end block, t where
// the ray leaves the cell) returns true to stop the walk, which then returns true.
// [t0, t1] is the segment Clip gave.
template <class Visit>
inline bool Walk(const GridQueryData& g, const RayPrep& r, float t0, float t1, Visit&& visit) {
    // Cell frame: h = (p - minimum) * inverse cell + 0.5, so cell i spans h in [i, i + 1).
    Axis axis[3];
    long long linear = 0;
    for (int k = 0; k < 3; ++k) {
        Axis& a = axis[k];
        a.ho = (r.origin[k] - g.minimum[k]) * g.inverseCell[k] + 0.5f;
        const float hd = r.direction[k] * g.inverseCell[k];
        const float h = a.ho + hd * t0;
        const int n = g.resolution[k];
        a.cell = h >= 1.0f ? (h < static_cast<float>(n) ? (static_cast<int>(h) < n - 1 ? static_cast<int>(h) : n - 1) : n - 1) : 0;
        // 1 / hd as (1 / d) times the cell edge: one division per axis for both tests.
        a.invH = r.inverse[k] * g.cellEdge[k];
        a.stride = g.stride[k];
        if (hd > 0.0f) {
            a.step = 1;
            a.out = n;
            a.up = 1;
            a.next = Boundary(a, a.cell);
        } else if (hd < 0.0f) {
            a.step = -1;
            a.out = -1;
            a.up = 0;
            a.next = Boundary(a, a.cell);
        } else {
            a.step = 0;
            a.out = -1;
            a.up = 0;
            a.next = __builtin_inff();
        }
        linear += static_cast<long long>(a.cell) * a.stride;
        a.stride *= a.step;
    }
    // Kept in locals so that the loop runs in registers.
    int cx = axis[0].cell, cy = axis[1].cell, cz = axis[2].cell;
    float tx = axis[0].next, ty = axis[1].next, tz = axis[2].next;
    const float hx = axis[0].ho, hy = axis[1].ho, hz = axis[2].ho;
    const float ix = axis[0].invH, iy = axis[1].invH, iz = axis[2].invH;
    const int ux = axis[0].up, uy = axis[1].up, uz = axis[2].up;
    const int sx = axis[0].step, sy = axis[1].step, sz = axis[2].step;
    const int ox = axis[0].out, oy = axis[1].out, oz = axis[2].out;
    const long long lx = axis[0].stride, ly = axis[1].stride, lz = axis[2].stride;
    const std::uint32_t* const start = g.cellStart;
    const std::uint8_t* const macro = g.macroOccupied;
    const int mStride0 = g.macroStride[0], mStride1 = g.macroStride[1];
    for (;;) {
        const std::uint32_t first = start[linear], end = start[linear + 1];
        if (first != end) {
            if (visit(first, end, MinF(tx, MinF(ty, tz)))) return true;
        } else if (macro[(cx >> kMacroShift) * mStride0 + (cy >> kMacroShift) * mStride1 + (cz >> kMacroShift)] == 0) {
            // An empty macro cell: leave it in one step, where the ray first crosses one of its
            // faces; the other axes take the boundaries they cross before that.
            axis[0].cell = cx, axis[1].cell = cy, axis[2].cell = cz;
            axis[0].next = tx, axis[1].next = ty, axis[2].next = tz;
            int steps[3];
            const float e0 = MacroExit(axis[0], steps[0]), e1 = MacroExit(axis[1], steps[1]), e2 = MacroExit(axis[2], steps[2]);
            const int leave = e0 < e1 ? (e0 < e2 ? 0 : 2) : (e1 < e2 ? 1 : 2);
            const float tLeave = leave == 0 ? e0 : leave == 1 ? e1 : e2;
            if (!(tLeave < t1)) return false;
            for (int k = 0; k < 3; ++k) {
                const int n = k == leave ? steps[k] : BoundariesBefore(axis[k], tLeave, steps[k]);
                Advance(axis[k], linear, n);
            }
            if (axis[leave].cell == axis[leave].out) return false;
            cx = axis[0].cell, cy = axis[1].cell, cz = axis[2].cell;
            tx = axis[0].next, ty = axis[1].next, tz = axis[2].next;
            continue;
        }
        // The axis whose boundary comes first; at an edge or a corner (equal parameters) the
        // axes step one after the other, so every touched cell is visited.
        if (tx < ty && tx < tz) {
            if (!(tx < t1)) return false;
            cx += sx;
            if (cx == ox) return false;
            linear += lx;
            tx = (static_cast<float>(cx + ux) - hx) * ix;
        } else if (ty < tz) {
            if (!(ty < t1)) return false;
            cy += sy;
            if (cy == oy) return false;
            linear += ly;
            ty = (static_cast<float>(cy + uy) - hy) * iy;
        } else {
            if (!(tz < t1)) return false;
            cz += sz;
            if (cz == oz) return false;
            linear += lz;
            tz = (static_cast<float>(cz + uz) - hz) * iz;
        }
    }
}

// The smallest float above x (x positive and finite), so that a hit exactly as near as the
// best so far passes the lanes' strict t < bound and reaches the tie-break.
inline float NextUp(float x) {
    if (!(x > 0.0f) || !(x < 3.4e38f)) return x;
    std::uint32_t bits;
    __builtin_memcpy(&bits, &x, sizeof bits);
    ++bits;
    __builtin_memcpy(&x, &bits, sizeof x);
    return x;
}

bool Nearest(const GridQueryData& g, const RayPrep& r, float tMax, KernelHit& result) {
    if (!r.usable || g.cellStart == nullptr) return false;
    // Every triangle of a cell is tested; the nearest hit so far stays a candidate, and the
    // walk stops at the first cell whose exit lies beyond it (a hit beyond its cell's exit may
    // have a nearer rival in a later cell, and one at the exit an equally near one).
    KernelHit best;
    best.t = tMax;
    best.index = 0;  // nothing ties with the caller's limit: ties need a lower index
    bool found = false;
    const float* const blocks = g.blocks;
    const std::uint32_t* const indices = g.blockIndex;
    float t0, t1;
    if (!Clip(g, r, tMax, t0, t1)) return false;
    [[maybe_unused]] const CleanUpper clean;  // its destructor clears the upper lanes (AVX builds only)
    const RayLanes lanes(r);
    Walk(g, r, t0, t1, [&](std::uint32_t first, std::uint32_t end, float tExit) {
        for (std::uint32_t k = first; k < end; ++k) {
            const float bound = NextUp(best.t);
            const float* block = blocks + static_cast<std::size_t>(k) * kBlockRows * W;
            const std::uint32_t* index = indices + static_cast<std::size_t>(k) * W;
            const BlockHits h = TestBlock<true>(lanes, block, LooseBound(bound), bound);
            // A hit that beats the best so far: nearer, or as near with a lower index.
            auto offer = [&](const KernelHit& hit, std::uint32_t at) {
                if (!(hit.t < best.t) && !(hit.t == best.t && at < best.index)) return;
                best = hit;
                best.index = at;
                found = true;
            };
            if (h.hits != 0) {
                // The nearest lane: the smallest t, and of equal ones the first (the lowest
                // triangle index: a cell's triangles are in increasing order).
                const F t = Select(h.hit, h.t, F::Set(__builtin_inff()));
                const float tMin = HorizontalMin(t);
                const int lane = __builtin_ctz(static_cast<unsigned>(Bits(h.hit & (t == F::Set(tMin)))));
                alignas(64) float u[W], v[W], w[W], det[W];
                h.u.Store(u), h.v.Store(v), h.w.Store(w), h.det.Store(det);
                KernelHit hit;
                hit.t = tMin;
                hit.b0 = u[lane] / det[lane];
                hit.b1 = v[lane] / det[lane];
                hit.b2 = w[lane] / det[lane];
                offer(hit, index[lane]);
            }
            // Lanes on an edge, decided by the one-lane test's double-precision edge functions.
            for (int edges = h.edges; edges != 0; edges &= edges - 1) {
                const int lane = __builtin_ctz(static_cast<unsigned>(edges));
                KernelHit hit;
                if (TestLane(r, block, lane, bound, hit)) offer(hit, index[lane]);
            }
        }
        return found && best.t < tExit;
    });
    if (found) result = best;
    return found;
}

bool Any(const GridQueryData& g, const RayPrep& r, float tMax) {
    if (!r.usable || g.cellStart == nullptr) return false;
    const float* const blocks = g.blocks;
    float t0, t1;
    if (!Clip(g, r, tMax, t0, t1)) return false;
    [[maybe_unused]] const CleanUpper clean;  // its destructor clears the upper lanes (AVX builds only)
    const float limit = LooseBound(tMax);
    const RayLanes lanes(r);
    return Walk(g, r, t0, t1, [&](std::uint32_t first, std::uint32_t end, float) {
        for (std::uint32_t k = first; k < end; ++k) {
            const float* block = blocks + static_cast<std::size_t>(k) * kBlockRows * W;
            // Any lane will do: the filter's lanes through the one-lane test until one hits.
            const BlockHits h = TestBlock<false>(lanes, block, limit, tMax);
            for (int lanesLeft = h.hits | h.edges; lanesLeft != 0; lanesLeft &= lanesLeft - 1) {
                KernelHit hit;
                if (TestLane(r, block, __builtin_ctz(static_cast<unsigned>(lanesLeft)), tMax, hit)) return true;
            }
        }
        return false;
    });
}

bool Triangle(const RayPrep& r, const float a[3], const float b[3], const float c[3], float tMax, KernelHit& hit) {
    if (!r.usable) return false;
    return TestOne(r, a, b, c, tMax, hit);
}

// ---- W boxes against one triangle -----------------------------------------------------------

// Lanes where the projections p and q of the triangle lie wholly beyond rad on one axis.
inline M Separated(F p, F q, F rad) { return (Min(q, p) > rad) | (Max(q, p) < Neg(rad)); }

// W boxes of half size `half` centred on (cx, cy, cz)[i] against the triangle (t0, t1, t2):
// the nine edge-cross-axis axes, the three coordinate axes, then the triangle's plane.
inline int OverlapBlock(const float* cx, const float* cy, const float* cz, const float half[3], const float t0[3],
                        const float t1[3], const float t2[3]) {
    const F c[3] = {F::Load(cx), F::Load(cy), F::Load(cz)};
    const F h[3] = {F::Set(half[0]), F::Set(half[1]), F::Set(half[2])};
    F v0[3], v1[3], v2[3], e0[3], e1[3], e2[3];
    for (int q = 0; q < 3; ++q) {
        v0[q] = F::Set(t0[q]) - c[q];
        v1[q] = F::Set(t1[q]) - c[q];
        v2[q] = F::Set(t2[q]) - c[q];
    }
    for (int q = 0; q < 3; ++q) {
        e0[q] = v1[q] - v0[q];
        e1[q] = v2[q] - v1[q];
        e2[q] = v0[q] - v2[q];
    }
    // Edge x X axis: a v[Y] - b v[Z] against |a| half[Y] + |b| half[Z]; Y and Z likewise.
    auto axisX = [&](F a, F b, const F* va, const F* vb) {
        return Separated(a * va[1] - b * va[2], a * vb[1] - b * vb[2], Abs(a) * h[1] + Abs(b) * h[2]);
    };
    auto axisY = [&](F a, F b, const F* va, const F* vb) {
        return Separated(Neg(a) * va[0] + b * va[2], Neg(a) * vb[0] + b * vb[2], Abs(a) * h[0] + Abs(b) * h[2]);
    };
    auto axisZ = [&](F a, F b, const F* va, const F* vb) {
        return Separated(a * va[0] - b * va[1], a * vb[0] - b * vb[1], Abs(a) * h[0] + Abs(b) * h[1]);
    };
    M apart = axisX(e0[2], e0[1], v0, v2);
    apart = apart | axisY(e0[2], e0[0], v0, v2);
    apart = apart | axisZ(e0[1], e0[0], v1, v2);
    apart = apart | axisX(e1[2], e1[1], v0, v2);
    apart = apart | axisY(e1[2], e1[0], v0, v2);
    apart = apart | axisZ(e1[1], e1[0], v0, v1);
    apart = apart | axisX(e2[2], e2[1], v0, v1);
    apart = apart | axisY(e2[2], e2[0], v0, v1);
    apart = apart | axisZ(e2[1], e2[0], v1, v2);
    // The coordinate axes against the triangle's extent.
    for (int q = 0; q < 3; ++q) {
        const F lo = Min(v2[q], Min(v1[q], v0[q])), hi = Max(v2[q], Max(v1[q], v0[q]));
        apart = apart | (lo > h[q]) | (hi < Neg(h[q]));
    }
    // The plane: normal = e0 x e1; the box corners nearest and farthest along it.
    const F n[3] = {e0[1] * e1[2] - e0[2] * e1[1], e0[2] * e1[0] - e0[0] * e1[2], e0[0] * e1[1] - e0[1] * e1[0]};
    F vmin[3], vmax[3];
    const F zero = F::Set(0.0f);
    for (int q = 0; q < 3; ++q) {
        const M positive = n[q] > zero;
        const F lo = Neg(h[q]) - v0[q], hi = h[q] - v0[q];
        vmin[q] = Select(positive, lo, hi);
        vmax[q] = Select(positive, hi, lo);
    }
    const F dmin = (n[0] * vmin[0] + n[1] * vmin[1]) + n[2] * vmin[2];
    const F dmax = (n[0] * vmax[0] + n[1] * vmax[1]) + n[2] * vmax[2];
    apart = apart | (dmin > zero);
    const M touches = dmax >= zero;  // not dmax >= 0 (NaN included) separates
    return Bits(AndNot(apart, touches));
}

std::uint32_t Overlap(const float* cx, const float* cy, const float* cz, int count, const float half[3],
                      const float t0[3], const float t1[3], const float t2[3]) {
    std::uint32_t bits = 0;
    for (int first = 0; first < count; first += W) {
        alignas(64) float x[W], y[W], z[W];
        for (int i = 0; i < W; ++i) {
            const int k = first + i < count ? first + i : first;
            x[i] = cx[k], y[i] = cy[k], z[i] = cz[k];
        }
        const std::uint32_t lanes = static_cast<std::uint32_t>(OverlapBlock(x, y, z, half, t0, t1, t2));
        const int used = count - first < W ? count - first : W;
        bits |= (lanes & ((1u << used) - 1u)) << first;
    }
    return bits;
}

}  // namespace REDOWL_KERNEL_NAMESPACE

namespace RAYTR {
extern const KernelTable REDOWL_KERNEL_TABLE;
const KernelTable REDOWL_KERNEL_TABLE = {REDOWL_KERNEL_NAME,
                                         REDOWL_KERNEL_WIDTH,
                                         &REDOWL_KERNEL_NAMESPACE::Nearest,
                                         &REDOWL_KERNEL_NAMESPACE::Any,
                                         &REDOWL_KERNEL_NAMESPACE::Overlap,
                                         &REDOWL_KERNEL_NAMESPACE::Triangle};
}  // namespace RAYTR
