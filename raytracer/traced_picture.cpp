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
    return pixels * static_cast<std::int64_t>(sizeof(std::uint32_t) + sizeof(VECTOR) + 1) +
           lattice * static_cast<std::int64_t>(sizeof(PrimarySurface));
}

TracedPicture::TracedPicture(TilePasses& passes, const ScreenCamera& camera)
    : passes_(passes), camera_(camera), width_(passes.Window().Width()), height_(passes.Window().Height()) {
    const auto count = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_);
    // Written by the frames before anything reads them; nothing is shown before a frame.
    words_ = std::make_unique_for_overwrite<std::uint32_t[]>(count);
    sums_ = std::make_unique_for_overwrite<VECTOR[]>(count);
    state_ = std::make_unique<std::uint8_t[]>(count);
    surfaces_ = std::make_unique<PrimarySurface[]>(static_cast<std::size_t>((width_ + 1) / 2) * ((height_ + 1) / 2));
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
    const VECTOR colour = Shade(camera_.PixelRay(p / width_, p % width_), hit, 1, *scene_);
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
            words_[p] = PixelWord(average);
        }
    }
}

float TracedPicture::Pass() {
    if (samples_ == 0 || scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no picture to add a pass to");
    if (!Complete())
        throw TIRN_ERROR::Error("The ray tracer can not add a pass to a picture with pixels missing: they are filled in first");
    const auto start = std::chrono::steady_clock::now();
    passes_.Run(passes_.Window(), this, &TracedPicture::PassTile);
    lastTracingSeconds_ = SecondsSince(start);
    lastTraced_ = std::int64_t{width_} * height_;
    ++samples_;
    return passes_.Window().LargestChange();
}

void TracedPicture::PassTile(ScreenTile& tile, int) {
    // Pass n adds the n + 1st sample; the mean moves from sum / n to (sum + sample) / (n + 1): a
    // ray through the sample's point of the pixel, shaded with the sample.
    const auto n = static_cast<std::uint32_t>(samples_);
    const float before = 1.0f / static_cast<float>(n), after = 1.0f / static_cast<float>(n + 1);
    float change = 0.0f;
    for (int r = tile.rowStart; r < tile.rowEnd; ++r)
        for (int c = tile.colStart; c < tile.colEnd; ++c) {
            const int p = r * width_ + c;
            const PixelSample sample = SampleOf(static_cast<std::uint32_t>(p), n);
            RayHit hit;
            const VECTOR colour =
                Shade(camera_.ScreenRay(r, static_cast<float>(c) + sample.x - 0.5f, sample.y - 0.5f), hit, 1, *scene_, &sample);
            const VECTOR old = sums_[p];
            const VECTOR sum = old + colour;
            sums_[p] = sum;
            const VECTOR mean = sum * after;
            words_[p] = PixelWord(mean);
            const VECTOR was = old * before;
            change = std::max({change, std::fabs(Shown(mean.x) - Shown(was.x)), std::fabs(Shown(mean.y) - Shown(was.y)),
                               std::fabs(Shown(mean.z) - Shown(was.z))});
        }
    tile.maxChange = change * 255.0f;
}

}  // namespace RAYTR
