// The grid's packet queries: eight rays walk the grid together, slice by slice along the
// packet's main axis (coherent grid traversal; see regular_grid.h for the paper).
//
// Each ray of a packet gets what its one-ray query gives, bit for bit: the same t_min, the same
// lane-for-lane triangle test, and the same choice among hits (the nearest, and of equally near
// ones the lowest triangle index). The packet tests every triangle of the cells its rays cross,
// and a few beside them; the one-ray walk tests the cells its ray crosses. Both therefore see
// every triangle that the ray can hit before its nearest hit.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "grid/regular_grid.h"

namespace RAYTR {

namespace {

// How far beyond a ray's exact crossing of a slice its rectangle reaches, in cells: far more
// than the rounding of the one-ray walk's boundary parameters over a few hundred cells.
constexpr float kSlack = 1e-3f;
// Direct-mapped record of the triangles a packet has tested (each is tested once per packet).
constexpr unsigned kMailboxSlots = 256;

// The cell of grid coordinate h (cell i covers [i, i + 1)), limited to 0 .. n - 1; NaN gives 0.
inline int ClampCell(float h, int n) {
    if (!(h >= 0.0f)) return 0;
    if (h >= static_cast<float>(n)) return n - 1;
    return std::min(static_cast<int>(h), n - 1);
}

#ifdef REDOWL_HAS_AVX2_PATH
// What the walk needs of a grid: its query layout and its cell frame.
struct PacketGrid {
    const unsigned* start;  // cells + 1 offsets into blocks
    const TriangleBlock4* blocks;
    int resolution[3];
    int stride[3];
    float minimum[3];
    float cellEdge[3];
};

// A packet's rays, set up for the walk. Lanes of rays that take no part hold a zero direction
// and t_min = infinity, so that no test passes in them.
struct PacketSetup {
    RayLanes8 lanes;               // origins, directions (the grid's coordinates), t_min, skip
    alignas(32) float t0[8], t1[8];  // the segment inside the box, as the one-ray walk clips it
    alignas(32) float ho[3][8], hd[3][8];  // origin and direction in the cell frame
    int axis = 0, step = 1;        // main axis K and the sign of the rays' directions along it
    int live = 0;                  // the rays that walk
};

// The lanes of a block whose triangle's box (widened by 0.2% of its extent, for the weight
// tolerance of the test) meets the box [lo, hi]: bits 0..3.
inline int BlockLanesInBox(const TriangleBlock4& b, const __m128* lo, const __m128* hi) {
    const float* a[3] = {b.ax, b.ay, b.az};
    const float* e1[3] = {b.e1x, b.e1y, b.e1z};
    const float* e2[3] = {b.e2x, b.e2y, b.e2z};
    __m128 in = _mm_castsi128_ps(_mm_set1_epi32(-1));
    for (int axis = 0; axis < 3; ++axis) {
        const __m128 p = _mm_load_ps(a[axis]);
        const __m128 q = _mm_add_ps(p, _mm_load_ps(e1[axis])), r = _mm_add_ps(p, _mm_load_ps(e2[axis]));
        const __m128 low = _mm_min_ps(p, _mm_min_ps(q, r)), high = _mm_max_ps(p, _mm_max_ps(q, r));
        const __m128 margin = _mm_mul_ps(_mm_sub_ps(high, low), _mm_set1_ps(0.002f));
        in = _mm_and_ps(in, _mm_cmple_ps(_mm_sub_ps(low, margin), hi[axis]));
        in = _mm_and_ps(in, _mm_cmpge_ps(_mm_add_ps(high, margin), lo[axis]));
    }
    return _mm_movemask_ps(in);
}

// The walk of the rays of setup.live. Closest: writes the nearest hit of each ray that has
// one (t, u, v, triangle index) and returns their mask; otherwise returns the mask of the rays
// with some hit before tMax.
template <bool Closest>
__attribute__((target("avx2"))) int WalkPacket(const PacketGrid& g, const PacketSetup& p, const float* tMax,
                                               float* hitT, float* hitU, float* hitV, unsigned* hitIndex) {
    const int K = p.axis, U = K == 0 ? 1 : 0, V = K == 2 ? 1 : 2;
    const int s = p.step;
    const int nK = g.resolution[K], nU = g.resolution[U], nV = g.resolution[V];
    // Each ray's first and last slice (widened by the slack) and its running state.
    int first[8], last[8];
    float bestT[8], invK[8];
    unsigned bestIndex[8];
    int live = p.live, found = 0, kBegin = s > 0 ? nK : -1, kEnd = s > 0 ? -1 : nK;
    for (int i = 0; i < 8; ++i) {
        bestT[i] = tMax[i];
        bestIndex[i] = 0;  // nothing ties with the caller's limit
        if (!(live >> i & 1)) continue;
        invK[i] = 1.0f / p.hd[K][i];  // the slack absorbs the rounding of a product for a quotient
        const float h0 = p.ho[K][i] + p.hd[K][i] * p.t0[i], h1 = p.ho[K][i] + p.hd[K][i] * p.t1[i];
        first[i] = ClampCell(s > 0 ? h0 - kSlack : h0 + kSlack, nK);
        last[i] = ClampCell(s > 0 ? h1 + kSlack : h1 - kSlack, nK);
        kBegin = s > 0 ? std::min(kBegin, first[i]) : std::max(kBegin, first[i]);
        kEnd = s > 0 ? std::max(kEnd, last[i]) : std::min(kEnd, last[i]);
    }
    unsigned mailbox[kMailboxSlots];
    std::memset(mailbox, 0xFF, sizeof mailbox);
    int result = 0;
    for (int k = kBegin; live != 0 && (s > 0 ? k <= kEnd : k >= kEnd); k += s) {
        // The rectangle of cells that the rays cross in slice k (between the planes k and
        // k + 1 of the main axis, widened by the slack), up to each ray's nearest hit so far.
        float uLo = std::numeric_limits<float>::infinity(), uHi = -uLo, vLo = uLo, vHi = -uLo;
        for (int i = 0; i < 8; ++i) {
            if (!(live >> i & 1) || (s > 0 ? (k < first[i] || k > last[i]) : (k > first[i] || k < last[i]))) continue;
            float ta = (static_cast<float>(k) - kSlack - p.ho[K][i]) * invK[i];
            float tb = (static_cast<float>(k + 1) + kSlack - p.ho[K][i]) * invK[i];
            if (s < 0) std::swap(ta, tb);
            ta = std::max(ta, p.t0[i]);
            tb = std::min(tb, Closest ? std::min(p.t1[i], bestT[i]) : p.t1[i]);
            if (!(ta <= tb)) continue;
            const float ua = p.ho[U][i] + p.hd[U][i] * ta, ub = p.ho[U][i] + p.hd[U][i] * tb;
            const float va = p.ho[V][i] + p.hd[V][i] * ta, vb = p.ho[V][i] + p.hd[V][i] * tb;
            uLo = std::min({uLo, ua, ub});
            uHi = std::max({uHi, ua, ub});
            vLo = std::min({vLo, va, vb});
            vHi = std::max({vHi, va, vb});
        }
        if (uLo <= uHi) {
            // The same box in the grid's coordinates, a hundredth of a cell wider, for the test of
            // each block's triangle boxes: a triangle whose box misses it meets no ray here.
            float hLo[3], hHi[3];
            hLo[K] = static_cast<float>(k) - 0.01f, hHi[K] = static_cast<float>(k + 1) + 0.01f;
            hLo[U] = uLo - 0.01f, hHi[U] = uHi + 0.01f;
            hLo[V] = vLo - 0.01f, hHi[V] = vHi + 0.01f;
            __m128 boxLo[3], boxHi[3];
            for (int axis = 0; axis < 3; ++axis) {
                boxLo[axis] = _mm_set1_ps(g.minimum[axis] + (hLo[axis] - 0.5f) * g.cellEdge[axis]);
                boxHi[axis] = _mm_set1_ps(g.minimum[axis] + (hHi[axis] - 0.5f) * g.cellEdge[axis]);
            }
            const int cu0 = ClampCell(uLo - kSlack, nU), cu1 = ClampCell(uHi + kSlack, nU);
            const int cv0 = ClampCell(vLo - kSlack, nV), cv1 = ClampCell(vHi + kSlack, nV);
            for (int cu = cu0; cu <= cu1; ++cu)
                for (int cv = cv0; cv <= cv1; ++cv) {
                    const long long cell = static_cast<long long>(k) * g.stride[K] +
                                           static_cast<long long>(cu) * g.stride[U] +
                                           static_cast<long long>(cv) * g.stride[V];
                    const unsigned blockEnd = g.start[cell + 1];
                    for (unsigned b = g.start[cell]; b < blockEnd; ++b) {
                        const TriangleBlock4& block = g.blocks[b];
                        const int near = BlockLanesInBox(block, boxLo, boxHi);
                        for (int lane = 0; lane < 4; ++lane) {
                            if (!(near >> lane & 1)) continue;
                            // Every triangle once per packet, against every ray still walking.
                            const unsigned index = block.index[lane];
                            if (index == 0xFFFFFFFFu) continue;
                            unsigned& slot = mailbox[index & (kMailboxSlots - 1)];
                            if (slot == index) continue;
                            slot = index;
                            __m256 u, v, t;
                            int mask = TriangleRays8(p.lanes, block, lane, u, v, t) & live;
                            if (mask == 0) continue;
                            alignas(32) float ts[8], us[8], vs[8];
                            _mm256_store_ps(ts, t);
                            if constexpr (Closest) {
                                _mm256_store_ps(us, u);
                                _mm256_store_ps(vs, v);
                            }
                            for (; mask != 0; mask &= mask - 1) {
                                const int i = __builtin_ctz(static_cast<unsigned>(mask));
                                if constexpr (Closest) {
                                    // Nearer, or as near with a lower triangle index.
                                    if (!(ts[i] < bestT[i]) && !(ts[i] == bestT[i] && index < bestIndex[i])) continue;
                                    bestT[i] = ts[i];
                                    bestIndex[i] = index;
                                    hitU[i] = us[i];
                                    hitV[i] = vs[i];
                                    found |= 1 << i;
                                } else {
                                    if (!(ts[i] < tMax[i])) continue;
                                    result |= 1 << i;
                                    live &= ~(1 << i);
                                }
                            }
                            if (!Closest && live == 0) return result;
                        }
                    }
                }
        }
        // A ray is done after its last slice, and (closest) once its nearest hit lies before
        // the slice's far plane: every nearer or equally near hit lies in a slice walked.
        for (int i = 0; i < 8; ++i) {
            if (!(live >> i & 1)) continue;
            if (k == last[i]) {
                live &= ~(1 << i);
                continue;
            }
            if (Closest && (found >> i & 1)) {
                const float plane = s > 0 ? static_cast<float>(k + 1) - kSlack : static_cast<float>(k) + kSlack;
                if (bestT[i] < (plane - p.ho[K][i]) * invK[i]) live &= ~(1 << i);
            }
        }
    }
    if constexpr (Closest) {
        for (int i = 0; i < 8; ++i) {
            if (!(found >> i & 1)) continue;
            hitT[i] = bestT[i];
            hitIndex[i] = bestIndex[i];
        }
        return found;
    }
    return result;
}
#endif

}  // namespace

template <int Dim, class Tri, class Index>
int BaseGrid<Dim, Tri, Index>::IntersectPacket(const Ray* rays, int active, RayHit* hits, const float* tMax) const {
    active &= (1 << kPacketSize) - 1;
    unsigned skip[kPacketSize];
    for (int i = 0; i < kPacketSize; ++i) skip[i] = (active >> i & 1) ? SkipIndex(hits[i].triangle) : kNoTriangle;
    float t[kPacketSize], u[kPacketSize], v[kPacketSize];
    unsigned index[kPacketSize];
    const int hit = PacketQuery<true>(rays, active, tMax, skip, t, u, v, index);
    for (int i = 0; i < kPacketSize; ++i) {
        if (!(hit >> i & 1)) continue;
        hits[i].triangle = triangles + index[i];
        hits[i].b1 = u[i];
        hits[i].b2 = v[i];
        hits[i].b0 = (1.0f - v[i]) - u[i];
        hits[i].t = t[i];
    }
    return hit;
}

template <int Dim, class Tri, class Index>
int BaseGrid<Dim, Tri, Index>::OccludedPacket(const Ray* rays, int active, const float* tMax,
                                              const Tri* const* skipTriangles) const {
    active &= (1 << kPacketSize) - 1;
    unsigned skip[kPacketSize];
    for (int i = 0; i < kPacketSize; ++i) skip[i] = (active >> i & 1) ? SkipIndex(skipTriangles[i]) : kNoTriangle;
    return PacketQuery<false>(rays, active, tMax, skip, nullptr, nullptr, nullptr, nullptr);
}

template <int Dim, class Tri, class Index>
template <bool Closest>
int BaseGrid<Dim, Tri, Index>::PacketQuery(const Ray* rays, int active, const float* tMax, const unsigned* skip,
                                           float* hitT, float* hitU, float* hitV, unsigned* hitIndex) const {
    // One ray on its own, by the one-ray query.
    auto single = [&](int i) -> bool {
        const Tri* skipTriangle = skip[i] == kNoTriangle ? nullptr : triangles + skip[i];
        if constexpr (Closest) {
            RayHit h;
            h.triangle = skipTriangle;
            if (!IntersectWidth(rays[i], h, tMax[i], true)) return false;
            hitT[i] = h.t;
            hitU[i] = h.b1;
            hitV[i] = h.b2;
            hitIndex[i] = static_cast<unsigned>(h.triangle - triangles);
            return true;
        } else {
            return OccludedWidth(rays[i], tMax[i], skipTriangle, true);
        }
    };
    int result = 0;
    int alone = active;  // the rays that take the one-ray query
#ifdef REDOWL_HAS_AVX2_PATH
    if (CpuHasAvx2() && queryStart_) {
        // Each ray's segment inside the box, clipped as the one-ray walk clips it.
        PacketSetup p;
        for (int i = 0; i < 8; ++i) {
            p.lanes.ox[i] = p.lanes.oy[i] = p.lanes.oz[i] = 0.0f;
            p.lanes.dx[i] = p.lanes.dy[i] = p.lanes.dz[i] = 0.0f;
            p.lanes.tMin[i] = std::numeric_limits<float>::infinity();
            p.lanes.skip[i] = kNoTriangle;
            p.t0[i] = p.t1[i] = 0.0f;
            for (int axis = 0; axis < 3; ++axis) p.ho[axis][i] = p.hd[axis][i] = 0.0f;
        }
        alone = 0;
        float sum[3] = {0.0f, 0.0f, 0.0f};
        for (int i = 0; i < kPacketSize; ++i) {
            if (!(active >> i & 1)) continue;
            float tMinimum = 0.0f;
            if (!Usable(rays[i], tMinimum)) continue;  // hits nothing
            const float o[3] = {rays[i].origin.x, rays[i].origin.y, rays[i].origin.z};
            const float d[3] = {rays[i].direction.x, rays[i].direction.y, rays[i].direction.z};
            float t0, t1, invD[3];
            if (!ClipToBox(o, d, tMinimum, tMax[i], t0, t1, invD)) continue;  // misses the box
            p.lanes.ox[i] = o[0];
            p.lanes.oy[i] = o[1];
            p.lanes.oz[i] = o[2];
            p.lanes.dx[i] = d[0];
            p.lanes.dy[i] = d[1];
            p.lanes.dz[i] = d[2];
            p.lanes.tMin[i] = tMinimum;
            p.lanes.skip[i] = skip[i];
            p.t0[i] = t0;
            p.t1[i] = t1;
            for (int axis = 0; axis < 3; ++axis) {
                p.ho[axis][i] = (o[axis] - minimum[axis]) * inverseCellSize[axis] + 0.5f;
                p.hd[axis][i] = d[axis] * inverseCellSize[axis];
                sum[axis] += p.hd[axis][i];
            }
            p.live |= 1 << i;
        }
        // The main axis: the largest component of the rays' summed direction. Rays that do not
        // move forward along it go alone.
        const float a[3] = {std::fabs(sum[0]), std::fabs(sum[1]), std::fabs(sum[2])};
        p.axis = a[0] >= a[1] ? (a[0] >= a[2] ? 0 : 2) : (a[1] >= a[2] ? 1 : 2);
        p.step = sum[p.axis] >= 0.0f ? 1 : -1;
        for (int i = 0; i < kPacketSize; ++i) {
            if (!(p.live >> i & 1) || p.hd[p.axis][i] * static_cast<float>(p.step) > 0.0f) continue;
            p.live &= ~(1 << i);
            p.lanes.tMin[i] = std::numeric_limits<float>::infinity();
            alone |= 1 << i;
        }
        if (p.live != 0) {
            const PacketGrid g{queryStart_.get(), queryBlocks_.get(),
                               {resolution[0], resolution[1], resolution[2]},
                               {cells.Stride0(), cells.Stride1(), 1},
                               {minimum.x, minimum.y, minimum.z},
                               {cellEdge_[0], cellEdge_[1], cellEdge_[2]}};
            result = WalkPacket<Closest>(g, p, tMax, hitT, hitU, hitV, hitIndex);
        }
    }
#endif
    for (int i = 0; i < kPacketSize; ++i)
        if ((alone >> i & 1) && single(i)) result |= 1 << i;
    return result;
}

using PacketGridType = BaseGrid<3, ORVA_GRAPHICS::Triangle, unsigned int>;
template int PacketGridType::IntersectPacket(const Ray*, int, RayHit*, const float*) const;
template int PacketGridType::OccludedPacket(const Ray*, int, const float*, const ORVA_GRAPHICS::Triangle* const*) const;

}  // namespace RAYTR
