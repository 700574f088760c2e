// The settling picture: samples in their ranges and on the light's sphere, the passes' mean
// against a brute-force reference of independent random samples, the same bytes for any thread
// count, and hard edges for a point light however many passes run.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "raytracer/sampling.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/support/gl_context.h"

namespace {

using RAYTR::PixelSample;
using RAYTR::ScreenTracer;
using redowl_test::VECTOR;

class ScreenAccumulationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(redowl_test::EnsureGlContext());
        // The box's shadow edge crosses the floor in view; the light a sphere of radius 0.6.
        scene = redowl_test::MakeBoxOverFloorScene(VECTOR(1.0f, 6.0f, 2.0f, 1.0f));
        scene->lights[0].radius = 0.6f;
        scene->eye = VECTOR(0.0f, 4.0f, 12.0f, 1.0f);
    }
    std::unique_ptr<RAYTR::Scene> scene;
};

// The mean of the passes as floats, in grey levels (0 to 255): the clamped colour (or mask
// value) of every pixel, three channels each.
std::vector<float> Mean(const ScreenTracer& t, bool traced) {
    const int n = t.Width() * t.Height();
    std::vector<float> v(static_cast<std::size_t>(n) * 3);
    const auto shown = [](float c) { return 255.0f * std::fmin(1.0f, std::fmax(0.0f, c)); };
    for (int p = 0; p < n; ++p) {
        const VECTOR sum = traced ? t.Traced().Sums()[p] : VECTOR(t.Mask().Sums()[p], 0.0f, 0.0f, 0.0f);
        const VECTOR m = sum * (1.0f / static_cast<float>(t.Samples()));
        const float rgb[3] = {m.x, traced ? m.z : m.x, traced ? m.y : m.x};
        for (int c = 0; c < 3; ++c) v[static_cast<std::size_t>(p) * 3 + c] = shown(rgb[c]);
    }
    return v;
}

// Grey levels of buffer 0's pixels (traced) or of the mask bytes, as floats.
std::vector<float> Shown(const ScreenTracer& t, bool traced) {
    const int n = t.Width() * t.Height();
    std::vector<float> v(static_cast<std::size_t>(n) * 3);
    for (int p = 0; p < n; ++p)
        for (int c = 0; c < 3; ++c)
            v[static_cast<std::size_t>(p) * 3 + c] =
                traced ? static_cast<float>(reinterpret_cast<const std::uint8_t*>(t.Buffer(0) + p)[c]) : t.MaskBytes()[p];
    return v;
}

double Rms(const std::vector<float>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum / static_cast<double>(a.size()));
}

}  // namespace

TEST(SamplingTest, SamplesStayInTheirRangesAndLightPointsOnTheNearSideOfTheSphere) {
    std::mt19937 random(7);
    const VECTOR centre(1.0f, 2.0f, -3.0f, 1.0f);
    EXPECT_EQ(RAYTR::SampleOf(123, 0).x, 0.5f);  // pass 0: the centre of the pixel and the light
    EXPECT_EQ(RAYTR::SampleOf(123, 0).u, 0.5f);
    double meanOffset[3] = {0.0, 0.0, 0.0};
    const int count = 4096;
    for (int i = 0; i < count; ++i) {
        const std::uint32_t pixel = random() % 100000, pass = random() % 5000;
        const PixelSample s = RAYTR::SampleOf(pixel, pass);
        for (const float x : {s.x, s.y, s.u, s.v}) {
            ASSERT_GE(x, 0.0f);
            ASSERT_LT(x, 1.0f);
        }
        // A point of the sphere facing `from`; a point light stays a point.
        const VECTOR from(5.0f, -1.0f, 4.0f, 1.0f);
        const VECTOR q = RAYTR::LightPoint(centre, 0.5f, from, s.u, s.v);
        ASSERT_NEAR(ORVA_MATH::Length(q - centre), 0.5f, 1e-5f);
        ASSERT_GE(ORVA_MATH::Dot(q - centre, from - centre), 0.0f);
        const VECTOR p = RAYTR::LightPoint(centre, 0.0f, from, s.u, s.v);
        ASSERT_EQ(p.x, centre.x);
        ASSERT_EQ(p.z, centre.z);
        // Over many pixels and passes the points of one pixel's sequence spread evenly.
        const PixelSample t = RAYTR::SampleOf(42, static_cast<std::uint32_t>(i + 1));
        const VECTOR r = RAYTR::LightPoint(centre, 0.5f, from, t.u, t.v) - centre;
        const VECTOR across = r - (from - centre) * (ORVA_MATH::Dot(r, from - centre) / ORVA_MATH::LengthSquared(from - centre));
        meanOffset[0] += across.x / count, meanOffset[1] += across.y / count, meanOffset[2] += across.z / count;
    }
    for (const double m : meanOffset) EXPECT_NEAR(m, 0.0, 0.005);
}

