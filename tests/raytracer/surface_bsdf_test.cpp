// The one description of a described surface's scattering: no combination of its lobes
// reflects more than arrives, it is reciprocal, and nothing reaches a point from behind its
// triangle (a closed model lit from outside is dark inside).
#include "raytracer/surface_bsdf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>

#include "mesh/model_load.h"
#include "raytracer/sampling.h"
#include "raytracer/shading.h"
#include "raytracer/sky_light.h"
#include "tests/loaders/model_files.h"
#include "tests/raytracer/scene_fixtures.h"

namespace {

using namespace redowl_test;
using RAYTR::BsdfSample;
using RAYTR::kPi;
using RAYTR::Ray;
using RAYTR::SurfaceBsdf;
using RAYTR::SurfaceParameters;

VECTOR RandomUnit(std::mt19937& rng) {
    std::normal_distribution<float> g;
    return ORVA_MATH::Normalised(D(g(rng), g(rng), g(rng)));
}

// A random material of every kind the material function builds: dielectric or metal or in
// between, highlight-only or reflecting the scene, with or without a mirror share, roughness
// from mirror-smooth to 1, colours up to white.
SurfaceParameters RandomSurface(std::mt19937& rng, int kind) {
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    SurfaceParameters p;
    for (int k = 0; k < 3; ++k) {
        p.base[k] = kind % 5 == 0 ? 1.0f : u(rng);
        p.specular[k] = kind % 3 == 0 ? 1.0f : 0.2f * u(rng);
    }
    p.metallic = kind % 4 == 1 ? 1.0f : (kind % 4 == 2 ? u(rng) : 0.0f);
    p.mirror = kind % 6 == 3 ? u(rng) : 0.0f;
    p.roughness = kind % 7 == 0 ? 0.01f * u(rng) : u(rng);
    p.reflectsScene = kind % 2 == 0;
    return p;
}

// Seeded white furnace: for random materials, view directions and shading normals tilted off the
// geometric one, what the lobes reflect of light arriving evenly from everywhere is at most 1,
// estimated both by their evaluation (the lights' path) and by their samples (the sky's and the
// reflections' path); and f(wo, wi) / cos(wi) is the same both ways.
TEST(SurfaceBsdfTest, NoLobeCombinationReflectsMoreThanArrivesAndEachIsReciprocal) {
    std::mt19937 rng(37);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int trial = 0; trial < 60; ++trial) {
        const SurfaceParameters p = RandomSurface(rng, trial);
        const VECTOR geometric = D(0, 0, 1);
        const VECTOR shading = ORVA_MATH::Normalised(geometric + RandomUnit(rng) * (trial % 3 == 0 ? 0.0f : 0.3f));
        VECTOR wo = RandomUnit(rng);
        if (wo.z < 0.0f) wo.z = -wo.z;
        if (ORVA_MATH::Dot(wo, shading) < 0.05f) continue;
        const SurfaceBsdf bsdf(p, wo, shading, geometric);
        // Per channel; the lights' path by importance: the diffuse lobe by the cosine, the coat
        // by the visible normals of its lights' roughness (its evaluation over its density).
        const RAYTR::ShadingFrame frame(shading);
        const RAYTR::Microfacet lightCoat(std::max(p.roughness, RAYTR::kLightRoughness), D(1, 1, 1));
        const VECTOR woLocal = frame.ToLocal(wo);
        constexpr int kN = 20000;
        VECTOR evaluatedSum(0, 0, 0, 0), sampledSum(0, 0, 0, 0);
        for (int i = 0; i < kN; ++i) {
            const float su = u(rng), sv = u(rng);
            const BsdfSample cosine = RAYTR::Lambert(D(1, 1, 1)).Sample(woLocal, su, sv);
            if (cosine.pdf > 0.0f) evaluatedSum += bsdf.DiffuseReflected(frame.ToWorld(cosine.wi)) / cosine.pdf;
            const BsdfSample lobe = lightCoat.Sample(woLocal, sv, su);
            if (lobe.pdf > 0.0f) evaluatedSum += bsdf.CoatReflected(frame.ToWorld(lobe.wi)) / lobe.pdf;
            for (const BsdfSample& s : {bsdf.SampleDiffuse(su, sv), bsdf.SampleCoat(sv, su), bsdf.SampleMirror()}) {
                if (!(s.pdf > 0.0f)) continue;
                sampledSum += s.weight;
                EXPECT_GT(ORVA_MATH::Dot(s.wi, geometric), 0.0f);
            }
        }
        const double evaluated = std::max({evaluatedSum.x, evaluatedSum.y, evaluatedSum.z}) / kN + p.mirror;  // the mirror's delta is not evaluated
        const double sampled = std::max({sampledSum.x, sampledSum.y, sampledSum.z}) / kN;
        const char* what = p.reflectsScene ? "scene-reflecting coat" : "highlight-only coat";
        EXPECT_LE(evaluated, 1.03) << what << " trial " << trial << " roughness " << p.roughness;
        EXPECT_LE(sampled, 1.01) << what << " trial " << trial << " roughness " << p.roughness;
        // Reciprocity between wo and a random wi above both surfaces.
        for (int i = 0; i < 20; ++i) {
            VECTOR wi = RandomUnit(rng);
            if (wi.z < 0.0f) wi.z = -wi.z;
            if (ORVA_MATH::Dot(wi, shading) < 0.05f) continue;
            const SurfaceBsdf back(p, wi, shading, geometric);
            const float cosWi = ORVA_MATH::Dot(wi, shading), cosWo = ORVA_MATH::Dot(wo, shading);
            const VECTOR there = (bsdf.DiffuseReflected(wi) + bsdf.CoatReflected(wi)) / cosWi;
            const VECTOR here = (back.DiffuseReflected(wo) + back.CoatReflected(wo)) / cosWo;
            EXPECT_NEAR(there.x, here.x, 1e-3f * std::max(1.0f, here.x)) << "trial " << trial;
            EXPECT_NEAR(there.z, here.z, 1e-3f * std::max(1.0f, here.z)) << "trial " << trial;
        }
    }
}

