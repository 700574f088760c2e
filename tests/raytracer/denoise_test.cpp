// The denoiser and the adaptive passes: pictures without noise come through unchanged (edges
// kept), a seeded noisy picture of a known scene comes closer to its exact picture, the settled
// picture is the mean, and adaptive passes put their rays where the noise is.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "raytracer/denoise.h"
#include "raytracer/guides.h"
#include "raytracer/pixel_words.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/tile_team.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::Denoiser;
using RAYTR::GuideBuffers;
using RAYTR::ScreenTracer;
using redowl_test::VECTOR;

// A synthetic picture of a known scene, 96 x 64: two walls meeting at a crease down the middle
// (different normals and distances), a checker texture on the left wall, an illumination
// that varies smoothly, and a bright lamp patch on the right. exact[p] is the noise-free
// colour (red, green, blue); samples add seeded noise of the given strength to the illumination.
struct Picture {
    static constexpr int kW = 96, kH = 64;
    std::vector<float> exact;  // 3 a pixel
    GuideBuffers guides{kW * kH};
    std::vector<VECTOR> sums = std::vector<VECTOR>(kW * kH);

    static void Albedo(int r, int c, float a[3]) {
        const bool left = c < kW / 2;
        const bool dark = left && ((r / 6 + c / 6) % 2 == 0);
        a[0] = dark ? 0.2f : 0.8f, a[1] = left ? (dark ? 0.25f : 0.7f) : 0.5f, a[2] = left ? 0.3f : 0.9f;
    }
    static float Illumination(int r, int c) {
        const float lamp = (c > 70 && c < 80 && r > 20 && r < 40) ? 0.6f : 0.0f;
        return 0.25f + 0.5f * float(r) / kH + (c < kW / 2 ? 0.1f : 0.0f) + lamp;
    }

    Picture(int samples, float noise, unsigned seed) {
        std::mt19937 random(seed);
        std::normal_distribution<float> gauss(0.0f, 1.0f);
        exact.resize(std::size_t{kW} * kH * 3);
        for (int r = 0; r < kH; ++r)
            for (int c = 0; c < kW; ++c) {
                const int p = r * kW + c;
                RAYTR::GuideSample g;
                Albedo(r, c, g.albedo);
                const bool left = c < kW / 2;
                g.normal[0] = left ? 0.6f : -0.6f, g.normal[1] = 0.0f, g.normal[2] = 0.8f;
                g.depth = 10.0f + 0.05f * float(std::abs(c - kW / 2));
                const float light = Illumination(r, c);
                for (int k = 0; k < 3; ++k) exact[std::size_t(p) * 3 + k] = g.albedo[k] * light;
                VECTOR sum(0.0f, 0.0f, 0.0f, 0.0f);
                for (int s = 0; s < samples; ++s) {
                    const float l = std::max(light * (1.0f + noise * gauss(random)), 0.0f);
                    const VECTOR colour(g.albedo[0] * l, g.albedo[2] * l, g.albedo[1] * l, 0.0f);
                    sum = sum + colour;
                    if (s == 0) guides.First(p, g, RAYTR::ColourLuminance(colour));
                    else guides.Add(p, g, RAYTR::ColourLuminance(colour));
                }
                sums[std::size_t(p)] = sum;
            }
    }

    std::vector<std::uint32_t> Filtered(int threads) {
        RAYTR::TilePasses passes(kW, kH, threads);
        Denoiser denoiser(passes);
        std::vector<std::uint32_t> words(std::size_t{kW} * kH);
        denoiser.Filter(sums.data(), guides, words.data());
        return words;
    }
    std::vector<std::uint32_t> Means() const {
        std::vector<std::uint32_t> words(std::size_t{kW} * kH);
        for (int p = 0; p < kW * kH; ++p) words[std::size_t(p)] = RAYTR::PixelWord(sums[std::size_t(p)] * (1.0f / float(guides.counts[p])));
        return words;
    }
    // Grey levels off the exact picture, root mean square over the channels.
    double Rms(const std::vector<std::uint32_t>& words) const {
        double sum = 0.0;
        for (std::size_t p = 0; p < words.size(); ++p) {
            std::uint8_t bytes[4];
            std::memcpy(bytes, &words[p], 4);
            for (int k = 0; k < 3; ++k) {
                const double e = std::fmin(255.0, 255.0 * exact[p * 3 + k]);
                sum += (bytes[k] - e) * (bytes[k] - e);
            }
        }
        return std::sqrt(sum / double(words.size() * 3));
    }
};

}  // namespace

