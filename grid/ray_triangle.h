#pragma once
// One-sided ray-triangle test after T. Moeller and B. Trumbore, "Fast, Minimum Storage
// Ray/Triangle Intersection", Journal of Graphics Tools 2(1), 1997.
//
// Only rays arriving from the side toward which (B - A) x (C - A) points can hit (det >= 1e-6);
// the weights get a tolerance of 0.001, so a ray through an edge shared by two triangles hits
// both. The distance t along the ray is reported; the callers decide which range counts.

#include <xmmintrin.h>
#include <emmintrin.h>

namespace RAYTR {

// u < -0.001 taken in double equals u < kAboveMinusThousandth in float (no float lies between
// the two), which lets four-lane float code apply the lower bound exactly.
inline constexpr float kAboveMinusThousandth = -0.000999999931082129478f;

// How far a test got: rejected by det (nothing written), by u (u written), by v or u + v
// (u and v written), or a hit (u and v written; b0 follows from them).
enum RayTriangleStage : int { kRejectedByDet = 0, kRejectedByU = 1, kRejectedByV = 2, kHit = 3 };

// The scalar test, returning its stage and the weights it computed; on a hit t is the ray
// parameter of the hit point (t = (e2 . q) / det), whatever its sign.
inline int RayTriangleStageOf(const float o[3], const float d[3], const float a[3], const float e1[3],
                              const float e2[3], float& u, float& v, float& t) {
    // p = d x e2; det = e1 . p, the dot products summed as (x + y) + z.
    const float px = d[1] * e2[2] - d[2] * e2[1];
    const float py = d[2] * e2[0] - d[0] * e2[2];
    const float pz = d[0] * e2[1] - d[1] * e2[0];
    const float det = (e1[0] * px + e1[1] * py) + e1[2] * pz;
    // Back faces and nearly parallel rays fail; det equal to 1e-6 passes.
    if (det < 1e-6f) return kRejectedByDet;
    const float inv = 1.0f / det;
    // s = o - A; u = (s . p) / det; the lower bound is the double -0.001.
    const float sx = o[0] - a[0], sy = o[1] - a[1], sz = o[2] - a[2];
    u = ((sx * px + sy * py) + sz * pz) * inv;
    if (u < -0.001 || u > 1.001f) return kRejectedByU;
    // q = s x e1; v = (d . q) / det.
    const float qx = sy * e1[2] - sz * e1[1];
    const float qy = sz * e1[0] - sx * e1[2];
    const float qz = sx * e1[1] - sy * e1[0];
    v = ((d[0] * qx + d[1] * qy) + d[2] * qz) * inv;
    if (v < -0.001) return kRejectedByV;
    // The sum at double precision against the single-precision 1.001 widened.
    if (static_cast<double>(u) + static_cast<double>(v) > static_cast<double>(1.001f)) return kRejectedByV;
    t = ((e2[0] * qx + e2[1] * qy) + e2[2] * qz) * inv;
    return kHit;
}

// o, d: ray origin and direction; a: corner A; e1 = B - A; e2 = C - A (x, y, z each).
// On a hit writes the weights b0 = (1 - v) - u, b1 = u, b2 = v and the ray parameter t.
inline bool RayTriangleOneSided(const float o[3], const float d[3], const float a[3], const float e1[3],
                                const float e2[3], float& b0, float& b1, float& b2, float& t) {
    float u = 0.0f, v = 0.0f, s = 0.0f;
    if (RayTriangleStageOf(o, d, a, e1, e2, u, v, s) != kHit) return false;
    b0 = (1.0f - v) - u;
    b1 = u;
    b2 = v;
    t = s;
    return true;
}

// Four triangles in structure-of-arrays form: corner A and the edges B - A and C - A, one
// component per lane vector. Unused lanes hold zeros (det 0: never a hit).
struct alignas(16) TriangleBlock4 {
    float ax[4], ay[4], az[4];
    float e1x[4], e1y[4], e1z[4];
    float e2x[4], e2y[4], e2z[4];
    unsigned index[4];  // triangle index, 0xFFFFFFFF in unused lanes
};

// A ray broadcast to four lanes, made once per query.
struct RayLanes {
    __m128 ox, oy, oz, dx, dy, dz;
    __m128 tMin;  // hits at or before this parameter do not count
    RayLanes(const float o[3], const float d[3], float tMinimum)
        : ox(_mm_set1_ps(o[0])), oy(_mm_set1_ps(o[1])), oz(_mm_set1_ps(o[2])),
          dx(_mm_set1_ps(d[0])), dy(_mm_set1_ps(d[1])), dz(_mm_set1_ps(d[2])), tMin(_mm_set1_ps(tMinimum)) {}
};

// The one-sided test on four triangles at once, with the scalar test's operations in its
// order (so each lane gives the scalar test's u, v and t bit for bit). Returns the lanes that
// hit with tMin < t < tMax, as the bits 0..3 of a mask, and writes every lane's u, v and t.
// skipIndex is a triangle index whose lane never hits (0xFFFFFFFF: none).
inline int RayTriangle4(const RayLanes& r, const TriangleBlock4& block, __m128 tMax, unsigned skipIndex,
                        __m128& u, __m128& v, __m128& t) {
    const __m128 e1x = _mm_load_ps(block.e1x), e1y = _mm_load_ps(block.e1y), e1z = _mm_load_ps(block.e1z);
    const __m128 e2x = _mm_load_ps(block.e2x), e2y = _mm_load_ps(block.e2y), e2z = _mm_load_ps(block.e2z);
    // p = d x e2; det = e1 . p.
    const __m128 px = _mm_sub_ps(_mm_mul_ps(r.dy, e2z), _mm_mul_ps(r.dz, e2y));
    const __m128 py = _mm_sub_ps(_mm_mul_ps(r.dz, e2x), _mm_mul_ps(r.dx, e2z));
    const __m128 pz = _mm_sub_ps(_mm_mul_ps(r.dx, e2y), _mm_mul_ps(r.dy, e2x));
    const __m128 det = _mm_add_ps(_mm_add_ps(_mm_mul_ps(e1x, px), _mm_mul_ps(e1y, py)), _mm_mul_ps(e1z, pz));
    // det >= 1e-6 (NaN fails), and not the skipped triangle.
    const __m128i index = _mm_load_si128(reinterpret_cast<const __m128i*>(block.index));
    const __m128 notSkipped =
        _mm_castsi128_ps(_mm_xor_si128(_mm_cmpeq_epi32(index, _mm_set1_epi32(static_cast<int>(skipIndex))),
                                       _mm_set1_epi32(-1)));
    const __m128 passDet = _mm_and_ps(_mm_cmpge_ps(det, _mm_set1_ps(1e-6f)), notSkipped);
    if (_mm_movemask_ps(passDet) == 0) return 0;
    const __m128 inv = _mm_div_ps(_mm_set1_ps(1.0f), det);
    // s = o - A; u = (s . p) / det.
    const __m128 sx = _mm_sub_ps(r.ox, _mm_load_ps(block.ax));
    const __m128 sy = _mm_sub_ps(r.oy, _mm_load_ps(block.ay));
    const __m128 sz = _mm_sub_ps(r.oz, _mm_load_ps(block.az));
    u = _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(sx, px), _mm_mul_ps(sy, py)), _mm_mul_ps(sz, pz)), inv);
    // q = s x e1; v = (d . q) / det; t = (e2 . q) / det.
    const __m128 qx = _mm_sub_ps(_mm_mul_ps(sy, e1z), _mm_mul_ps(sz, e1y));
    const __m128 qy = _mm_sub_ps(_mm_mul_ps(sz, e1x), _mm_mul_ps(sx, e1z));
    const __m128 qz = _mm_sub_ps(_mm_mul_ps(sx, e1y), _mm_mul_ps(sy, e1x));
    v = _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(r.dx, qx), _mm_mul_ps(r.dy, qy)), _mm_mul_ps(r.dz, qz)), inv);
    t = _mm_mul_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(e2x, qx), _mm_mul_ps(e2y, qy)), _mm_mul_ps(e2z, qz)), inv);
    // Weights: -0.001 <= u <= 1.001, v >= -0.001 (written so that NaN fails).
    const __m128 low = _mm_set1_ps(kAboveMinusThousandth);
    __m128 pass = _mm_and_ps(passDet, _mm_and_ps(_mm_cmpge_ps(u, low), _mm_cmple_ps(u, _mm_set1_ps(1.001f))));
    pass = _mm_and_ps(pass, _mm_cmpge_ps(v, low));
    // Distance: tMin < t < tMax.
    pass = _mm_and_ps(pass, _mm_and_ps(_mm_cmpgt_ps(t, r.tMin), _mm_cmplt_ps(t, tMax)));
    if (_mm_movemask_ps(pass) == 0) return 0;
    // u + v <= 1.001f, the sum in double.
    const __m128d highSum = _mm_set1_pd(static_cast<double>(1.001f));
    const __m128d sumLow = _mm_add_pd(_mm_cvtps_pd(u), _mm_cvtps_pd(v));
    const __m128d sumHigh = _mm_add_pd(_mm_cvtps_pd(_mm_movehl_ps(u, u)), _mm_cvtps_pd(_mm_movehl_ps(v, v)));
    const __m128 sumFails = _mm_shuffle_ps(_mm_castpd_ps(_mm_cmpgt_pd(sumLow, highSum)),
                                           _mm_castpd_ps(_mm_cmpgt_pd(sumHigh, highSum)), _MM_SHUFFLE(2, 0, 2, 0));
    return _mm_movemask_ps(_mm_andnot_ps(sumFails, pass));
}

}  // namespace RAYTR