// A mirror-smooth coat shows a light as a bounded spot: at roughness 0, 0.01 and 0.1 the
// highlight peaks at the same finite value, no single direction stands out by thousands.
TEST(SurfaceBsdfTest, NearlySmoothCoatsShowTheLightWithoutFireflies) {
    SurfaceParameters p;
    p.base[0] = p.base[1] = p.base[2] = 0.0f;
    float peaks[3];
    int k = 0;
    for (const float roughness : {0.0f, 0.01f, RAYTR::kLightRoughness}) {
        p.roughness = roughness;
        const VECTOR wo = ORVA_MATH::Normalised(D(0.3f, 0.0f, 1.0f));
        const SurfaceBsdf bsdf(p, wo, D(0, 0, 1), D(0, 0, 1));
        peaks[k++] = bsdf.CoatReflected(ORVA_MATH::Normalised(D(-0.3f, 0.0f, 1.0f))).x;
    }
    EXPECT_GT(peaks[0], 0.0f);
    EXPECT_FLOAT_EQ(peaks[0], peaks[2]);
    EXPECT_FLOAT_EQ(peaks[1], peaks[2]);
    EXPECT_LT(peaks[0], 200.0f);
}

// A closed, smooth-shaded sphere of few facets, seen from both sides (inward copies with inward
// normals), lit from outside: from its centre every wall shows exactly what it shows when a
// screen between the light and the sphere blocks the light. Shading normals that lean toward
// the light where the facet turns from it must not let light in.
TEST(SurfaceBsdfTest, AClosedSphereLitFromOutsideLeaksNoLightInside) {
    const auto sphere = [](bool screened) {
        auto scene = std::make_unique<RAYTR::Scene>();
        Soup shell = [] {
            Soup s;
            const VECTOR c = P(0, 0, 0);
            const int rings = 5, segments = 7;
            auto at = [&](int i, int j) {
                const float t = kPi * float(i) / float(rings), q = 2.0f * kPi * float(j) / float(segments);
                return P(std::sin(t) * std::cos(q), std::cos(t), std::sin(t) * std::sin(q));
            };
            for (int i = 0; i < rings; ++i)
                for (int j = 0; j < segments; ++j) s.Quad(at(i, j), at(i, j + 1), at(i + 1, j + 1), at(i + 1, j), at(i, j) + at(i + 1, j + 1) - c - c);
            const std::size_t outward = s.corners.size();
            for (std::size_t k = 0; k < outward; k += 3)  // the inward copies
                for (const std::size_t m : {k, k + 2, k + 1}) s.corners.push_back(s.corners[m]), s.uv.push_back(0), s.uv.push_back(0);
            return s;
        }();
        RAYTR::TObject object;
        Fill(object, shell);
        const unsigned half = object.vertexCount / 2;
        for (unsigned v = 0; v < object.vertexCount; ++v) {
            const VECTOR n = ORVA_MATH::Normalised(D(object.vertices[v].position.x, object.vertices[v].position.y, object.vertices[v].position.z));
            object.vertices[v].normal = v < half ? n : n * -1.0f;
        }
        ORVA_GRAPHICS::Material white;
        white.described = true;
        white.reflectsScene = true;
        white.roughness = 0.3f;
        object.materials.assign(1, white);
        object.BindMaterialImages();
        scene->AddObject(object);
        if (screened) {
            Soup screen;
            screen.Wall(0.0f, 6.0f);
            screen.Move(D(0, 0, 3.0f));
            for (std::size_t k = 0; k < screen.corners.size(); k += 3) std::swap(screen.corners[k + 1], screen.corners[k + 2]);
            RAYTR::TObject blocker;
            Fill(blocker, screen, RAYTR::TObject::kShadowFlag);
            scene->AddObject(blocker);
        }
        scene->AddLight(WhiteLight(P(0.3f, 0.2f, 6.0f)));
        RAYTR::PrepareLighting(*scene, 0.0f);
        return scene;
    };
    const auto open = sphere(false), screened = sphere(true);
    std::mt19937 rng(5);
    for (int i = 0; i < 3000; ++i) {
        const Ray ray(P(0.01f, -0.02f, 0.03f), RandomUnit(rng));
        RAYTR::RayHit a, b;
        const RAYTR::PixelSample sample = RAYTR::SampleOf(std::uint32_t(i), 1);
        const VECTOR lit = RAYTR::Shade(ray, a, 1, *open, &sample), dark = RAYTR::Shade(ray, b, 1, *screened, &sample);
        ASSERT_NEAR(lit.x, dark.x, 1e-5f) << "ray " << i;
        ASSERT_NEAR(lit.y, dark.y, 1e-5f) << "ray " << i;
    }
}

