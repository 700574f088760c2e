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

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define REDOWL_HAS_AVX2_PATH 1

namespace RAYTR {

// Whether this processor runs the eight-lane tests (checked once; one binary serves any x86-64).
inline bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Lanes lo[0..3] then hi[0..3].
__attribute__((target("avx2"))) inline __m256 LoadLanes8(const float* lo, const float* hi) {
    return _mm256_set_m128(_mm_load_ps(hi), _mm_load_ps(lo));
}

// Eight lanes' weight tests: -0.001 <= u <= 1.001 and v >= -0.001 within pass (NaN fails).
__attribute__((target("avx2"))) inline __m256 WeightsPass8(__m256 pass, __m256 u, __m256 v) {
    const __m256 low = _mm256_set1_ps(kAboveMinusThousandth);
    pass = _mm256_and_ps(pass, _mm256_and_ps(_mm256_cmp_ps(u, low, _CMP_GE_OQ),
                                             _mm256_cmp_ps(u, _mm256_set1_ps(1.001f), _CMP_LE_OQ)));
    return _mm256_and_ps(pass, _mm256_cmp_ps(v, low, _CMP_GE_OQ));
}

// The lanes (bits 0..7) whose u + v exceeds 1.001f, the sum taken in double.
__attribute__((target("avx2"))) inline int SumFails8(__m256 u, __m256 v) {
    const __m256d highSum = _mm256_set1_pd(static_cast<double>(1.001f));
    const __m256d sumLow = _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(u)),
                                         _mm256_cvtps_pd(_mm256_castps256_ps128(v)));
    const __m256d sumHigh = _mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(u, 1)),
                                          _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)));
    return _mm256_movemask_pd(_mm256_cmp_pd(sumLow, highSum, _CMP_GT_OQ)) |
           _mm256_movemask_pd(_mm256_cmp_pd(sumHigh, highSum, _CMP_GT_OQ)) << 4;
}

