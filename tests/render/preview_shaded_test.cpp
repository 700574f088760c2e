// The shaded preview of models in their own materials against the tracer's settled picture: a
// sphere per kind of material, and planes of one and of two sides seen from either side.

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "render/preview_shaded.h"
#include "render/render.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"
#include "raytracer/sky_light.h"
#include "tests/raytracer/screen_test_scene.h"
#include "tests/support/gl_context.h"

namespace {

using redowl_test::VECTOR;
constexpr int kSize = 256;
constexpr float kPi = 3.14159265358979f;

class PreviewShadedTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(redowl_test::EnsureGlContext(512, 512));
        glViewport(0, 0, kSize, kSize);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
    }
};

// A described material as a file gives it.
ORVA_GRAPHICS::Material Described(float r, float g, float b) {
    ORVA_GRAPHICS::Material m;
    m.described = true;
    m.diffuse[0] = r, m.diffuse[1] = g, m.diffuse[2] = b;
    return m;
}

// An object of the given triangles in one described material, smooth normals pointing away
// from centre when smooth is set.
void AddModel(RAYTR::Scene& scene, const std::vector<VECTOR>& corners, const ORVA_GRAPHICS::Material& m,
              const VECTOR* centre) {
    auto object = redowl_test::MakeTracedObject(corners);
    if (centre != nullptr)
        for (unsigned v = 0; v < object->vertexCount; ++v) {
            VECTOR n = ORVA_MATH::Normalised(object->vertices[v].position - *centre);
            object->vertices[v].normal = VECTOR(n.x, n.y, n.z, 1.0f);
        }
    object->materials.assign(1, m);
    object->batches = {{0, 0, object->triangleCount}};
    scene.AddObject(*object);
}

std::vector<VECTOR> Sphere(const VECTOR& c, float r) {
    constexpr int kRings = 24, kSegments = 48;
    const auto at = [&](int i, int j) {
        const float t = kPi * float(i) / kRings, p = 2.0f * kPi * float(j) / kSegments;
        return VECTOR(c.x + r * std::sin(t) * std::cos(p), c.y + r * std::cos(t), c.z - r * std::sin(t) * std::sin(p), 1.0f);
    };
    std::vector<VECTOR> out;
    for (int i = 0; i < kRings; ++i)
        for (int j = 0; j < kSegments; ++j) {
            const VECTOR a = at(i, j), b = at(i, j + 1), d = at(i + 1, j), e = at(i + 1, j + 1);
            if (i > 0) out.insert(out.end(), {a, d, b});
            if (i < kRings - 1) out.insert(out.end(), {b, d, e});
        }
    return out;
}

std::vector<std::uint8_t> ReadColour() {
    std::vector<std::uint8_t> rgb(std::size_t(kSize) * kSize * 3);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, kSize, kSize, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
    return rgb;
}

// The settled traced picture (32 passes) as red, green, blue bytes, rows from the bottom.
std::vector<std::uint8_t> Traced(RAYTR::Scene& scene) {
    RAYTR::ScreenTracer tracer(kSize, kSize, 2);
    tracer.AttachScene(&scene);
    tracer.TraceFullFrame();
    for (int pass = 1; pass < 32; ++pass) tracer.AccumulatePass();
    const std::uint32_t* words = tracer.Buffer();
    std::vector<std::uint8_t> rgb(std::size_t(kSize) * kSize * 3);
    for (int p = 0; p < kSize * kSize; ++p) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&words[p]);
        for (int c = 0; c < 3; ++c) rgb[std::size_t(p) * 3 + c] = bytes[c];
    }
    return rgb;
}

// The mean of |a - b| over the pixels of a disk (window coordinates from the lower left), 0..1.
double DiskDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b, int cx, int cy, int r) {
    double sum = 0.0;
    long count = 0;
    for (int y = cy - r; y <= cy + r; ++y)
        for (int x = cx - r; x <= cx + r; ++x) {
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > r * r || x < 0 || y < 0 || x >= kSize || y >= kSize) continue;
            for (int c = 0; c < 3; ++c) {
                const std::size_t i = (std::size_t(y) * kSize + x) * 3 + c;
                sum += std::abs(int(a[i]) - int(b[i])) / 255.0;
            }
            count += 3;
        }
    return count > 0 ? sum / double(count) : 0.0;
}

}  // namespace

