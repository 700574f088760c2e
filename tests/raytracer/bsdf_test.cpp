// The reflection models of described materials: energy, the agreement of sampling with
// evaluation, and the shading that uses them (the sky light's white furnace, a smooth metal as
// a mirror, a rough one without a mirror image, see-through surfaces).
#include "raytracer/bsdf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "raytracer/sampling.h"
#include "raytracer/shading.h"
#include "raytracer/sky_light.h"
#include "tests/raytracer/scene_fixtures.h"

namespace {

using namespace redowl_test;
using RAYTR::BsdfSample;
using RAYTR::kPi;
using RAYTR::Lambert;
using RAYTR::Microfacet;
using RAYTR::Ray;
using RAYTR::RayHit;
using RAYTR::Scene;
using RAYTR::TObject;

VECTOR Grey(float g) { return VECTOR(g, g, g, 0.0f); }

// A direction above the surface at angle theta from the normal.
VECTOR Outgoing(float theta, float phi) {
    return D(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta));
}

// Seeded property: over random roughness, reflectance and view directions, the diffuse part
// (weighted as the shading weights it) and the coat together reflect at most what arrives
// (the coat's share estimated by its own samples), and where the lobe is broad enough for
// uniform directions to estimate it, the mean weight of the coat's samples is the integral of
// its evaluation: sampling, density and evaluation describe one reflection.
TEST(BsdfTest, EnergyNeverGrowsAndSamplingAgreesWithEvaluation) {
    std::mt19937 rng(31);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int trial = 0; trial < 40; ++trial) {
        const bool broad = trial % 2 == 0;
        const float roughness = broad ? 0.35f + 0.65f * u(rng) : 0.05f + 0.3f * u(rng);
        const float f0 = trial % 4 == 0 ? 1.0f : 0.02f + 0.5f * u(rng);
        const VECTOR wo = Outgoing((broad ? 1.35f : 1.5f) * u(rng), 6.28f * u(rng));
        const Microfacet coat(roughness, Grey(f0));
        const float diffuseShare = 1.0f - RAYTR::Schlick(Grey(f0), wo.z).x;  // Lambert reflects its albedo
        constexpr int kN = 20000;
        double uniform = 0.0, sampled = 0.0;
        for (int i = 0; i < kN; ++i) {
            // Uniform over the hemisphere: pdf 1 / (2 pi).
            const float z = u(rng), phi = 6.2831853f * u(rng), r = std::sqrt(std::max(0.0f, 1.0f - z * z));
            uniform += coat.Evaluate(wo, D(r * std::cos(phi), r * std::sin(phi), z)).x * z * 2.0f * kPi;
            const BsdfSample s = coat.Sample(wo, u(rng), u(rng));
            if (s.pdf > 0.0f) {
                sampled += s.weight.x;
                if (broad) EXPECT_NEAR(coat.Pdf(wo, s.wi), s.pdf, 1e-3f * s.pdf + 1e-4f);
            }
        }
        uniform /= kN;
        sampled /= kN;
        EXPECT_LE(diffuseShare + sampled, 1.01) << "roughness " << roughness << " f0 " << f0 << " cos " << wo.z;
        if (broad) EXPECT_NEAR(sampled, uniform, 0.02 + 0.05 * uniform) << "roughness " << roughness << " cos " << wo.z;
    }
    // Lambert's samples carry exactly the albedo, its density is cos / pi.
    const Lambert white(Grey(1.0f));
    const BsdfSample s = white.Sample(D(0, 0, 1), 0.3f, 0.8f);
    EXPECT_FLOAT_EQ(s.weight.x, 1.0f);
    EXPECT_NEAR(s.pdf, s.wi.z / kPi, 1e-6f);
}

// ---- Shading of described materials ----------------------------------------------------

ORVA_GRAPHICS::Material Described(float r, float g, float b) {
    ORVA_GRAPHICS::Material m;
    m.described = true;
    m.diffuse[0] = r, m.diffuse[1] = g, m.diffuse[2] = b;
    return m;
}

void Add(Scene& scene, const Soup& soup, const ORVA_GRAPHICS::Material& material) {
    TObject object;
    Fill(object, soup);
    object.materials.assign(1, material);
    object.BindMaterialImages();
    scene.AddObject(object);
}

// A closed sphere of flat facets, outward.
Soup Sphere(VECTOR c, float radius, int rings = 12, int segments = 24) {
    Soup s;
    auto at = [&](int i, int j) {
        const float t = kPi * float(i) / float(rings), p = 2.0f * kPi * float(j) / float(segments);
        return P(c.x + radius * std::sin(t) * std::cos(p), c.y + radius * std::cos(t), c.z + radius * std::sin(t) * std::sin(p));
    };
    for (int i = 0; i < rings; ++i)
        for (int j = 0; j < segments; ++j) {
            const VECTOR a = at(i, j), b = at(i, j + 1), cc = at(i + 1, j + 1), d = at(i + 1, j);
            const VECTOR mid = (a + cc) * 0.5f - c;
            for (const VECTOR& q : {a, b, cc, a, cc, d}) s.corners.push_back(q), s.uv.push_back(0), s.uv.push_back(0);
            // Keep each triangle's front outward.
            for (std::size_t k = s.corners.size() - 6; k < s.corners.size(); k += 3) {
                const VECTOR n = ORVA_MATH::Cross(s.corners[k + 1] - s.corners[k], s.corners[k + 2] - s.corners[k]);
                if (ORVA_MATH::Dot(n, mid) < 0.0f) std::swap(s.corners[k + 1], s.corners[k + 2]);
            }
        }
    return s;
}

