#pragma once
// Triangle-box overlap by separating axes, after T. Akenine-Moeller, "Fast 3D Triangle-Box
// Overlap Testing", Journal of Graphics Tools 6(1), 2001: the nine edge-cross-axis axes, the
// three coordinate axes, then the triangle's plane. Every comparison is strict, so a triangle
// that only touches the box (face, edge or corner) overlaps it.

#include <algorithm>
#include <cmath>

namespace RAYTR {

namespace tri_box_detail {

inline bool PlaneBoxOverlap(const float normal[3], const float vert[3], const float half[3]) {
    float vmin[3], vmax[3];
    for (int q = 0; q < 3; ++q) {
        const float v = vert[q];
        if (normal[q] > 0.0f) {
            vmin[q] = -half[q] - v;
            vmax[q] = half[q] - v;
        } else {
            vmin[q] = half[q] - v;
            vmax[q] = -half[q] - v;
        }
    }
    const float dmin = normal[0] * vmin[0] + normal[1] * vmin[1] + normal[2] * vmin[2];
    if (dmin > 0.0f) return false;
    const float dmax = normal[0] * vmax[0] + normal[1] * vmax[1] + normal[2] * vmax[2];
    return dmax >= 0.0f;
}

}  // namespace tri_box_detail

// True when the triangle (v0, v1, v2) and the axis-aligned box (centre, half sizes) overlap.
inline bool TriangleBoxOverlap(const float centre[3], const float half[3], const float t0[3], const float t1[3],
                               const float t2[3]) {
    // Translate the triangle so that the box is centred at the origin.
    float v0[3], v1[3], v2[3], e0[3], e1[3], e2[3];
    for (int q = 0; q < 3; ++q) {
        v0[q] = t0[q] - centre[q];
        v1[q] = t1[q] - centre[q];
        v2[q] = t2[q] - centre[q];
    }
    for (int q = 0; q < 3; ++q) {
        e0[q] = v1[q] - v0[q];
        e1[q] = v2[q] - v1[q];
        e2[q] = v0[q] - v2[q];
    }
    // Separated on one axis when the projected triangle lies wholly beyond the box's radius.
    auto separated = [](float p, float q, float rad) {
        const float lo = std::min(p, q), hi = std::max(p, q);
        return lo > rad || hi < -rad;
    };
    // Edge x X-axis: projections p = a * v[Y] - b * v[Z].
    auto axisX = [&](float a, float b, float fa, float fb, const float* va, const float* vb) {
        return separated(a * va[1] - b * va[2], a * vb[1] - b * vb[2], fa * half[1] + fb * half[2]);
    };
    // Edge x Y-axis: p = -a * v[X] + b * v[Z].
    auto axisY = [&](float a, float b, float fa, float fb, const float* va, const float* vb) {
        return separated(-a * va[0] + b * va[2], -a * vb[0] + b * vb[2], fa * half[0] + fb * half[2]);
    };
    // Edge x Z-axis: p = a * v[X] - b * v[Y].
    auto axisZ = [&](float a, float b, float fa, float fb, const float* va, const float* vb) {
        return separated(a * va[0] - b * va[1], a * vb[0] - b * vb[1], fa * half[0] + fb * half[1]);
    };
    // The nine cross-product axes (for each edge, the two corners that project differently).
    float fex = std::fabs(e0[0]), fey = std::fabs(e0[1]), fez = std::fabs(e0[2]);
    if (axisX(e0[2], e0[1], fez, fey, v0, v2)) return false;
    if (axisY(e0[2], e0[0], fez, fex, v0, v2)) return false;
    if (axisZ(e0[1], e0[0], fey, fex, v1, v2)) return false;
    fex = std::fabs(e1[0]); fey = std::fabs(e1[1]); fez = std::fabs(e1[2]);
    if (axisX(e1[2], e1[1], fez, fey, v0, v2)) return false;
    if (axisY(e1[2], e1[0], fez, fex, v0, v2)) return false;
    if (axisZ(e1[1], e1[0], fey, fex, v0, v1)) return false;
    fex = std::fabs(e2[0]); fey = std::fabs(e2[1]); fez = std::fabs(e2[2]);
    if (axisX(e2[2], e2[1], fez, fey, v0, v1)) return false;
    if (axisY(e2[2], e2[0], fez, fex, v0, v1)) return false;
    if (axisZ(e2[1], e2[0], fey, fex, v1, v2)) return false;
    // The three coordinate axes against the triangle's extent.
    for (int q = 0; q < 3; ++q) {
        const float lo = std::min({v0[q], v1[q], v2[q]}), hi = std::max({v0[q], v1[q], v2[q]});
        if (lo > half[q] || hi < -half[q]) return false;
    }
    // The triangle's plane against the box.
    const float normal[3] = {e0[1] * e1[2] - e0[2] * e1[1], e0[2] * e1[0] - e0[0] * e1[2],
                             e0[0] * e1[1] - e0[1] * e1[0]};
    return tri_box_detail::PlaneBoxOverlap(normal, v0, half);
}

}  // namespace RAYTR

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace RAYTR {

namespace tri_box_detail {

#define REDOWL_AVX2 __attribute__((target("avx2"))) inline
REDOWL_AVX2 __m256 Neg(__m256 x) { return _mm256_xor_ps(_mm256_set1_ps(-0.0f), x); }
REDOWL_AVX2 __m256 Abs(__m256 x) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), x); }
REDOWL_AVX2 __m256 Mul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
// Lanes where the projections p and q lie wholly beyond rad: std::min(p, q) is q < p ? q : p
// and std::max(p, q) is p < q ? q : p, that is min_ps(q, p) and max_ps(q, p).
REDOWL_AVX2 __m256 Separated(__m256 p, __m256 q, __m256 rad) {
    const __m256 lo = _mm256_min_ps(q, p), hi = _mm256_max_ps(q, p);
    return _mm256_or_ps(_mm256_cmp_ps(lo, rad, _CMP_GT_OQ), _mm256_cmp_ps(hi, Neg(rad), _CMP_LT_OQ));
}
// Edge x X-axis: a * v[Y] - b * v[Z] against fa * half[Y] + fb * half[Z]; Y and Z likewise.
REDOWL_AVX2 __m256 AxisX(__m256 a, __m256 b, const __m256* va, const __m256* vb, const __m256* h) {
    return Separated(_mm256_sub_ps(Mul(a, va[1]), Mul(b, va[2])), _mm256_sub_ps(Mul(a, vb[1]), Mul(b, vb[2])),
                     _mm256_add_ps(Mul(Abs(a), h[1]), Mul(Abs(b), h[2])));
}
REDOWL_AVX2 __m256 AxisY(__m256 a, __m256 b, const __m256* va, const __m256* vb, const __m256* h) {
    return Separated(_mm256_add_ps(Mul(Neg(a), va[0]), Mul(b, va[2])), _mm256_add_ps(Mul(Neg(a), vb[0]), Mul(b, vb[2])),
                     _mm256_add_ps(Mul(Abs(a), h[0]), Mul(Abs(b), h[2])));
}
REDOWL_AVX2 __m256 AxisZ(__m256 a, __m256 b, const __m256* va, const __m256* vb, const __m256* h) {
    return Separated(_mm256_sub_ps(Mul(a, va[0]), Mul(b, va[1])), _mm256_sub_ps(Mul(a, vb[0]), Mul(b, vb[1])),
                     _mm256_add_ps(Mul(Abs(a), h[0]), Mul(Abs(b), h[1])));
}
#undef REDOWL_AVX2

}  // namespace tri_box_detail