TEST_F(PreviewShadedTest, EachKindOfMaterialLooksAsTraced) {
    RAYTR::Scene scene;
    redowl_test::SetAssemblyCamera(scene);
    scene.AddLight(redowl_test::AssemblyLight(VECTOR(4.0f, 6.0f, 10.0f, 1.0f)));
    struct Kind {
        const char* name;
        ORVA_GRAPHICS::Material m;
    };
    std::vector<Kind> kinds;
    kinds.push_back({"matte", Described(0.8f, 0.3f, 0.2f)});
    kinds.back().m.specular[0] = kinds.back().m.specular[1] = kinds.back().m.specular[2] = 0.0f;
    kinds.push_back({"highlight only", Described(0.2f, 0.4f, 0.8f)});
    for (float& s : kinds.back().m.specular) s = 0.3f;
    kinds.back().m.roughness = 0.3f;
    kinds.push_back({"plastic", Described(0.8f, 0.1f, 0.1f)});
    kinds.back().m.roughness = 0.4f;
    kinds.back().m.reflectsScene = true;
    kinds.push_back({"gold", Described(1.0f, 0.78f, 0.34f)});
    kinds.back().m.metallic = 1.0f;
    kinds.back().m.roughness = 0.35f;
    kinds.back().m.reflectsScene = true;
    kinds.push_back({"rough metal", Described(0.9f, 0.9f, 0.9f)});
    kinds.back().m.metallic = 1.0f;
    kinds.back().m.roughness = 0.8f;
    kinds.back().m.reflectsScene = true;
    kinds.push_back({"mirror", Described(0.05f, 0.05f, 0.05f)});
    kinds.back().m.mirror = 0.8f;
    kinds.push_back({"glowing", Described(0.1f, 0.1f, 0.1f)});
    kinds.back().m.emission[0] = 1.0f, kinds.back().m.emission[1] = 0.8f, kinds.back().m.emission[2] = 0.3f;
    kinds.push_back({"smooth coat", Described(0.1f, 0.5f, 0.2f)});
    kinds.back().m.roughness = 0.01f;
    kinds.back().m.reflectsScene = true;
    // Two rows of four, far enough apart that each sees mostly the sky.
    std::vector<VECTOR> centres;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        centres.emplace_back(-4.2f + 2.8f * float(k % 4), k < 4 ? 1.6f : -1.6f, 0.0f, 1.0f);
        AddModel(scene, Sphere(centres.back(), 1.15f), kinds[k].m, &centres.back());
    }
    // A white sky of strength 0.5 all round: the harmonics and the prefiltered sky are exact for it.
    RAYTR::PrepareLighting(scene, 0.5f);
    Renderer render(kSize, kSize);
    render.AttachScene(&scene);
    ASSERT_TRUE(render.ShadedReady()) << render.PreviewNote();
    render.drawLightMarker = false;
    const auto preview = [&](bool shaded) {
        render.shadeMaterials = shaded;
        glMatrixMode(GL_MODELVIEW);
        render.DrawPreview();
        return ReadColour();
    };
    const std::vector<std::uint8_t> shaded = preview(true), fixed = preview(false);
    const std::vector<std::uint8_t> traced = Traced(scene);
    // Each sphere's middle on the window: 45 degrees of view from 15 units.
    const float scale = float(kSize) / (2.0f * 15.0f * std::tan(22.5f * kPi / 180.0f));
    double fixedWorst = 0.0;
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const int cx = int(kSize / 2 + centres[k].x * scale);
        const int cy = int(kSize / 2 + centres[k].y * scale);
        const int r = int(0.8f * 1.15f * scale);
        const double d = DiskDifference(shaded, traced, cx, cy, r);
        const double f = DiskDifference(fixed, traced, cx, cy, r);
        std::printf("%-15s shaded preview %.3f from traced, fixed-function %.3f\n", kinds[k].name, d, f);
        EXPECT_LT(d, 0.04) << kinds[k].name;
        fixedWorst = std::max(fixedWorst, f);
    }
    // The comparison sees the difference the shading makes.
    EXPECT_GT(fixedWorst, 0.08);
}

