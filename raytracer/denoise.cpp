#include "raytracer/denoise.h"

#include <algorithm>
#include <cmath>
#include <limits>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "raytracer/pixel_words.h"


// The tap row is compiled for AVX2 and for the base instruction set, chosen once by the loader.
// Under ThreadSanitizer the loader would run the choosing function before the sanitizer's runtime
// exists (a crash at start-up), so that build keeps the base version only.
#if defined(__SANITIZE_THREAD__)
#define REDOWL_TAP_CLONES
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define REDOWL_TAP_CLONES
#endif
#endif
#ifndef REDOWL_TAP_CLONES
#define REDOWL_TAP_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace RAYTR {

namespace {

constexpr float kKernel[5] = {1.0f / 16.0f, 1.0f / 4.0f, 3.0f / 8.0f, 1.0f / 4.0f, 1.0f / 16.0f};
constexpr float kSigmaLuminance = 4.0f;   // standard deviations of the centre's noise
constexpr float kSigmaAlbedo = 0.25f;     // summed over the three channels
constexpr float kDepthRelative = 2e-3f;   // distance tolerance beside the gradient's, per unit
constexpr float kAlbedoFloor = 0.02f;     // a black surface still divides finitely
constexpr float kTiny = 1e-6f;
// Largest illumination and variance the filter takes: an infinite or NaN sample (which the
// shading should never give) must not spread over the kernel's 61 x 61 pixels.
constexpr float kMostIllumination = 1e4f;
constexpr float kMostVariance = 1e8f;

// c in [0, limit]; NaN gives 0.
inline float Limited(float c, float limit) { return c > 0.0f ? std::min(c, limit) : 0.0f; }

// Weights are exp(e) for e <= 0 from (1 + e / 256)^256: within 1% of it down to e = -3, which
// is where weights still matter, and a handful of multiplications that vectorise. Below -30 a
// weight is none.
inline float WeightOf(float e) {
    float x = 1.0f + std::max(e, -256.0f) * (1.0f / 256.0f);
    x *= x, x *= x, x *= x, x *= x;
    x *= x, x *= x, x *= x, x *= x;
    return x * static_cast<float>(e > -30.0f);
}

// max(c, 0)^128.
inline float NormalWeight(float c) {
    float x = std::max(c, 0.0f);
    x *= x, x *= x, x *= x, x *= x;
    x *= x, x *= x, x *= x;
    return x;
}

inline float Luminance(float r, float g, float b) { return 0.299f * r + 0.587f * g + 0.114f * b; }

// Tiny weights must not turn into denormals, which cost a hundred times a normal operation:
// flushed to zero while a tile is filtered (the thread's own floating-point mode, restored
// after, so the tracer's arithmetic is untouched).
class FlushDenormals {
public:
#if defined(__SSE__)
    FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }  // FTZ | DAZ
    ~FlushDenormals() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
#endif
};

}  // namespace

// One thread's scratch for a row of a tile: the centre pixels' values and the sums of the taps.
struct Denoiser::Row {
    float *lum, *nx, *ny, *nz, *depth, *gradient, *tolerance, *a0, *a1, *a2;
    float *acc0, *acc1, *acc2, *weight, *variance;
    static constexpr int kArrays = 15;
};

float Denoiser::Spread(std::uint32_t n) {
    if (n < kTemporalSamples) return std::numeric_limits<float>::infinity();
    const float fall = std::min(1.0f, 32.0f / static_cast<float>(n));
    return 3.0f * fall * fall;
}

Denoiser::Denoiser(TilePasses& passes) : passes_(passes), width_(passes.Window().Width()), height_(passes.Window().Height()) {
    const auto count = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    planes_ = std::make_unique_for_overwrite<float[]>(count * 9);
    for (int b = 0; b < 2; ++b) {
        for (int k = 0; k < 3; ++k) illum_[b][k] = planes_.get() + count * static_cast<std::size_t>(b * 4 + k);
        var_[b] = planes_.get() + count * static_cast<std::size_t>(b * 4 + 3);
    }
    rawVar_ = planes_.get() + count * 8;
    for (const ScreenTile& t : passes.Window().Tiles()) rowLength_ = std::max(rowLength_, t.colEnd - t.colStart);
    scratch_ = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(passes.Threads()) * Row::kArrays *
                                                       static_cast<std::size_t>(rowLength_));
}