// The one-sided test on the eight triangles of two consecutive blocks (first[0] and first[1])
// at once, lane for lane the operations of RayTriangle4 and nothing fused (no multiply-add),
// so every lane gives RayTriangle4's u, v and t bit for bit. Returns the passing lanes as bits
// 0..7 (block 0 in bits 0..3) and writes every lane's u, v and t. Call only when CpuHasAvx2().
__attribute__((target("avx2"))) inline int RayTriangle8(const float o[3], const float d[3], float tMinimum,
                                                        const TriangleBlock4* first, float tMax, unsigned skipIndex,
                                                        float u8[8], float v8[8], float t8[8]) {
    const TriangleBlock4& b0 = first[0];
    const TriangleBlock4& b1 = first[1];
    const __m256 dx = _mm256_set1_ps(d[0]), dy = _mm256_set1_ps(d[1]), dz = _mm256_set1_ps(d[2]);
    const __m256 e1x = LoadLanes8(b0.e1x, b1.e1x), e1y = LoadLanes8(b0.e1y, b1.e1y), e1z = LoadLanes8(b0.e1z, b1.e1z);
    const __m256 e2x = LoadLanes8(b0.e2x, b1.e2x), e2y = LoadLanes8(b0.e2y, b1.e2y), e2z = LoadLanes8(b0.e2z, b1.e2z);
    // p = d x e2; det = e1 . p.
    const __m256 px = _mm256_sub_ps(_mm256_mul_ps(dy, e2z), _mm256_mul_ps(dz, e2y));
    const __m256 py = _mm256_sub_ps(_mm256_mul_ps(dz, e2x), _mm256_mul_ps(dx, e2z));
    const __m256 pz = _mm256_sub_ps(_mm256_mul_ps(dx, e2y), _mm256_mul_ps(dy, e2x));
    const __m256 det =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(e1x, px), _mm256_mul_ps(e1y, py)), _mm256_mul_ps(e1z, pz));
    // det >= 1e-6 (NaN fails), and not the skipped triangle.
    const __m256i index = _mm256_set_m128i(_mm_load_si128(reinterpret_cast<const __m128i*>(b1.index)),
                                           _mm_load_si128(reinterpret_cast<const __m128i*>(b0.index)));
    const __m256 skipped =
        _mm256_castsi256_ps(_mm256_cmpeq_epi32(index, _mm256_set1_epi32(static_cast<int>(skipIndex))));
    const __m256 passDet = _mm256_andnot_ps(skipped, _mm256_cmp_ps(det, _mm256_set1_ps(1e-6f), _CMP_GE_OQ));
    if (_mm256_movemask_ps(passDet) == 0) return 0;
    const __m256 inv = _mm256_div_ps(_mm256_set1_ps(1.0f), det);
    // s = o - A; u = (s . p) / det.
    const __m256 sx = _mm256_sub_ps(_mm256_set1_ps(o[0]), LoadLanes8(b0.ax, b1.ax));
    const __m256 sy = _mm256_sub_ps(_mm256_set1_ps(o[1]), LoadLanes8(b0.ay, b1.ay));
    const __m256 sz = _mm256_sub_ps(_mm256_set1_ps(o[2]), LoadLanes8(b0.az, b1.az));
    const __m256 u = _mm256_mul_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(sx, px), _mm256_mul_ps(sy, py)), _mm256_mul_ps(sz, pz)), inv);
    // q = s x e1; v = (d . q) / det; t = (e2 . q) / det.
    const __m256 qx = _mm256_sub_ps(_mm256_mul_ps(sy, e1z), _mm256_mul_ps(sz, e1y));
    const __m256 qy = _mm256_sub_ps(_mm256_mul_ps(sz, e1x), _mm256_mul_ps(sx, e1z));
    const __m256 qz = _mm256_sub_ps(_mm256_mul_ps(sx, e1y), _mm256_mul_ps(sy, e1x));
    const __m256 v = _mm256_mul_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, qx), _mm256_mul_ps(dy, qy)), _mm256_mul_ps(dz, qz)), inv);
    const __m256 t = _mm256_mul_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(e2x, qx), _mm256_mul_ps(e2y, qy)), _mm256_mul_ps(e2z, qz)), inv);
    // Weights and distance, as in RayTriangle4.
    __m256 pass = WeightsPass8(passDet, u, v);
    pass = _mm256_and_ps(pass, _mm256_and_ps(_mm256_cmp_ps(t, _mm256_set1_ps(tMinimum), _CMP_GT_OQ),
                                             _mm256_cmp_ps(t, _mm256_set1_ps(tMax), _CMP_LT_OQ)));
    int mask = _mm256_movemask_ps(pass);
    if (mask == 0) return 0;
    // u + v <= 1.001f, the sum in double.
    mask &= ~SumFails8(u, v);
    if (mask == 0) return 0;
    _mm256_storeu_ps(u8, u);
    _mm256_storeu_ps(v8, v);
    _mm256_storeu_ps(t8, t);
    return mask;
}


// One triangle (lane `lane` of a block) against eight rays at once: the rays' origins and
// directions one component per lane vector, and each ray's t_min and the triangle index it
// skips. Lane for lane the operations of RayTriangle4 (products commute, the sums keep their
// grouping, nothing fused), so every ray gets the u, v and t the one-ray tests give it bit
// for bit. Returns the rays (bits 0..7) whose hit passes the weight tests, is not skipped and
// has t > tMin, and writes every lane's u, v and t; the caller applies the upper limit.
// Call only when CpuHasAvx2().
struct alignas(32) RayLanes8 {
    float ox[8], oy[8], oz[8], dx[8], dy[8], dz[8];
    float tMin[8];
    unsigned skip[8];
};