TEST_F(ScreenAccumulationTest, PassesConvergeToABruteForceReferenceOfRandomSamples) {
    const int w = 24, h = 18;
    ScreenTracer tracer(w, h, 2);
    tracer.AttachScene(scene.get());
    for (const bool traced : {true, false}) {
        SCOPED_TRACE(traced ? "traced" : "mask");
        if (traced) tracer.TraceFullFrame();
        else tracer.TraceFrame(nullptr);
        // The reference: 1024 samples per pixel at independent random points of the pixel and
        // of the light's sphere (the mask: the pixel's centre), through the same queries.
        std::mt19937 random(11);
        std::uniform_real_distribution<float> unit(0.0f, 1.0f);
        std::vector<double> reference(static_cast<std::size_t>(w * h) * 3, 0.0);
        const int k = 1024;
        for (int p = 0; p < w * h; ++p)
            for (int i = 0; i < k; ++i) {
                PixelSample s;
                s.x = unit(random), s.y = unit(random), s.u = unit(random), s.v = unit(random);
                if (traced) {
                    RAYTR::RayHit hit;
                    const VECTOR c = RAYTR::Shade(tracer.Camera().ScreenRay(p / w, float(p % w) + s.x - 0.5f, s.y - 0.5f), hit, 1,
                                                  *scene, &s);
                    const float rgb[3] = {c.x, c.z, c.y};
                    for (int j = 0; j < 3; ++j) reference[static_cast<std::size_t>(p) * 3 + j] += rgb[j] / k;
                } else {
                    const double lit = tracer.Mask().MaskValue(p / w, p % w, 1, &s) == ScreenTracer::kLit ? 1.0 / k : 0.0;
                    for (int j = 0; j < 3; ++j) reference[static_cast<std::size_t>(p) * 3 + j] += lit;
                }
            }
        for (double& r : reference) r = 255.0 * std::fmin(1.0, std::fmax(0.0, r));
        double rms[3] = {};
        int at = 0;
        for (int n = 1; n <= 64; ++n) {
            if (n > 1) tracer.AccumulatePass();
            ASSERT_EQ(tracer.Samples(), n);
            if (n == 4 || n == 16 || n == 64) rms[at++] = Rms(Mean(tracer, traced), reference);
        }
        // The error falls at least as 1 / sqrt(samples) (faster at first: the samples are
        // spread evenly) down to about a grey level: the mean is the reference's, no bias.
        EXPECT_LT(rms[1], 0.5 * rms[0]) << rms[0] << " " << rms[1] << " " << rms[2];
        EXPECT_LT(rms[2], 0.85 * rms[1]) << rms[0] << " " << rms[1] << " " << rms[2];
        EXPECT_LT(rms[2], 1.5) << rms[0] << " " << rms[1] << " " << rms[2];
        // What is shown is the mean in bytes.
        const std::vector<float> mean = Mean(tracer, traced), shown = Shown(tracer, traced);
        for (std::size_t i = 0; i < mean.size(); ++i) ASSERT_NEAR(shown[i], mean[i], 1.0f) << i;
        EXPECT_GT(rms[0], 2.0);  // there is something to converge: edges and a penumbra in view
    }
}

