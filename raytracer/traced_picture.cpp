// The traced image's full frames, their smoothing and the settling passes. Every pixel is
// written by one tile only, so the stores are plain.

#include "raytracer/traced_picture.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "errors/errors.h"
#include "raytracer/pixel_words.h"
#include "raytracer/scene.h"
#include "raytracer/screen_camera.h"
#include "raytracer/shading.h"

namespace RAYTR {

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Whether a pixel of luminance l stands out from both neighbours a and b: darker than 0.8 of
// the darker one (while that one is above 30) or brighter than 1.25 times the brighter one
// (while the pixel is above 30). A little wider than what a viewer sees as a speck.
inline bool StandsOut(float l, float a, float b) {
    const float lo = std::min(a, b), hi = std::max(a, b);
    return (lo > 30.0f && l < 0.8f * lo) || (l > 30.0f && l > 1.25f * hi);
}

// A shown channel value in [0, 1] (what ChannelByte turns into a byte, before truncation).
inline float Shown(float c) { return c > 0.0f ? (c < 1.0f ? c : 1.0f) : 0.0f; }

}  // namespace

std::int64_t TracedPicture::TableBytes(int width, int height) {
    const std::int64_t pixels = std::int64_t{width} * height;
    const std::int64_t lattice = std::int64_t{(width + 1) / 2} * ((height + 1) / 2);
    const std::int64_t blocks = std::int64_t{(width + kErrorBlock - 1) / kErrorBlock} * ((height + kErrorBlock - 1) / kErrorBlock);
    return pixels * (static_cast<std::int64_t>(sizeof(std::uint32_t) + sizeof(VECTOR) + 1) + GuideBuffers::kBytesPerPixel +
                     Denoiser::kBytesPerPixel) +
           lattice * static_cast<std::int64_t>(sizeof(PrimarySurface)) + blocks * static_cast<std::int64_t>(sizeof(float) + 1);
}

TracedPicture::TracedPicture(TilePasses& passes, const ScreenCamera& camera)
    : passes_(passes),
      camera_(camera),
      width_(passes.Window().Width()),
      height_(passes.Window().Height()),
      guides_(std::int64_t{passes.Window().Width()} * passes.Window().Height()),
      denoiser_(passes) {
    const auto count = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    // Written by the frames before anything reads them; nothing is shown before a frame.
    words_ = std::make_unique_for_overwrite<std::uint32_t[]>(count);
    sums_ = std::make_unique_for_overwrite<VECTOR[]>(count);
    state_ = std::make_unique<std::uint8_t[]>(count);
    surfaces_ = std::make_unique<PrimarySurface[]>(static_cast<std::size_t>((width_ + 1) / 2) * ((height_ + 1) / 2));
    blockCols_ = (width_ + kErrorBlock - 1) / kErrorBlock;
    blockRows_ = (height_ + kErrorBlock - 1) / kErrorBlock;
    const auto blocks = static_cast<std::size_t>(blockCols_) * static_cast<std::size_t>(blockRows_);
    blockErrors_ = std::make_unique<float[]>(blocks);
    blockSamples_ = std::make_unique<std::uint8_t[]>(blocks);
}

void TracedPicture::Begin(const Scene& scene) {
    scene_ = &scene;
    samples_ = 1;
    step_ = 1;
    phase_ = 0;
    offsetRow_ = offsetCol_ = 0;
    filled_ = fillTo_ = 0;
    phasesLeft_ = 0;
    lastTraced_ = 0;
    convergedBlocks_ = 0;
    adaptiveStarted_ = false;
}

void TracedPicture::Full(const Scene& scene, bool smooth) {
    Begin(scene);
    smooth_ = smooth;
    // Every pixel with one ray, then the pixels that stand out from their neighbours smoothed,
    // decided on the whole frame's first rays.
    const auto start = std::chrono::steady_clock::now();
    passes_.Run(passes_.Window(), this, &TracedPicture::FullTile);
    if (smooth_) Smooth();
    lastTracingSeconds_ = SecondsSince(start);
    lastTraced_ = std::int64_t{width_} * height_;
}

void TracedPicture::TraceExact(int p, RayHit& hit) {
    const Ray ray = camera_.PixelRay(p / width_, p % width_);
    const VECTOR colour = Shade(ray, hit, 1, *scene_);
    guides_.First(p, FirstHitGuide(ray, hit), ColourLuminance(colour));
    const std::uint32_t word = PixelWord(colour);
    words_[p] = word;
    // The first sample of the settling picture, with the luminance of its bytes in the unused w
    // lane: what the smoothing pass compares.
    sums_[p] = VECTOR(colour.x, colour.y, colour.z, WordLuminance(word));
    state_[p] = 1;
}