void Denoiser::Filter(const VECTOR* sums, const GuideBuffers& guides, std::uint32_t* words) {
    sums_ = sums;
    guides_ = &guides;
    words_ = words;
    Tiling& window = passes_.Window();
    passes_.Run(window, this, &Denoiser::PrepareTile);
    passes_.Run(window, this, &Denoiser::VarianceTile);
    for (level_ = 0; level_ < kLevels; ++level_) passes_.Run(window, this, &Denoiser::LevelTile);
}

void Denoiser::PrepareTile(ScreenTile& tile, int) {
    // The albedo-divided mean and the variance of the mean's luminance (colour units).
    const GuideBuffers& g = *guides_;
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int p = r * width_ + tile.colStart, end = r * width_ + tile.colEnd; p < end; ++p) {
            const std::uint32_t n = g.counts[p];
            const VECTOR mean = sums_[p] * (1.0f / static_cast<float>(n));
            const float rgb[3] = {Limited(mean.x, kMostIllumination), Limited(mean.z, kMostIllumination),
                                  Limited(mean.y, kMostIllumination)};
            for (int k = 0; k < 3; ++k) illum_[0][k][p] = rgb[k] / std::max(g.albedo[k][p], kAlbedoFloor);
            float v = -1.0f;
            if (n >= kTemporalSamples) {
                const float l = Luminance(rgb[0], rgb[1], rgb[2]);
                v = Limited((g.lumSquares[p] / static_cast<float>(n) - l * l) / static_cast<float>(n - 1), kMostVariance);
            }
            rawVar_[p] = v;
        }
}

void Denoiser::VarianceTile(ScreenTile& tile, int) {
    // The filter's variance (albedo-divided units): the moments' where there are enough
    // samples, else the luminance variance of the 5 x 5 neighbourhood.
    const GuideBuffers& g = *guides_;
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int c = tile.colStart; c < tile.colEnd; ++c) {
            const int p = r * width_ + c;
            const float a = std::max(Luminance(g.albedo[0][p], g.albedo[1][p], g.albedo[2][p]), kAlbedoFloor);
            if (rawVar_[p] >= 0.0f) {
                var_[0][p] = Limited(rawVar_[p] / (a * a), kMostVariance);
                continue;
            }
            float sum = 0.0f, squares = 0.0f;
            int taken = 0;
            for (int y = std::max(r - 2, 0); y <= std::min(r + 2, height_ - 1); ++y)
                for (int x = std::max(c - 2, 0); x <= std::min(c + 2, width_ - 1); ++x) {
                    const int q = y * width_ + x;
                    const float l = Luminance(illum_[0][0][q], illum_[0][1][q], illum_[0][2][q]);
                    sum += l;
                    squares += l * l;
                    ++taken;
                }
            const float m = sum / static_cast<float>(taken);
            var_[0][p] = Limited(squares / static_cast<float>(taken) - m * m, kMostVariance);
        }
}

void Denoiser::LevelTile(ScreenTile& tile, int thread) {
    const FlushDenormals flush;
    float* base = scratch_.get() + static_cast<std::size_t>(thread) * Row::kArrays * static_cast<std::size_t>(rowLength_);
    Row row;
    float** arrays[Row::kArrays] = {&row.lum, &row.nx, &row.ny, &row.nz, &row.depth, &row.gradient, &row.tolerance, &row.a0,
                                    &row.a1, &row.a2, &row.acc0, &row.acc1, &row.acc2, &row.weight, &row.variance};
    for (int i = 0; i < Row::kArrays; ++i) *arrays[i] = base + static_cast<std::size_t>(i) * static_cast<std::size_t>(rowLength_);
    for (int r = tile.rowStart; r < tile.rowEnd; ++r) {
        Centres(tile, r, row);
        for (int dy = -2; dy <= 2; ++dy) Taps(tile, r, dy, row);
        Finish(tile, r, row);
    }
}