// The mean over passes 1..n of a ray's colour, as the settling picture takes it.
VECTOR Settled(const Scene& scene, const Ray& ray, std::uint32_t pixel, int n) {
    VECTOR sum(0, 0, 0, 0);
    for (int k = 1; k <= n; ++k) {
        const RAYTR::PixelSample sample = RAYTR::SampleOf(pixel, std::uint32_t(k));
        RayHit hit;
        sum += RAYTR::Shade(ray, hit, 1, scene, &sample);
    }
    return sum / float(n);
}

// White furnace: a white diffuse sphere under a white sky of strength 1, no light, reflects
// white; with a glossy coat on top (which reflects the same sky) it reflects no more than that.
TEST(MaterialShadingTest, WhiteFurnaceReflectsTheSkyWithoutGainingEnergy) {
    for (const bool coated : {false, true}) {
        Scene scene;
        ORVA_GRAPHICS::Material white = Described(1, 1, 1);
        if (!coated) white.specular[0] = white.specular[1] = white.specular[2] = 0.0f;
        white.reflectsScene = coated;
        white.roughness = 0.4f;
        Add(scene, Sphere(P(0, 0, 0), 1.0f), white);
        RAYTR::PrepareLighting(scene, 1.0f);
        for (const float x : {0.0f, 0.5f, 0.9f}) {
            const VECTOR c = Settled(scene, Ray(P(x, 0.1f, 5.0f), D(0, 0, -1)), 7u + unsigned(10 * x), 256);
            EXPECT_LE(c.x, 1.01f);
            EXPECT_GE(c.x, coated ? 0.85f : 0.99f) << "x " << x;
            EXPECT_NEAR(c.y, c.x, 1e-5f);
        }
    }
}

// A floor of the given metal under a small red box, seen where the box mirrors (straight below
// it, from straight above through a gap... seen obliquely): the colour of the floor point.
VECTOR MetalFloor(float roughness, float mirror, int samples) {
    Scene scene;
    Soup floor;
    floor.Floor(0.0f, 20.0f);
    ORVA_GRAPHICS::Material metal = Described(1, 1, 1);
    metal.metallic = mirror > 0.0f ? 0.0f : 1.0f;
    metal.mirror = mirror;
    metal.roughness = roughness;
    metal.reflectsScene = mirror == 0.0f;
    Add(scene, floor, metal);
    Soup box;
    box.Box(P(-0.5f, 2.0f, -0.5f), P(0.5f, 3.0f, 0.5f));
    Add(scene, box, Described(1, 0, 0));
    RAYTR::PrepareLighting(scene, 1.0f);
    // From (0, 2.5, 5) down to the floor point (0, 0, 2.5): its mirror ray rises toward the box.
    const Ray ray(P(0, 2.5f, 5.0f), ORVA_MATH::Normalised(D(0, -2.5f, -2.5f)));
    if (samples == 0) {
        RayHit hit;
        return RAYTR::Shade(ray, hit, 1, scene);
    }
    return Settled(scene, ray, 99u, samples);
}

TEST(MaterialShadingTest, SmoothMetalIsTheMirrorAndRoughMetalShowsNoMirrorImage) {
    // Metallic 1, roughness 0: exactly what a perfect mirror of the same colour shows.
    const VECTOR metal = MetalFloor(0.0f, 0.0f, 0), mirror = MetalFloor(0.0f, 1.0f, 0);
    EXPECT_NEAR(metal.x, mirror.x, 1e-4f);
    EXPECT_NEAR(metal.y, mirror.y, 1e-4f);
    EXPECT_NEAR(metal.z, mirror.z, 1e-4f);
    // The mirror shows the red box (red in x, blue in y, green in z)...
    EXPECT_GT(mirror.x, 0.3f);
    EXPECT_LT(mirror.y, 0.1f);
    // ...roughness 1 spreads it over the sky: no longer mostly red.
    const VECTOR rough = MetalFloor(1.0f, 0.0f, 256);
    EXPECT_LT(rough.x - rough.y, 0.25f * rough.x);
}

// A black quad before a wall that glows white: see-through at opacity 0 it lets everything
// through, at opacity 1 nothing, and at 0.25 it settles to three quarters of the glow.
TEST(MaterialShadingTest, SeeThroughSurfacesPassRaysAsOftenAsTheyAreTransparent) {
    for (const float opacity : {0.0f, 0.25f, 1.0f}) {
        Scene scene;
        Soup wall;
        wall.Wall(0.0f, 2.0f);
        ORVA_GRAPHICS::Material glass = Described(0, 0, 0);
        glass.specular[0] = glass.specular[1] = glass.specular[2] = 0.0f;
        glass.opacity = opacity;
        Add(scene, wall, glass);
        Soup back;
        back.Wall(-1.0f, 3.0f);
        ORVA_GRAPHICS::Material glow = Described(0, 0, 0);
        glow.specular[0] = glow.specular[1] = glow.specular[2] = 0.0f;
        glow.emission[0] = glow.emission[1] = glow.emission[2] = 1.0f;
        Add(scene, back, glow);
        RAYTR::PrepareLighting(scene, 0.0f);
        EXPECT_EQ(scene.lighting.seeThrough, opacity < 1.0f);
        const VECTOR c = Settled(scene, Ray(P(0.3f, 0.2f, 5.0f), D(0, 0, -1)), 5u, 512);
        EXPECT_NEAR(c.x, 1.0f - opacity, 0.02f);
    }
}

}  // namespace