__attribute__((target("avx2"))) inline int TriangleRays8(const RayLanes8& r, const TriangleBlock4& b, int lane,
                                                         __m256& u, __m256& v, __m256& t) {
    const __m256 e1x = _mm256_broadcast_ss(&b.e1x[lane]), e1y = _mm256_broadcast_ss(&b.e1y[lane]),
                 e1z = _mm256_broadcast_ss(&b.e1z[lane]);
    const __m256 e2x = _mm256_broadcast_ss(&b.e2x[lane]), e2y = _mm256_broadcast_ss(&b.e2y[lane]),
                 e2z = _mm256_broadcast_ss(&b.e2z[lane]);
    const __m256 dx = _mm256_load_ps(r.dx), dy = _mm256_load_ps(r.dy), dz = _mm256_load_ps(r.dz);
    // p = d x e2; det = e1 . p.
    const __m256 px = _mm256_sub_ps(_mm256_mul_ps(dy, e2z), _mm256_mul_ps(dz, e2y));
    const __m256 py = _mm256_sub_ps(_mm256_mul_ps(dz, e2x), _mm256_mul_ps(dx, e2z));
    const __m256 pz = _mm256_sub_ps(_mm256_mul_ps(dx, e2y), _mm256_mul_ps(dy, e2x));
    const __m256 det =
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(e1x, px), _mm256_mul_ps(e1y, py)), _mm256_mul_ps(e1z, pz));
    // det >= 1e-6 (NaN fails), and not the triangle the ray skips.
    const __m256i skipped = _mm256_cmpeq_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(r.skip)),
                                               _mm256_set1_epi32(static_cast<int>(b.index[lane])));
    const __m256 passDet =
        _mm256_andnot_ps(_mm256_castsi256_ps(skipped), _mm256_cmp_ps(det, _mm256_set1_ps(1e-6f), _CMP_GE_OQ));
    if (_mm256_movemask_ps(passDet) == 0) return 0;
    const __m256 inv = _mm256_div_ps(_mm256_set1_ps(1.0f), det);
    // s = o - A; u = (s . p) / det.
    const __m256 sx = _mm256_sub_ps(_mm256_load_ps(r.ox), _mm256_broadcast_ss(&b.ax[lane]));
    const __m256 sy = _mm256_sub_ps(_mm256_load_ps(r.oy), _mm256_broadcast_ss(&b.ay[lane]));
    const __m256 sz = _mm256_sub_ps(_mm256_load_ps(r.oz), _mm256_broadcast_ss(&b.az[lane]));
    u = _mm256_mul_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(sx, px), _mm256_mul_ps(sy, py)), _mm256_mul_ps(sz, pz)), inv);
    // q = s x e1; v = (d . q) / det; t = (e2 . q) / det.
    const __m256 qx = _mm256_sub_ps(_mm256_mul_ps(sy, e1z), _mm256_mul_ps(sz, e1y));
    const __m256 qy = _mm256_sub_ps(_mm256_mul_ps(sz, e1x), _mm256_mul_ps(sx, e1z));
    const __m256 qz = _mm256_sub_ps(_mm256_mul_ps(sx, e1y), _mm256_mul_ps(sy, e1x));
    v = _mm256_mul_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(dx, qx), _mm256_mul_ps(dy, qy)), _mm256_mul_ps(dz, qz)), inv);
    t = _mm256_mul_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(e2x, qx), _mm256_mul_ps(e2y, qy)), _mm256_mul_ps(e2z, qz)), inv);
    // Weights and t > tMin, as in RayTriangle4.
    const __m256 pass =
        _mm256_and_ps(WeightsPass8(passDet, u, v), _mm256_cmp_ps(t, _mm256_load_ps(r.tMin), _CMP_GT_OQ));
    const int mask = _mm256_movemask_ps(pass);
    if (mask == 0) return 0;
    // u + v <= 1.001f, the sum in double.
    return mask & ~SumFails8(u, v);
}

}  // namespace RAYTR
#endif

namespace RAYTR {
// Whether the queries can test eight triangles at once on this processor.
inline bool CpuHasWideTest() {
#ifdef REDOWL_HAS_AVX2_PATH
    return CpuHasAvx2();
#else
    return false;
#endif
}
}  // namespace RAYTR