void TracedPicture::ShowPixel(int p, const VECTOR& colour) { words_[p] = PixelWord(colour); }

void TracedPicture::FullTile(ScreenTile& tile, int) {
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int c = tile.colStart; c < tile.colEnd; ++c) {
            RayHit hit;
            TraceExact(r * width_ + c, hit);
        }
}

void TracedPicture::Smooth() { passes_.Run(passes_.Window(), this, &TracedPicture::SmoothTile); }

void TracedPicture::SmoothTile(ScreenTile& tile, int) {
    // A pixel that stands out from both of its horizontal or both of its vertical neighbours (a
    // one-pixel detail: a thin edge or a minified texture seen in the mirror bounce) becomes the
    // average of nine rays on a 3 x 3 lattice from edge to edge of the pixel (its own ray in the
    // middle, the others half a pixel away). Decided on the first rays' luminance (the sums' w
    // lanes), which nobody writes during this pass, so the result is the same for any tiling.
    const int w = width_;
    VECTOR* const sums = sums_.get();
    for (int r = std::max(tile.rowStart, 1); r < std::min(tile.rowEnd, height_ - 1); ++r) {
        for (int c = std::max(tile.colStart, 1); c < std::min(tile.colEnd, width_ - 1); ++c) {
            const int p = r * w + c;
            const float l = sums[p].w;
            if (!StandsOut(l, sums[p - 1].w, sums[p + 1].w) && !StandsOut(l, sums[p - w].w, sums[p + w].w)) continue;
            // The nine colours averaged in floats (the centre's is the first ray's, kept in the
            // sums), and the average is the pixel's first sample.
            VECTOR sum(sums[p].x, sums[p].y, sums[p].z, 0.0f);
            for (const float dr : {-0.5f, 0.0f, 0.5f})
                for (const float dc : {-0.5f, 0.0f, 0.5f}) {
                    if (dr == 0.0f && dc == 0.0f) continue;
                    RayHit hit;
                    sum += Shade(camera_.ScreenRay(r, static_cast<float>(c) + dc, dr), hit, 1, *scene_);
                }
            const VECTOR average = sum * (1.0f / 9.0f);
            // x, y and z only: the w lane is the luminance a neighbour's decision reads.
            sums[p].x = average.x;
            sums[p].y = average.y;
            sums[p].z = average.z;
            const float first = ColourLuminance(average);
            guides_.lumSquares[p] = first * first;
            words_[p] = PixelWord(average);
        }
    }
}

float TracedPicture::Pass() {
    if (samples_ == 0 || scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no picture to add a pass to");
    if (!Complete())
        throw TIRN_ERROR::Error("The ray tracer can not add a pass to a picture with pixels missing: they are filled in first");
    const bool planned = adaptive && samples_ >= kUniformSamples;
    if (planned) PlanAdaptivePass();
    if (planned && convergedBlocks_ == blockCols_ * blockRows_) {
        lastTraced_ = 0;
        lastTracingSeconds_ = 0.0;
        return 0.0f;
    }
    const auto start = std::chrono::steady_clock::now();
    passes_.Run(passes_.Window(), this, &TracedPicture::PassTile);
    lastTracingSeconds_ = SecondsSince(start);
    lastTraced_ = passes_.Window().TracedPixels();
    ++samples_;
    if (denoise) ShowComplete();
    const float change = passes_.Window().LargestChange();
    return planned ? std::max(change, 1.0f) : change;
}

void TracedPicture::PassTile(ScreenTile& tile, int) {
    // A pixel's next sample k moves its mean from sum / k to (sum + sample) / (k + 1): a ray
    // through the sample's point of the pixel, shaded with the sample. Without adaptive passes
    // every pixel has the picture's samples and takes one more.
    float change = 0.0f;
    std::int64_t traced = 0;
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int c = tile.colStart; c < tile.colEnd; ++c) {
            const int p = r * width_ + c;
            const int take = adaptiveStarted_ ? blockSamples_[(r / kErrorBlock) * blockCols_ + c / kErrorBlock] : 1;
            if (take == 0) continue;
            const std::uint32_t first = guides_.counts[p];
            const VECTOR old = sums_[p];
            VECTOR sum = old;
            for (int i = 0; i < take; ++i) {
                const std::uint32_t n = guides_.counts[p];
                const PixelSample sample = SampleOf(static_cast<std::uint32_t>(p), n);
                const Ray ray = camera_.ScreenRay(r, static_cast<float>(c) + sample.x - 0.5f, sample.y - 0.5f);
                RayHit hit;
                const VECTOR colour = Shade(ray, hit, 1, *scene_, &sample);
                sum = sum + colour;
                guides_.Add(p, FirstHitGuide(ray, hit), ColourLuminance(colour));
            }
            traced += take;
            sums_[p] = sum;
            const VECTOR mean = sum * (1.0f / static_cast<float>(guides_.counts[p]));
            words_[p] = PixelWord(mean);
            const VECTOR was = old * (1.0f / static_cast<float>(first));
            change = std::max({change, std::fabs(Shown(mean.x) - Shown(was.x)), std::fabs(Shown(mean.y) - Shown(was.y)),
                               std::fabs(Shown(mean.z) - Shown(was.z))});
        }
    tile.maxChange = change * 255.0f;
    tile.traced = traced;
    BlockErrors(tile);
}