void Denoiser::Centres(const ScreenTile& tile, int r, Row& row) const {
    const GuideBuffers& g = *guides_;
    const int in = level_ & 1;
    const float* const* I = illum_[in];
    const float* V = var_[in];
    const float* z = g.depth;
    for (int c = tile.colStart, i = 0; c < tile.colEnd; ++c, ++i) {
        const int p = r * width_ + c;
        row.lum[i] = Luminance(I[0][p], I[1][p], I[2][p]);
        row.nx[i] = g.normal[0][p], row.ny[i] = g.normal[1][p], row.nz[i] = g.normal[2][p];
        row.a0[i] = g.albedo[0][p], row.a1[i] = g.albedo[1][p], row.a2[i] = g.albedo[2][p];
        row.depth[i] = z[p];
        // The distance's change per pixel: the smaller one-sided difference each way (a
        // silhouette's far side does not count), the larger of the two ways.
        const float left = c > 0 ? std::fabs(z[p] - z[p - 1]) : std::numeric_limits<float>::max();
        const float right = c + 1 < width_ ? std::fabs(z[p + 1] - z[p]) : left;
        const float down = r > 0 ? std::fabs(z[p] - z[p - width_]) : std::numeric_limits<float>::max();
        const float up = r + 1 < height_ ? std::fabs(z[p + width_] - z[p]) : down;
        float gx = std::min(left, right), gy = std::min(down, up);
        if (!(gx < 1e30f)) gx = 0.0f;
        if (!(gy < 1e30f)) gy = 0.0f;
        row.gradient[i] = std::max(gx, gy) + kDepthRelative * z[p];
        // The luminance tolerance from the variance blurred 3 x 3 (1 2 1 each way).
        float v = 0.0f, w = 0.0f;
        for (int y = std::max(r - 1, 0); y <= std::min(r + 1, height_ - 1); ++y)
            for (int x = std::max(c - 1, 0); x <= std::min(c + 1, width_ - 1); ++x) {
                const float k = (y == r ? 2.0f : 1.0f) * (x == c ? 2.0f : 1.0f);
                v += k * V[y * width_ + x];
                w += k;
            }
        row.tolerance[i] = 1.0f / (kSigmaLuminance * std::sqrt(v / w) + kTiny);
        row.acc0[i] = row.acc1[i] = row.acc2[i] = row.weight[i] = row.variance[i] = 0.0f;
    }
}

namespace {

// One tap of the kernel for the centres [lo, hi) of a row: the neighbours' planes are offset so
// that index i is centre i's neighbour. Parameters, not locals, carry the no-overlap promise:
// GCC honours __restrict only there, and the loop vectorises only with it. An AVX2 copy runs
// where the processor has it: eight lanes instead of four, each computing the same operations
// in the same order (nothing fused), so the same values.
REDOWL_TAP_CLONES void TapRow(int lo, int hi, float h, float distance, const float* __restrict i0, const float* __restrict i1,
            const float* __restrict i2, const float* __restrict v, const float* __restrict n0, const float* __restrict n1,
            const float* __restrict n2, const float* __restrict z, const float* __restrict a0, const float* __restrict a1,
            const float* __restrict a2, const float* __restrict cl, const float* __restrict cx, const float* __restrict cy,
            const float* __restrict cz, const float* __restrict cd, const float* __restrict cg, const float* __restrict ct,
            const float* __restrict ca0, const float* __restrict ca1, const float* __restrict ca2, float* __restrict s0,
            float* __restrict s1, float* __restrict s2, float* __restrict sw, float* __restrict sv) {
    for (int i = lo; i < hi; ++i) {
        const float l = Luminance(i0[i], i1[i], i2[i]);
        const float wn = NormalWeight(cx[i] * n0[i] + cy[i] * n1[i] + cz[i] * n2[i]);
        const float e = -(std::fabs(z[i] - cd[i]) / (cg[i] * distance + kTiny) + std::fabs(l - cl[i]) * ct[i] +
                          (std::fabs(a0[i] - ca0[i]) + std::fabs(a1[i] - ca1[i]) + std::fabs(a2[i] - ca2[i])) *
                              (1.0f / kSigmaAlbedo));
        const float w = h * wn * WeightOf(e);
        s0[i] += w * i0[i];
        s1[i] += w * i1[i];
        s2[i] += w * i2[i];
        sw[i] += w;
        sv[i] += w * w * v[i];
    }
}

}  // namespace

