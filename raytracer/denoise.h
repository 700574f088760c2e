#pragma once
// The denoiser of the shown traced picture: an edge-avoiding à-trous wavelet filter (Dammertz,
// Sewtz, Hanika and Lensch, "Edge-Avoiding À-Trous Wavelet Transform for fast Global
// Illumination Filtering", 2010) steered by each pixel's estimated noise (Schied et al.,
// "Spatiotemporal Variance-Guided Filtering", 2017).
//
// It reads the settling picture's mean colours (sums over counts) and guides
// (raytracer/guides.h) and writes only the shown words: the sums stay the tracer's own, so a
// pass adds to the true mean whatever the filter showed before.
//
//   1. Prepare: the mean colour divided by the first hit's albedo (textures then pass the
//      filter untouched: they are multiplied back at the end), and the variance of the mean's
//      luminance from the running moments, (sum l^2 / n - mean^2) / (n - 1), in the same
//      albedo-divided units. With fewer than kTemporalSamples samples the moments say little:
//      the variance of the 5 x 5 neighbourhood stands in.
//   2. kLevels levels of the B3-spline kernel (1/16, 1/4, 3/8, 1/4, 1/16) with holes of 1, 2,
//      4, 8 and 16 pixels. A neighbour's weight falls with the difference of normals (cosine to
//      the power 128), of distance (against the centre's own distance gradient), of albedo, and
//      of luminance measured in standard deviations of the centre's noise (its variance
//      blurred 3 x 3). The variance is filtered along with squared weights, so each level's
//      luminance test is as strict as the noise left.
//   3. The albedo multiplied back; the result kept within Spread(n) standard deviations of the
//      pixel's own mean: 3 up to 32 samples, then falling as 1/n^2 (0.05 at 256), faster than
//      the noise of the mean falls (1/sqrt(n)): as samples grow the luminance weights and this
//      bound make the shown picture the mean itself, within a grey level once settled.
//
// Runs on the tracer's tile team: every pass writes each pixel once, from values of the pass
// before, so the result is the same bytes for any thread count. Loops run over a tile row's
// contiguous pixels (vectorised by the compiler); the planes and the rows' scratch are
// allocated with the picture, never per frame.

#include <cstdint>
#include <memory>
#include <vector>

#include "math/vector.h"
#include "raytracer/guides.h"
#include "raytracer/tile_team.h"

namespace RAYTR {

class Denoiser {
public:
    static constexpr int kLevels = 5;
    static constexpr std::uint32_t kTemporalSamples = 4;
    // Bytes a pixel takes (two ping-pong planes of illumination and variance, and the raw
    // variance of the mean).
    static constexpr std::int64_t kBytesPerPixel = 9 * sizeof(float);

    explicit Denoiser(TilePasses& passes);
    Denoiser(const Denoiser&) = delete;
    Denoiser& operator=(const Denoiser&) = delete;

    // Filters the picture whose per-pixel colour sums are `sums` (guides.counts samples each)
    // and writes the shown RGBA words.
    void Filter(const ORVA_MATH::VECTOR* sums, const GuideBuffers& guides, std::uint32_t* words);

    // The largest deviation (in standard deviations of the mean's luminance) the shown colour
    // may have from the mean of a pixel of n samples.
    static float Spread(std::uint32_t n);

private:
    struct Row;  // one thread's scratch for a tile row
    void PrepareTile(ScreenTile& tile, int thread);
    void VarianceTile(ScreenTile& tile, int thread);
    void LevelTile(ScreenTile& tile, int thread);
    // The centre values of tile row r for level_ into the thread's scratch.
    void Centres(const ScreenTile& tile, int r, Row& row) const;
    // Accumulates the taps of kernel row dy into the scratch.
    void Taps(const ScreenTile& tile, int r, int dy, Row& row) const;
    void Finish(const ScreenTile& tile, int r, const Row& row);

    TilePasses& passes_;
    int width_ = 0, height_ = 0, rowLength_ = 0;
    std::unique_ptr<float[]> planes_;
    float* illum_[2][3] = {};
    float* var_[2] = {};
    float* rawVar_ = nullptr;  // the mean's variance from the moments, < 0 without enough samples
    std::unique_ptr<float[]> scratch_;  // per thread: Row's arrays of rowLength_ floats
    // The pass being run.
    const ORVA_MATH::VECTOR* sums_ = nullptr;
    const GuideBuffers* guides_ = nullptr;
    std::uint32_t* words_ = nullptr;
    int level_ = 0;
};

}  // namespace RAYTR