TEST_F(ScreenAccumulationTest, PassesGiveTheSameBytesForAnyThreadCount) {
    const int w = 131, h = 67;
    std::vector<std::uint32_t> image;
    std::vector<std::uint8_t> mask;
    for (const int n : {1, 4, 3}) {
        SCOPED_TRACE(n);
        ScreenTracer tracer(w, h, n);
        tracer.AttachScene(scene.get());
        tracer.TraceFullFrame();
        for (int i = 0; i < 5; ++i) tracer.AccumulatePass();
        const std::vector<std::uint32_t> i1(tracer.Buffer(0), tracer.Buffer(0) + w * h);
        std::vector<float> depth(static_cast<std::size_t>(w * h), 0.997f);
        tracer.useZBuffer = true;
        tracer.TraceFrame(depth.data());
        for (int i = 0; i < 5; ++i) tracer.AccumulatePass();
        const std::vector<std::uint8_t> m1(tracer.MaskBytes(), tracer.MaskBytes() + w * h);
        if (image.empty()) {
            image = i1;
            mask = m1;
        } else {
            EXPECT_TRUE(i1 == image);
            EXPECT_TRUE(m1 == mask);
        }
    }
}

TEST_F(ScreenAccumulationTest, APointLightKeepsHardEdgesHoweverManyPasses) {
    const int w = 128, h = 96;
    // Pixels that the passes changed by more than 6 grey levels, away from every edge of the
    // one-sample picture (a neighbour within one pixel more than 8 levels apart).
    const auto softBeyondEdges = [&](float radius) {
        scene->lights[0].radius = radius;
        ScreenTracer tracer(w, h, 2);
        tracer.AttachScene(scene.get());
        tracer.TraceFullFrame();
        const std::vector<float> first = Shown(tracer, true);
        for (int i = 0; i < 40; ++i) tracer.AccumulatePass();
        const std::vector<float> settled = Shown(tracer, true);
        int soft = 0;
        for (int r = 1; r + 1 < h; ++r)
            for (int c = 1; c + 1 < w; ++c) {
                const auto at = [&](int rr, int cc, int k) { return first[static_cast<std::size_t>(rr * w + cc) * 3 + k]; };
                bool edge = false, changed = false;
                for (int k = 0; k < 3; ++k) {
                    changed = changed || std::fabs(settled[static_cast<std::size_t>(r * w + c) * 3 + k] - at(r, c, k)) > 6.0f;
                    for (int dr = -1; dr <= 1; ++dr)
                        for (int dc = -1; dc <= 1; ++dc) edge = edge || std::fabs(at(r + dr, c + dc, k) - at(r, c, k)) > 8.0f;
                }
                soft += changed && !edge;
            }
        return soft;
    };
    EXPECT_EQ(softBeyondEdges(0.0f), 0);
    EXPECT_GT(softBeyondEdges(2.0f), 50);  // a sphere's penumbra is wider than a pixel
    // The mask of a point light is settled by its first frame: passes change nothing.
    scene->lights[0].radius = 0.0f;
    ScreenTracer tracer(w, h, 2);
    tracer.AttachScene(scene.get());
    tracer.TraceFrame(nullptr);
    EXPECT_FALSE(tracer.PassesCanChange());
    const std::vector<std::uint8_t> before(tracer.MaskBytes(), tracer.MaskBytes() + w * h);
    EXPECT_EQ(tracer.AccumulatePass(), 0.0f);
    EXPECT_TRUE(std::vector<std::uint8_t>(tracer.MaskBytes(), tracer.MaskBytes() + w * h) == before);
}