// TriangleBoxOverlap for eight boxes of one triangle at once (lane i: the box centred on
// (cx[i], cy[i], cz[i]) with the half sizes half), lane for lane the scalar test's operations
// (every value rounded as there, nothing fused), so each lane decides as the scalar test does.
// Returns the overlapping lanes as bits 0..7. Call only where the processor has AVX2.
__attribute__((target("avx2"))) inline int TriangleBoxOverlap8(const float cx[8], const float cy[8],
                                                               const float cz[8], const float half[3],
                                                               const float t0[3], const float t1[3],
                                                               const float t2[3]) {
    using namespace tri_box_detail;
    const __m256 c[3] = {_mm256_loadu_ps(cx), _mm256_loadu_ps(cy), _mm256_loadu_ps(cz)};
    const __m256 h[3] = {_mm256_set1_ps(half[0]), _mm256_set1_ps(half[1]), _mm256_set1_ps(half[2])};
    __m256 v0[3], v1[3], v2[3], e0[3], e1[3], e2[3];
    for (int q = 0; q < 3; ++q) {
        v0[q] = _mm256_sub_ps(_mm256_set1_ps(t0[q]), c[q]);
        v1[q] = _mm256_sub_ps(_mm256_set1_ps(t1[q]), c[q]);
        v2[q] = _mm256_sub_ps(_mm256_set1_ps(t2[q]), c[q]);
    }
    for (int q = 0; q < 3; ++q) {
        e0[q] = _mm256_sub_ps(v1[q], v0[q]);
        e1[q] = _mm256_sub_ps(v2[q], v1[q]);
        e2[q] = _mm256_sub_ps(v0[q], v2[q]);
    }
    // The nine cross-product axes, as the scalar test takes them.
    __m256 out = AxisX(e0[2], e0[1], v0, v2, h);
    out = _mm256_or_ps(out, AxisY(e0[2], e0[0], v0, v2, h));
    out = _mm256_or_ps(out, AxisZ(e0[1], e0[0], v1, v2, h));
    out = _mm256_or_ps(out, AxisX(e1[2], e1[1], v0, v2, h));
    out = _mm256_or_ps(out, AxisY(e1[2], e1[0], v0, v2, h));
    out = _mm256_or_ps(out, AxisZ(e1[1], e1[0], v0, v1, h));
    out = _mm256_or_ps(out, AxisX(e2[2], e2[1], v0, v1, h));
    out = _mm256_or_ps(out, AxisY(e2[2], e2[0], v0, v1, h));
    out = _mm256_or_ps(out, AxisZ(e2[1], e2[0], v1, v2, h));
    // The coordinate axes: std::min({a, b, c}) keeps the first of equal values, as min_ps(b, a) does.
    for (int q = 0; q < 3; ++q) {
        const __m256 lo = _mm256_min_ps(v2[q], _mm256_min_ps(v1[q], v0[q]));
        const __m256 hi = _mm256_max_ps(v2[q], _mm256_max_ps(v1[q], v0[q]));
        out = _mm256_or_ps(out, _mm256_or_ps(_mm256_cmp_ps(lo, h[q], _CMP_GT_OQ),
                                             _mm256_cmp_ps(hi, Neg(h[q]), _CMP_LT_OQ)));
    }
    // The plane: normal = e0 x e1; the box corner nearest along it and the farthest.
    const __m256 n[3] = {_mm256_sub_ps(Mul(e0[1], e1[2]), Mul(e0[2], e1[1])),
                         _mm256_sub_ps(Mul(e0[2], e1[0]), Mul(e0[0], e1[2])),
                         _mm256_sub_ps(Mul(e0[0], e1[1]), Mul(e0[1], e1[0]))};
    __m256 vmin[3], vmax[3];
    for (int q = 0; q < 3; ++q) {
        const __m256 positive = _mm256_cmp_ps(n[q], _mm256_setzero_ps(), _CMP_GT_OQ);
        const __m256 a = _mm256_sub_ps(Neg(h[q]), v0[q]), b = _mm256_sub_ps(h[q], v0[q]);
        vmin[q] = _mm256_blendv_ps(b, a, positive);
        vmax[q] = _mm256_blendv_ps(a, b, positive);
    }
    const __m256 dmin = _mm256_add_ps(_mm256_add_ps(Mul(n[0], vmin[0]), Mul(n[1], vmin[1])), Mul(n[2], vmin[2]));
    const __m256 dmax = _mm256_add_ps(_mm256_add_ps(Mul(n[0], vmax[0]), Mul(n[1], vmax[1])), Mul(n[2], vmax[2]));
    out = _mm256_or_ps(out, _mm256_cmp_ps(dmin, _mm256_setzero_ps(), _CMP_GT_OQ));
    out = _mm256_or_ps(out, _mm256_cmp_ps(dmax, _mm256_setzero_ps(), _CMP_NGE_UQ));  // not dmax >= 0
    return ~_mm256_movemask_ps(out) & 0xFF;
}

}  // namespace RAYTR
#endif