TEST(DenoiseTest, PicturesWithoutNoiseComeThroughUnchangedAndNoiseFallsWithEdgesKept) {
    // Noise-free (the moments say so): every byte is the mean's, edges, texture and lamp kept.
    Picture clean(8, 0.0f, 1);
    EXPECT_TRUE(clean.Filtered(2) == clean.Means());
    // A constant picture claimed to be very noisy stays constant.
    Picture constant(8, 0.0f, 1);
    for (int p = 0; p < Picture::kW * Picture::kH; ++p) {
        // 0.41 lies between two byte values: the filter's rounding of a float cannot cross one.
        constant.sums[std::size_t(p)] = VECTOR(0.41f, 0.41f, 0.41f, 0.0f) * 8.0f;
        for (int k = 0; k < 3; ++k) constant.guides.albedo[k][p] = 0.5f;
        constant.guides.lumSquares[p] = 8.0f * 0.5f;  // a standard deviation of the size of the mean
    }
    EXPECT_TRUE(constant.Filtered(3) == constant.Means());
    // Seeded noise, 4 samples (variance from the moments) and 2 (from the neighbourhood): the
    // filter at least halves the error, and is the same for any thread count.
    for (const int samples : {4, 2}) {
        SCOPED_TRACE(samples);
        Picture noisy(samples, 0.5f, 7u + unsigned(samples));
        const std::vector<std::uint32_t> filtered = noisy.Filtered(3);
        const double before = noisy.Rms(noisy.Means()), after = noisy.Rms(filtered);
        EXPECT_GT(before, 10.0);
        EXPECT_LT(after, 0.5 * before) << before << " -> " << after;
        EXPECT_TRUE(noisy.Filtered(1) == filtered);
        // The crease stays a step: across it the filtered blue (0.3 of the light on the left,
        // 0.9 on the right) keeps at least 80% of the exact step.
        double edge = 0.0, exactEdge = 0.0;
        for (int r = 0; r < Picture::kH; ++r) {
            const std::size_t a = std::size_t(r * Picture::kW + Picture::kW / 2 - 1), b = a + 1;
            std::uint8_t bytesA[4], bytesB[4];
            std::memcpy(bytesA, &filtered[a], 4);
            std::memcpy(bytesB, &filtered[b], 4);
            edge += float(bytesB[2]) - float(bytesA[2]);
            exactEdge += 255.0f * (noisy.exact[b * 3 + 2] - noisy.exact[a * 3 + 2]);
        }
        EXPECT_GT(edge, 0.8 * exactEdge);
    }
}

namespace {

class AdaptiveTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(redowl_test::EnsureGlContext()); }
};

}  // namespace