void Denoiser::Taps(const ScreenTile& tile, int r, int dy, Row& row) const {
    const int step = 1 << level_;
    const int y = r + dy * step;
    if (y < 0 || y >= height_) return;
    const GuideBuffers& g = *guides_;
    const int in = level_ & 1;
    const float hy = kKernel[dy + 2];
    const int n = tile.colEnd - tile.colStart;
    for (int dx = -2; dx <= 2; ++dx) {
        const int offset = dx * step;
        // Centre columns whose neighbour lies in the window.
        const int lo = std::max(0, -(tile.colStart + offset)), hi = std::min(n, width_ - tile.colStart - offset);
        const std::ptrdiff_t q = std::ptrdiff_t{y} * width_ + tile.colStart + offset;
        TapRow(lo, hi, hy * kKernel[dx + 2], static_cast<float>(step * (std::abs(dx) + std::abs(dy))), illum_[in][0] + q,
               illum_[in][1] + q, illum_[in][2] + q, var_[in] + q, g.normal[0] + q, g.normal[1] + q, g.normal[2] + q, g.depth + q,
               g.albedo[0] + q, g.albedo[1] + q, g.albedo[2] + q, row.lum, row.nx, row.ny, row.nz, row.depth, row.gradient,
               row.tolerance, row.a0, row.a1, row.a2, row.acc0, row.acc1, row.acc2, row.weight, row.variance);
    }
}

void Denoiser::Finish(const ScreenTile& tile, int r, const Row& row) {
    const int in = level_ & 1;
    const GuideBuffers& g = *guides_;
    for (int c = tile.colStart, i = 0; c < tile.colEnd; ++c, ++i) {
        const int p = r * width_ + c;
        // The centre's own weight is never below h0^2 (its taps agree with themselves but for
        // the normal's rounding), so the sum is positive.
        const float w = row.weight[i] > 0.0f ? row.weight[i] : 1.0f;
        float out[3] = {row.acc0[i] / w, row.acc1[i] / w, row.acc2[i] / w};
        if (row.weight[i] <= 0.0f)
            for (int k = 0; k < 3; ++k) out[k] = illum_[in][k][p];
        if (level_ + 1 < kLevels) {
            for (int k = 0; k < 3; ++k) illum_[in ^ 1][k][p] = out[k];
            var_[in ^ 1][p] = row.weight[i] > 0.0f ? row.variance[i] / (w * w) : var_[in][p];
            continue;
        }
        // The albedo back, then within Spread standard deviations of the pixel's own mean.
        const std::uint32_t n = g.counts[p];
        const VECTOR mean = sums_[p] * (1.0f / static_cast<float>(n));
        const float m[3] = {mean.x, mean.z, mean.y};
        float bound = std::numeric_limits<float>::infinity();
        if (n >= kTemporalSamples) {
            float v = 0.0f;
            int taken = 0;
            for (int y = std::max(r - 1, 0); y <= std::min(r + 1, height_ - 1); ++y)
                for (int x = std::max(c - 1, 0); x <= std::min(c + 1, width_ - 1); ++x)
                    if (rawVar_[y * width_ + x] >= 0.0f) v += rawVar_[y * width_ + x], ++taken;
            bound = Spread(n) * std::sqrt(v / static_cast<float>(std::max(taken, 1)));
        }
        float rgb[3];
        for (int k = 0; k < 3; ++k) {
            const float colour = out[k] * std::max(g.albedo[k][p], kAlbedoFloor);
            rgb[k] = std::clamp(colour, m[k] - bound, m[k] + bound);
        }
        words_[p] = PixelWord(VECTOR(rgb[0], rgb[2], rgb[1], 0.0f));
    }
}

}  // namespace RAYTR