// A file whose normals have no direction ("vn 0 0 0") loads with the faces' normals in their
// place, says so, and its settling picture stays finite.
TEST(SurfaceBsdfTest, ZeroFileNormalsAreReplacedAtLoadAndSettleToFiniteValues) {
    redowl_test::TempDir dir;
    std::ofstream(dir.File("flat.obj")) << "v -1 -1 0\nv 1 -1 0\nv 1 1 0\nv -1 1 0\nvn 0 0 0\nvn 0 0 1\n"
                                           "f 1//1 2//1 3//2\nf 1//1 3//2 4//1\n";
    ORVA_GRAPHICS::ModelOptions options;
    options.materials = ORVA_GRAPHICS::Materials::File;
    options.smoothing = ORVA_GRAPHICS::Smoothing::Groups;
    RAYTR::Scene scene;
    {
        RAYTR::TObject object;
        const ORVA_GRAPHICS::ModelLoadInfo info = ORVA_GRAPHICS::LoadModel(object, dir.File("flat.obj"), options);
        EXPECT_EQ(info.replacedNormals, 3);
        ASSERT_FALSE(info.notes.empty());
        for (unsigned v = 0; v < object.vertexCount; ++v) {
            const VECTOR& n = object.vertices[v].normal;
            EXPECT_NEAR(n.z, 1.0f, 1e-6f) << "vertex " << v;
        }
        object.PrepareForTracing();
        object.flags = 0x0F;
        scene.AddObject(object);
    }
    scene.AddLight(WhiteLight(P(0, 0, 5)));
    RAYTR::PrepareLighting(scene, 1.0f);
    for (int i = 0; i < 64; ++i) {
        const Ray ray(P(-0.9f + 0.028f * float(i), 0.3f, 4.0f), D(0, 0, -1));
        VECTOR sum(0, 0, 0, 0);
        for (std::uint32_t n = 1; n <= 8; ++n) {
            const RAYTR::PixelSample sample = RAYTR::SampleOf(std::uint32_t(i), n);
            RAYTR::RayHit hit;
            sum += RAYTR::Shade(ray, hit, 1, scene, &sample);
        }
        EXPECT_TRUE(std::isfinite(sum.x) && std::isfinite(sum.y) && std::isfinite(sum.z)) << "ray " << i;
        EXPECT_GT(sum.x, 0.0f) << "ray " << i;
    }
}

}  // namespace