TEST_F(AdaptiveTest, TheSettledPictureThroughTheDenoiserIsTheMean) {
    auto scene = redowl_test::MakeBoxOverFloorScene(VECTOR(1.0f, 6.0f, 2.0f, 1.0f));
    scene->lights[0].radius = 1.5f;
    scene->eye = VECTOR(0.0f, 4.0f, 12.0f, 1.0f);
    const int w = 48, h = 36;
    ScreenTracer tracer(w, h, 2);
    tracer.AttachScene(scene.get());
    tracer.denoise = true;
    tracer.TraceFullFrame();
    const auto differing = [&](int levels) {
        const std::vector<std::uint32_t> shown(tracer.Buffer(0), tracer.Buffer(0) + w * h);
        tracer.denoise = false;
        tracer.ShowAgain();
        int count = 0;
        for (int p = 0; p < w * h; ++p) {
            std::uint8_t a[4], b[4];
            std::memcpy(a, &shown[std::size_t(p)], 4);
            std::memcpy(b, tracer.Buffer(0) + p, 4);
            for (int k = 0; k < 3; ++k) count += std::abs(int(a[k]) - int(b[k])) > levels;
        }
        tracer.denoise = true;
        tracer.ShowAgain();
        EXPECT_TRUE(std::equal(shown.begin(), shown.end(), tracer.Buffer(0)));  // the sums untouched
        return count;
    };
    EXPECT_EQ(differing(0), 0);  // a frame's one sample is shown as it is
    for (int i = 0; i < 7; ++i) tracer.AccumulatePass();
    EXPECT_GT(differing(2), 20);  // after 8 samples the penumbra is filtered
    for (int i = 0; i < 248; ++i) tracer.AccumulatePass();
    EXPECT_EQ(differing(1), 0);  // after 256 the shown bytes are the mean's within a level
}

TEST_F(AdaptiveTest, PassesPutTheirRaysOnTheNoisyHalf) {
    // A wall over the right half of the view under a large light partly hidden by a box: a
    // noisy penumbra; the left half sees the black sky, which has no noise at all.
    auto scene = std::make_unique<RAYTR::Scene>();
    scene->AddObject(*redowl_test::MakeTracedObject({VECTOR(0, -10, 0, 1), VECTOR(10, -10, 0, 1), VECTOR(10, 10, 0, 1),
                                                     VECTOR(0, -10, 0, 1), VECTOR(10, 10, 0, 1), VECTOR(0, 10, 0, 1)}));
    scene->AddObject(*redowl_test::MakeBox(VECTOR(1.5f, -1.0f, 3.0f, 1.0f), VECTOR(3.5f, 1.0f, 3.5f, 1.0f)));
    scene->AddLight(redowl_test::AssemblyLight(VECTOR(2.5f, 0.0f, 8.0f, 1.0f)));
    scene->lights[0].radius = 2.0f;
    redowl_test::SetAssemblyCamera(*scene);
    const int w = 64, h = 48;
    std::vector<std::uint32_t> words;
    for (const int threads : {2, 1}) {
        ScreenTracer tracer(w, h, threads);
        tracer.AttachScene(scene.get());
        tracer.adaptiveSampling = true;
        tracer.denoise = true;
        tracer.TraceFullFrame();
        float change = 1.0f;
        for (int i = 0; i < 12; ++i) change = tracer.AccumulatePass();
        EXPECT_GE(change, 1.0f);  // not settled: the penumbra is still noisy
        double left = 0.0, right = 0.0;
        std::uint32_t leftMost = 0;
        for (int r = 0; r < h; ++r)
            for (int c = 0; c < w; ++c) {
                const std::uint32_t n = tracer.Traced().PixelSamples(r * w + c);
                (c < w / 2 ? left : right) += n;
                if (c < w / 2 - RAYTR::TracedPicture::kErrorBlock) leftMost = std::max(leftMost, n);
            }
        // Blocks of the black half stop after the uniform passes; the rest take the rays.
        EXPECT_EQ(leftMost, std::uint32_t{RAYTR::TracedPicture::kUniformSamples});
        EXPECT_GT(right, 2.0 * left);
        EXPECT_GT(tracer.ConvergedShare(), 0.25);
        EXPECT_LT(tracer.ConvergedShare(), 1.0);
        const std::vector<std::uint32_t> shown(tracer.Buffer(0), tracer.Buffer(0) + w * h);
        if (words.empty()) words = shown;
        else EXPECT_TRUE(shown == words);  // the same bytes for any thread count
    }
}
