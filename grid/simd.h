#pragma once
// A small SIMD layer: W float lanes (Lanes<W>) and their comparison masks (Mask<W>) for the
// widths 1 (plain float), 4 (SSE), 8 (AVX2) and 16 (AVX-512F), with the same operations at
// every width. The ray kernels (grid/kernel_impl.h) are written once over W with these; each
// width is compiled in its own translation unit with its instruction set enabled
// (grid/kernel_*.cpp), so a width's intrinsics only exist where the compiler may emit them.
//
// Every operation is the IEEE single-precision operation of the scalar code, lane by lane, and
// nothing is fused (the kernel files are compiled with -ffp-contract=off), so each lane of a
// wide kernel computes exactly what the scalar kernel computes. Min(a, b) is a < b ? a : b
// and Max(a, b) is a > b ? a : b at every width (the SSE rule: the second operand when either
// is not a number).

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace RAYTR::simd {

template <int W>
struct Lanes;
template <int W>
struct Mask;

// ---- one lane: plain float and bool ---------------------------------------------------------
template <>
struct Lanes<1> {
    float v;
    static Lanes Load(const float* p) { return {p[0]}; }
    static Lanes Set(float x) { return {x}; }
    void Store(float* p) const { p[0] = v; }
};
template <>
struct Mask<1> {
    bool v;
};
inline Lanes<1> operator+(Lanes<1> a, Lanes<1> b) { return {a.v + b.v}; }
inline Lanes<1> operator-(Lanes<1> a, Lanes<1> b) { return {a.v - b.v}; }
inline Lanes<1> operator*(Lanes<1> a, Lanes<1> b) { return {a.v * b.v}; }
inline Lanes<1> operator/(Lanes<1> a, Lanes<1> b) { return {a.v / b.v}; }
inline Lanes<1> Min(Lanes<1> a, Lanes<1> b) { return {a.v < b.v ? a.v : b.v}; }
inline Lanes<1> Max(Lanes<1> a, Lanes<1> b) { return {a.v > b.v ? a.v : b.v}; }
inline Lanes<1> Abs(Lanes<1> a) { return {a.v < 0.0f ? -a.v : (a.v == 0.0f ? 0.0f : a.v)}; }
inline Lanes<1> Neg(Lanes<1> a) { return {-a.v}; }
inline Mask<1> operator<(Lanes<1> a, Lanes<1> b) { return {a.v < b.v}; }
inline Mask<1> operator<=(Lanes<1> a, Lanes<1> b) { return {a.v <= b.v}; }
inline Mask<1> operator>(Lanes<1> a, Lanes<1> b) { return {a.v > b.v}; }
inline Mask<1> operator>=(Lanes<1> a, Lanes<1> b) { return {a.v >= b.v}; }
inline Mask<1> operator==(Lanes<1> a, Lanes<1> b) { return {a.v == b.v}; }
inline Mask<1> operator&(Mask<1> a, Mask<1> b) { return {a.v && b.v}; }
inline Mask<1> operator|(Mask<1> a, Mask<1> b) { return {a.v || b.v}; }
inline Mask<1> AndNot(Mask<1> a, Mask<1> b) { return {!a.v && b.v}; }  // (not a) and b
inline Lanes<1> Select(Mask<1> m, Lanes<1> a, Lanes<1> b) { return {m.v ? a.v : b.v}; }
inline int Bits(Mask<1> m) { return m.v ? 1 : 0; }
inline float HorizontalMin(Lanes<1> a) { return a.v; }

#if defined(__SSE2__)
// ---- four lanes: SSE ------------------------------------------------------------------------
template <>
struct Lanes<4> {
    __m128 v;
    static Lanes Load(const float* p) { return {_mm_load_ps(p)}; }
    static Lanes Set(float x) { return {_mm_set1_ps(x)}; }
    void Store(float* p) const { _mm_store_ps(p, v); }
};
template <>
struct Mask<4> {
    __m128 v;
};
inline Lanes<4> operator+(Lanes<4> a, Lanes<4> b) { return {_mm_add_ps(a.v, b.v)}; }
inline Lanes<4> operator-(Lanes<4> a, Lanes<4> b) { return {_mm_sub_ps(a.v, b.v)}; }
inline Lanes<4> operator*(Lanes<4> a, Lanes<4> b) { return {_mm_mul_ps(a.v, b.v)}; }
inline Lanes<4> operator/(Lanes<4> a, Lanes<4> b) { return {_mm_div_ps(a.v, b.v)}; }
inline Lanes<4> Min(Lanes<4> a, Lanes<4> b) { return {_mm_min_ps(a.v, b.v)}; }
inline Lanes<4> Max(Lanes<4> a, Lanes<4> b) { return {_mm_max_ps(a.v, b.v)}; }
inline Lanes<4> Abs(Lanes<4> a) { return {_mm_andnot_ps(_mm_set1_ps(-0.0f), a.v)}; }
inline Lanes<4> Neg(Lanes<4> a) { return {_mm_xor_ps(_mm_set1_ps(-0.0f), a.v)}; }
inline Mask<4> operator<(Lanes<4> a, Lanes<4> b) { return {_mm_cmplt_ps(a.v, b.v)}; }
inline Mask<4> operator<=(Lanes<4> a, Lanes<4> b) { return {_mm_cmple_ps(a.v, b.v)}; }
inline Mask<4> operator>(Lanes<4> a, Lanes<4> b) { return {_mm_cmpgt_ps(a.v, b.v)}; }
inline Mask<4> operator>=(Lanes<4> a, Lanes<4> b) { return {_mm_cmpge_ps(a.v, b.v)}; }
inline Mask<4> operator==(Lanes<4> a, Lanes<4> b) { return {_mm_cmpeq_ps(a.v, b.v)}; }
inline Mask<4> operator&(Mask<4> a, Mask<4> b) { return {_mm_and_ps(a.v, b.v)}; }
inline Mask<4> operator|(Mask<4> a, Mask<4> b) { return {_mm_or_ps(a.v, b.v)}; }
inline Mask<4> AndNot(Mask<4> a, Mask<4> b) { return {_mm_andnot_ps(a.v, b.v)}; }
inline Lanes<4> Select(Mask<4> m, Lanes<4> a, Lanes<4> b) {
    return {_mm_or_ps(_mm_and_ps(m.v, a.v), _mm_andnot_ps(m.v, b.v))};
}
inline int Bits(Mask<4> m) { return _mm_movemask_ps(m.v); }
// The smallest lane (lanes that are not numbers excepted only where another lane is smaller).
inline float HorizontalMin(Lanes<4> a) {
    __m128 m = _mm_min_ps(a.v, _mm_movehl_ps(a.v, a.v));
    m = _mm_min_ps(m, _mm_shuffle_ps(m, m, 1));
    return _mm_cvtss_f32(m);
}
#endif

#if defined(__AVX2__)
// ---- eight lanes: AVX2 ----------------------------------------------------------------------
template <>
struct Lanes<8> {
    __m256 v;
    static Lanes Load(const float* p) { return {_mm256_load_ps(p)}; }
    static Lanes Set(float x) { return {_mm256_set1_ps(x)}; }
    void Store(float* p) const { _mm256_store_ps(p, v); }
};
template <>
struct Mask<8> {
    __m256 v;
};
inline Lanes<8> operator+(Lanes<8> a, Lanes<8> b) { return {_mm256_add_ps(a.v, b.v)}; }
inline Lanes<8> operator-(Lanes<8> a, Lanes<8> b) { return {_mm256_sub_ps(a.v, b.v)}; }
inline Lanes<8> operator*(Lanes<8> a, Lanes<8> b) { return {_mm256_mul_ps(a.v, b.v)}; }
inline Lanes<8> operator/(Lanes<8> a, Lanes<8> b) { return {_mm256_div_ps(a.v, b.v)}; }
inline Lanes<8> Min(Lanes<8> a, Lanes<8> b) { return {_mm256_min_ps(a.v, b.v)}; }
inline Lanes<8> Max(Lanes<8> a, Lanes<8> b) { return {_mm256_max_ps(a.v, b.v)}; }
inline Lanes<8> Abs(Lanes<8> a) { return {_mm256_andnot_ps(_mm256_set1_ps(-0.0f), a.v)}; }
inline Lanes<8> Neg(Lanes<8> a) { return {_mm256_xor_ps(_mm256_set1_ps(-0.0f), a.v)}; }
inline Mask<8> operator<(Lanes<8> a, Lanes<8> b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask<8> operator<=(Lanes<8> a, Lanes<8> b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_LE_OQ)}; }
inline Mask<8> operator>(Lanes<8> a, Lanes<8> b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GT_OQ)}; }
inline Mask<8> operator>=(Lanes<8> a, Lanes<8> b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask<8> operator==(Lanes<8> a, Lanes<8> b) { return {_mm256_cmp_ps(a.v, b.v, _CMP_EQ_OQ)}; }
inline Mask<8> operator&(Mask<8> a, Mask<8> b) { return {_mm256_and_ps(a.v, b.v)}; }
inline Mask<8> operator|(Mask<8> a, Mask<8> b) { return {_mm256_or_ps(a.v, b.v)}; }
inline Mask<8> AndNot(Mask<8> a, Mask<8> b) { return {_mm256_andnot_ps(a.v, b.v)}; }
inline Lanes<8> Select(Mask<8> m, Lanes<8> a, Lanes<8> b) { return {_mm256_blendv_ps(b.v, a.v, m.v)}; }
inline int Bits(Mask<8> m) { return _mm256_movemask_ps(m.v); }
inline float HorizontalMin(Lanes<8> a) {
    return HorizontalMin(Lanes<4>{_mm_min_ps(_mm256_castps256_ps128(a.v), _mm256_extractf128_ps(a.v, 1))});
}
#endif

#if defined(__AVX512F__)
// ---- sixteen lanes: AVX-512F (masks in mask registers) --------------------------------------
template <>
struct Lanes<16> {
    __m512 v;
    static Lanes Load(const float* p) { return {_mm512_load_ps(p)}; }
    static Lanes Set(float x) { return {_mm512_set1_ps(x)}; }
    void Store(float* p) const { _mm512_store_ps(p, v); }
};
template <>
struct Mask<16> {
    __mmask16 v;
};
inline Lanes<16> operator+(Lanes<16> a, Lanes<16> b) { return {_mm512_add_ps(a.v, b.v)}; }
inline Lanes<16> operator-(Lanes<16> a, Lanes<16> b) { return {_mm512_sub_ps(a.v, b.v)}; }
inline Lanes<16> operator*(Lanes<16> a, Lanes<16> b) { return {_mm512_mul_ps(a.v, b.v)}; }
inline Lanes<16> operator/(Lanes<16> a, Lanes<16> b) { return {_mm512_div_ps(a.v, b.v)}; }
inline Lanes<16> Min(Lanes<16> a, Lanes<16> b) { return {_mm512_min_ps(a.v, b.v)}; }
inline Lanes<16> Max(Lanes<16> a, Lanes<16> b) { return {_mm512_max_ps(a.v, b.v)}; }
inline Lanes<16> Abs(Lanes<16> a) { return {_mm512_abs_ps(a.v)}; }
inline Lanes<16> Neg(Lanes<16> a) { return {_mm512_sub_ps(_mm512_set1_ps(-0.0f), a.v)}; }
inline Mask<16> operator<(Lanes<16> a, Lanes<16> b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LT_OQ)}; }
inline Mask<16> operator<=(Lanes<16> a, Lanes<16> b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_LE_OQ)}; }
inline Mask<16> operator>(Lanes<16> a, Lanes<16> b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GT_OQ)}; }
inline Mask<16> operator>=(Lanes<16> a, Lanes<16> b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_GE_OQ)}; }
inline Mask<16> operator==(Lanes<16> a, Lanes<16> b) { return {_mm512_cmp_ps_mask(a.v, b.v, _CMP_EQ_OQ)}; }
inline Mask<16> operator&(Mask<16> a, Mask<16> b) { return {static_cast<__mmask16>(a.v & b.v)}; }
inline Mask<16> operator|(Mask<16> a, Mask<16> b) { return {static_cast<__mmask16>(a.v | b.v)}; }
inline Mask<16> AndNot(Mask<16> a, Mask<16> b) { return {static_cast<__mmask16>(~a.v & b.v)}; }
inline Lanes<16> Select(Mask<16> m, Lanes<16> a, Lanes<16> b) { return {_mm512_mask_blend_ps(m.v, b.v, a.v)}; }
inline int Bits(Mask<16> m) { return static_cast<int>(m.v); }
inline float HorizontalMin(Lanes<16> a) {
    const __m256 high = _mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(a.v), 1));
    return HorizontalMin(Lanes<8>{_mm256_min_ps(_mm512_castps512_ps256(a.v), high)});
}
#endif

}  // namespace RAYTR::simd