TEST_F(PreviewShadedTest, PlanesOfOneAndTwoSidesAreSeenWhereTheTracerSeesThem) {
    RAYTR::Scene scene;
    redowl_test::SetAssemblyCamera(scene);
    scene.AddLight(redowl_test::AssemblyLight(VECTOR(0.0f, 4.0f, 12.0f, 1.0f)));
    // Left: one side, facing the eye. Right: two sides, as a file's doubleSided face is loaded
    // (a turned copy whose normals are reversed, the material marked two-sided).
    const auto quad = [](float x0, float x1) {
        return std::vector<VECTOR>{VECTOR(x0, -2, 0, 1), VECTOR(x1, -2, 0, 1), VECTOR(x1, 2, 0, 1),
                                   VECTOR(x0, -2, 0, 1), VECTOR(x1, 2, 0, 1), VECTOR(x0, 2, 0, 1)};
    };
    const ORVA_GRAPHICS::Material grey = Described(0.7f, 0.7f, 0.7f);
    AddModel(scene, quad(-4.5f, -0.5f), grey, nullptr);
    std::vector<VECTOR> both = quad(0.5f, 4.5f);
    for (int t = 0; t < 2; ++t) both.insert(both.end(), {both[3 * t], both[3 * t + 2], both[3 * t + 1]});
    ORVA_GRAPHICS::Material twoSided = grey;
    twoSided.twoSided = true;
    AddModel(scene, both, twoSided, nullptr);
    RAYTR::PrepareLighting(scene, 0.0f);
    Renderer render(kSize, kSize);
    render.AttachScene(&scene);
    render.drawLightMarker = false;
    ASSERT_TRUE(render.ShadedReady()) << render.PreviewNote();
    // From the front, then from behind (the view turned half round).
    for (float turn : {0.0f, 180.0f}) {
        SCOPED_TRACE(turn);
        const float angles[2] = {0.0f, turn};
        scene.SetViewRotation(angles);
        glMatrixMode(GL_MODELVIEW);
        render.DrawPreview();
        const std::vector<std::uint8_t> shown = ReadColour();
        const std::vector<std::uint8_t> traced = Traced(scene);
        RAYTR::ScreenTracer tracer(kSize, kSize, 1);
        tracer.AttachScene(&scene);
        tracer.TraceFrame(static_cast<const float*>(nullptr));
        // The two-sided plane's half of the window: drawn exactly where a primary ray meets it
        // (but for its edges), and as traced; the one-sided plane's: as traced from the front.
        int drawn[2] = {0, 0}, disagree = 0;
        double apart = 0.0;
        for (int y = 0; y < kSize; ++y)
            for (int x = 0; x < kSize; ++x) {
                const int p = y * kSize + x;
                RAYTR::RayHit hit;
                const bool met = tracer.Mask().PrimaryHit(p, hit);
                const std::uint8_t* c = &shown[std::size_t(p) * 3];
                const bool isPlane = !(c[0] == 0 && c[1] == 0 && c[2] == 64);  // the preview's dark blue
                const bool twoSidedHalf = (x < kSize / 2) == (turn != 0.0f);
                if (twoSidedHalf || turn == 0.0f) disagree += met != isPlane;
                if (!met || !isPlane) continue;
                ++drawn[x < kSize / 2 ? 0 : 1];
                for (int k = 0; k < 3; ++k) apart += std::abs(int(c[k]) - int(traced[std::size_t(p) * 3 + k])) / 255.0;
            }
        EXPECT_LT(disagree, 2 * kSize) << "pixels drawn by one mode only";
        // The two-sided plane is seen from both sides, the one-sided one from the front (on the
        // left from the front, on the right from behind).
        const int oneSided = turn == 0.0f ? drawn[0] : drawn[1], twoSidedDrawn = turn == 0.0f ? drawn[1] : drawn[0];
        EXPECT_GT(twoSidedDrawn, kSize * kSize / 16);
        if (turn == 0.0f) EXPECT_GT(oneSided, kSize * kSize / 16);
        EXPECT_LT(apart / (3.0 * (drawn[0] + drawn[1])), 0.03);
    }
    const float none[2] = {0.0f, 0.0f};
    scene.SetViewRotation(none);
}

TEST(SkyHarmonicsTest, IrradianceMatchesTheCosineWeightedSkyAtRandomNormals) {
    // A sky with a bright lobe and a colour gradient, against a brute-force integral.
    const auto sky = [](const float d[3], float rgb[3]) {
        const float lobe = std::pow(std::max(0.0f, 0.6f * d[0] + 0.8f * d[1]), 4.0f);
        rgb[0] = 0.2f + 2.0f * lobe;
        rgb[1] = 0.3f + 0.2f * d[1];
        rgb[2] = 0.5f + 0.4f * d[2];
    };
    for (float below : {1.0f, 0.0f}) {
        const ORVA_GRAPHICS::SkyHarmonics sh = ORVA_GRAPHICS::ProjectSky(sky, below);
        std::uint32_t seed = 12345u;
        const auto next = [&seed] { return float((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f; };
        for (int trial = 0; trial < 20; ++trial) {
            const float z = 2.0f * next() - 1.0f, phi = 2.0f * kPi * next(), s = std::sqrt(1.0f - z * z);
            const float n[3] = {s * std::cos(phi), s * std::sin(phi), z};
            double want[3] = {0.0, 0.0, 0.0};
            constexpr int kSide = 200;
            for (int j = 0; j < kSide; ++j)
                for (int i = 0; i < kSide; ++i) {
                    const float y = -1.0f + 2.0f * (float(j) + 0.5f) / kSide, a = 2.0f * kPi * (float(i) + 0.5f) / kSide;
                    const float r = std::sqrt(1.0f - y * y), d[3] = {r * std::cos(a), y, r * std::sin(a)};
                    const float c = n[0] * d[0] + n[1] * d[1] + n[2] * d[2];
                    if (c <= 0.0f || (y < 0.0f && below == 0.0f)) continue;
                    float rgb[3];
                    sky(d, rgb);
                    for (int k = 0; k < 3; ++k) want[k] += rgb[k] * c * 4.0 / (kSide * kSide);  // 4 pi / cells / pi
                }
            float got[3];
            ORVA_GRAPHICS::IrradianceSH(sh, n[0], n[1], n[2], got);
            // Nine coefficients hold the cosine-convolved sky to within a few per cent of its
            // brightest irradiance (Ramamoorthi and Hanrahan's bound is about 9% for any sky).
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(got[k], want[k], 0.08 * std::max(1.0, want[0])) << trial << " " << k;
        }
    }
}