void TracedPicture::BlockErrors(const ScreenTile& tile) {
    // Per error block (blocks never straddle tiles: tiles start at multiples of 64 pixels): the
    // root mean square of sigma / (luminance + offset), sigma the standard deviation of the
    // pixel's mean from its moments.
    for (int br = tile.rowStart / kErrorBlock; br * kErrorBlock < tile.rowEnd; ++br)
        for (int bc = tile.colStart / kErrorBlock; bc * kErrorBlock < tile.colEnd; ++bc) {
            double sum = 0.0;
            int pixels = 0;
            for (int r = br * kErrorBlock; r < std::min((br + 1) * kErrorBlock, height_); ++r)
                for (int c = bc * kErrorBlock; c < std::min((bc + 1) * kErrorBlock, width_); ++c) {
                    const int p = r * width_ + c;
                    const std::uint32_t n = guides_.counts[p];
                    ++pixels;
                    if (n < 2) continue;
                    const float fn = static_cast<float>(n);
                    const float l = ColourLuminance(sums_[p] * (1.0f / fn));
                    const float variance = std::max(guides_.lumSquares[p] / fn - l * l, 0.0f) / ((fn - 1.0f) * fn);
                    const float relative = variance / ((std::max(l, 0.0f) + kBrightnessOffset) * (std::max(l, 0.0f) + kBrightnessOffset));
                    sum += relative;
                }
            blockErrors_[static_cast<std::size_t>(br) * blockCols_ + bc] = static_cast<float>(std::sqrt(sum / std::max(pixels, 1)));
        }
}

void TracedPicture::PlanAdaptivePass() {
    // The unconverged blocks share as many samples as the picture has pixels, in proportion to
    // their error: decided here, on the calling thread, from the estimates of the last pass.
    adaptiveStarted_ = true;
    const int blocks = blockCols_ * blockRows_;
    double total = 0.0;
    convergedBlocks_ = 0;
    for (int b = 0; b < blocks; ++b) {
        if (blockErrors_[b] < kConverged) ++convergedBlocks_;
        else total += blockErrors_[b];
    }
    const double budget = static_cast<double>(blocks);
    for (int b = 0; b < blocks; ++b) {
        if (blockErrors_[b] < kConverged) {
            blockSamples_[b] = 0;
            continue;
        }
        const double share = std::floor(budget * blockErrors_[b] / total + 0.5);
        blockSamples_[b] = static_cast<std::uint8_t>(std::clamp(share, 1.0, double{kMostBlockSamples}));
    }
}

double TracedPicture::ConvergedShare() const {
    if (!adaptiveStarted_) return 0.0;
    return static_cast<double>(convergedBlocks_) / static_cast<double>(blockCols_ * blockRows_);
}

void TracedPicture::Show() {
    if (Complete()) ShowComplete();
}

void TracedPicture::ShowComplete() {
    // A frame's one sample is no noise to filter: pixel centres, the light's centre, the sky
    // light's unblocked mean. Noise comes with the passes' samples.
    if (denoise && samples_ > 1) denoiser_.Filter(sums_.get(), guides_, words_.get());
    else passes_.Run(passes_.Window(), this, &TracedPicture::ShowMeanTile);
}

void TracedPicture::ShowMeanTile(ScreenTile& tile, int) {
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int p = r * width_ + tile.colStart, end = r * width_ + tile.colEnd; p < end; ++p)
            words_[p] = PixelWord(sums_[p] * (1.0f / static_cast<float>(guides_.counts[p])));
}

}  // namespace RAYTR
