// Rays that leave surfaces: error-bound offsets (the same picture at any scale) and the lift
// off the shadow terminator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "raytracer/offset.h"
#include "raytracer/scene.h"
#include "raytracer/shading.h"
#include "raytracer/tobject.h"
#include "tests/raytracer/scene_fixtures.h"

namespace {

using namespace redowl_test;
using RAYTR::LightSource;
using RAYTR::Ray;
using RAYTR::RayHit;
using RAYTR::Scene;
using RAYTR::TObject;

// A UV sphere of few triangles, its radius bumped by `bumps` (1 + bumps sin 3theta sin 4phi),
// scaled by s, with smooth normals (each vertex's the sum of its faces' normals, normalised),
// its grid built.
void SmoothSphere(TObject& object, float radius, int rings, int segments, VECTOR centre, float s, float bumps = 0.0f) {
    const float pi = 3.14159265358979f;
    auto index = [&](int r, int k) { return r * segments + (k % segments); };
    std::vector<VECTOR> grid(static_cast<size_t>((rings + 1) * segments));
    for (int r = 0; r <= rings; ++r)
        for (int k = 0; k < segments; ++k) {
            const float theta = pi * static_cast<float>(r) / static_cast<float>(rings);
            const float phi = 2.0f * pi * static_cast<float>(k) / static_cast<float>(segments);
            const float rho = radius * (1.0f + bumps * std::sin(3.0f * theta) * std::sin(4.0f * phi));
            grid[static_cast<size_t>(index(r, k))] =
                P((centre.x + rho * std::sin(theta) * std::cos(phi)) * s, (centre.y + rho * std::cos(theta)) * s,
                  (centre.z + rho * std::sin(theta) * std::sin(phi)) * s);
        }
    // The poles are one point each: every copy takes the first's position.
    for (int k = 1; k < segments; ++k) {
        grid[static_cast<size_t>(index(0, k))] = grid[0];
        grid[static_cast<size_t>(index(rings, k))] = grid[static_cast<size_t>(index(rings, 0))];
    }
    std::vector<int> corners;
    for (int r = 0; r < rings; ++r)
        for (int k = 0; k < segments; ++k) {
            // Outward: (B - A) x (C - A) points away from the centre.
            if (r != 0) corners.insert(corners.end(), {index(r, k), index(r, k + 1), index(r + 1, k)});
            if (r != rings - 1) corners.insert(corners.end(), {index(r, k + 1), index(r + 1, k + 1), index(r + 1, k)});
        }
    // Smooth normals: face normals summed per position.
    std::vector<VECTOR> normals(grid.size(), D(0, 0, 0));
    auto key = [&](int i) { return i < segments ? 0 : i >= rings * segments ? rings * segments : i; };
    for (size_t c = 0; c < corners.size(); c += 3) {
        const VECTOR &a = grid[static_cast<size_t>(corners[c])], &b = grid[static_cast<size_t>(corners[c + 1])],
                     &d = grid[static_cast<size_t>(corners[c + 2])];
        VECTOR n = ORVA_MATH::Cross(b - a, d - a);
        n.w = 0.0f;
        if (ORVA_MATH::Length(n) > 0.0f) n = n / ORVA_MATH::Length(n);
        for (int k = 0; k < 3; ++k) normals[static_cast<size_t>(key(corners[c + k]))] += n;
    }
    const unsigned n = static_cast<unsigned>(corners.size());
    object.Allocate(n, n, n / 3);
    for (unsigned i = 0; i < n; ++i) {
        object.vertices[i].position = grid[static_cast<size_t>(corners[i])];
        const VECTOR sum = normals[static_cast<size_t>(key(corners[i]))];
        object.vertices[i].normal = ORVA_MATH::Normalised(D(sum.x, sum.y, sum.z));
        object.vertices[i].u = object.vertices[i].v = 0.5f;
        object.indices[i] = i;
    }
    LinkTriangles(object, n / 3);
    object.PrepareForTracing();
    object.flags = 0x0F;
}

// Sphere and floor (the floor placed by its transform), a light and the eye, all scaled by s;
// the light's attenuation scaled with them, so that the picture does not depend on s.
void ScaledScene(Scene& scene, float s) {
    TObject sphere;
    SmoothSphere(sphere, 1.0f, 10, 14, D(0.0f, 1.0f, 0.0f), s);
    Paint(sphere, 200, 120, 60);
    scene.AddObject(sphere);
    Soup floor;
    floor.Floor(0.0f, 4.0f);
    for (VECTOR& c : floor.corners) c = P(c.x * s, c.y * s, c.z * s);
    TObject ground;
    ground.SetTransform(Translation(0.0f, -0.25f * s, 0.0f));
    Fill(ground, floor);
    Paint(ground, 90, 160, 220);
    scene.AddObject(ground);
    LightSource light = WhiteLight(P(2.0f * s, 4.0f * s, 3.0f * s));
    light.a1 /= s;
    light.a2 /= s * s;
    scene.AddLight(light);
    scene.eye = P(0.0f, 2.0f * s, 6.0f * s);
}

std::vector<VECTOR> Picture(const Scene& scene, float s, int n) {
    std::vector<VECTOR> image;
    const VECTOR eye = scene.eye, target = P(0.0f, 0.5f * s, 0.0f);
    const VECTOR forward = ORVA_MATH::Normalised(D(target.x - eye.x, target.y - eye.y, target.z - eye.z));
    const VECTOR right = ORVA_MATH::Normalised(ORVA_MATH::Cross(forward, D(0, 1, 0)));
    const VECTOR up = ORVA_MATH::Cross(right, forward);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            VECTOR d = ORVA_MATH::Normalised(forward + right * ((i + 0.5f) / n - 0.5f) + up * ((j + 0.5f) / n - 0.5f));
            d.w = 0.0f;
            RayHit hit;
            image.push_back(RAYTR::Shade(Ray(eye, d), hit, 1, scene));
        }
    return image;
}

TEST(OffsetTest, TheSameSceneAtScales1e4And1And1e4GivesTheSamePicture) {
    constexpr int n = 64;
    Scene unit;
    ScaledScene(unit, 1.0f);
    const std::vector<VECTOR> reference = Picture(unit, 1.0f, n);
    int lit = 0;
    for (const VECTOR& c : reference) lit += c.x > 0.05f;
    ASSERT_GT(lit, n * n / 4);  // sphere and floor fill the picture
    for (float s : {1e-4f, 1e4f}) {
        Scene scene;
        ScaledScene(scene, s);
        const std::vector<VECTOR> picture = Picture(scene, s, n);
        int different = 0;
        for (int p = 0; p < n * n; ++p)
            different += std::fabs(picture[p].x - reference[p].x) > 2.0f / 255.0f ||
                         std::fabs(picture[p].y - reference[p].y) > 2.0f / 255.0f ||
                         std::fabs(picture[p].z - reference[p].z) > 2.0f / 255.0f;
        std::printf("scale %g: %d of %d pixels differ by more than 2 levels\n", s, different, n * n);
        EXPECT_LE(different, n * n / 500) << s;  // a few silhouette pixels at most
    }
}

// Points of a coarse, bumpy, smooth-shaded sphere that its normals light (N.L clearly
// positive): with the shadow ray leaving from the flat triangle itself, the neighbouring
// triangles shadow many of them near the terminator; lifted onto the smooth surface that the
// vertex normals describe, none.
TEST(OffsetTest, TheShadowTerminatorLiftKeepsSmoothlyLitPointsLit) {
    Scene scene;
    TObject sphere;
    SmoothSphere(sphere, 1.0f, 8, 12, D(0.0f, 0.0f, 0.0f), 1.0f, 0.12f);
    scene.AddObject(sphere);
    const TObject& object = scene.objects[0];
    const VECTOR light = P(30.0f, 4.0f, 7.0f);
    int candidates = 0, blockedFlat = 0, blockedLifted = 0;
    for (unsigned t = 0; t < object.triangleCount; ++t)
        for (int a = 1; a < 8; ++a)
            for (int b = 1; a + b < 8; ++b) {
                RayHit hit;
                hit.triangle = &object.triangles[t];
                hit.b1 = a / 8.0f;
                hit.b2 = b / 8.0f;
                hit.b0 = 1.0f - hit.b1 - hit.b2;
                hit.transform = &object.box.transposed;
                hit.object = &object;
                RAYTR::ComputeHitPoint(hit);
                VECTOR n = RAYTR::InterpolatedNormal(hit);
                n = n / ORVA_MATH::Length(n);
                const VECTOR toLight = ORVA_MATH::Normalised(light - hit.point);
                if (ORVA_MATH::Dot(n, toLight) < 0.15f) continue;
                ++candidates;
                const RAYTR::SurfacePoint flat = RAYTR::SurfaceOf(hit, false);
                const VECTOR from = RAYTR::OffsetRayOrigin(flat, light - flat.position);
                blockedFlat += RAYTR::ShadowBlocked(Ray(from, ORVA_MATH::Normalised(light - from)), scene, light);
                blockedLifted += RAYTR::ShadowBlocked(RAYTR::ShadowRay(hit, light), scene, light);
            }
    std::printf("%d smoothly lit points: %d shadowed from the flat surface, %d lifted\n", candidates, blockedFlat,
                blockedLifted);
    ASSERT_GT(candidates, 200);
    EXPECT_GE(blockedFlat, 10);  // the terminator problem is there
    EXPECT_EQ(blockedLifted, 0);
}

// Rays that leave a convex closed surface to its outside (any direction on the outer side of
// the facet they leave, grazing ones included) start strictly on that side of the facet's
// exact plane (in double precision, the corners carried exactly) and meet nothing: neither the bounce ray nor the
// shadow ray to a point out there, for spheres at scales 1e-4, 1 and 1e4 around the origin
// (coordinates near zero), far out in their own coordinates and moved back by their
// transform, moved far out by it, and turned and stretched. And the origin moves off the
// surface by less than 2^-14 of the largest coordinate involved (the sphere's in its own
// frame or in the world's).
TEST(OffsetTest, RaysLeavingAConvexSurfaceNeverMeetIt) {
    struct Case {
        float s;
        VECTOR centre;  // in the sphere's own coordinates, radius s
        MATRIX transform;
    };
    MATRIX turned = MATRIX::Identity();  // 30 degrees about y, 2.5 times along x, moved
    const float c = std::cos(0.5236f), sn = std::sin(0.5236f);
    turned(0, 0) = 2.5f * c, turned(0, 2) = -2.5f * sn, turned(2, 0) = sn, turned(2, 2) = c;
    turned(3, 0) = 4.0f, turned(3, 1) = -1.0f;
    const Case cases[] = {{1.0f, D(0, 0, 0), MATRIX::Identity()},
                          {1e-4f, D(0, 0, 0), MATRIX::Identity()},
                          {1e4f, D(0, 0, 0), MATRIX::Identity()},
                          {1.0f, D(0, 0, 0), Translation(1000.0f, -1000.0f, 500.0f)},
                          {1.0f, D(3000.0f, 0, -2000.0f), Translation(-3000.0f, 0.0f, 2000.0f)},
                          {1.0f, D(0.3f, 0, 0), turned}};
    std::mt19937 random(31);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    int hits = 0, met = 0, behind = 0;
    float farthest = 0.0f;  // the largest move off the surface, in units of the coordinates' magnitude
    for (const Case& k : cases) {
        Scene scene;
        TObject sphere;
        SmoothSphere(sphere, 1.0f, 12, 16, D(k.centre.x / k.s, k.centre.y / k.s, k.centre.z / k.s), k.s);
        sphere.SetTransform(k.transform);
        scene.AddObject(sphere);
        const MATRIX& toWorld = scene.objects[0].box.transform;  // k.transform about the box's middle
        const VECTOR middle = ORVA_MATH::Transform(P(k.centre.x, k.centre.y, k.centre.z), toWorld);
        auto largest = [](const VECTOR& v) { return std::max({std::fabs(v.x), std::fabs(v.y), std::fabs(v.z)}); };
        const float magnitude = std::max(largest(k.centre), largest(middle)) + 2.5f * k.s;
        for (int n = 0; n < 3000; ++n) {
            VECTOR from = D(gauss(random), gauss(random), gauss(random));
            from = middle + ORVA_MATH::Normalised(from) * (8.0f * k.s);
            from.w = 1.0f;
            VECTOR d = middle - from + D(gauss(random), gauss(random), gauss(random)) * (0.6f * k.s);
            d.w = 0.0f;
            RayHit hit;
            if (!RAYTR::ClosestHit(Ray(from, d), scene, hit)) continue;
            ++hits;
            const RAYTR::SurfacePoint surface = RAYTR::SurfaceOf(hit, false);
            // Out along the facet: any direction of its outer side, every fourth one grazing.
            VECTOR w = ORVA_MATH::Normalised(D(gauss(random), gauss(random), gauss(random)));
            float along = ORVA_MATH::Dot(w, surface.normal);
            if (along < 0.0f) w = w - surface.normal * (2.0f * along), along = -along;
            if (n % 4 == 0) w = ORVA_MATH::Normalised(w - surface.normal * (along - 1e-3f));
            w.w = 0.0f;
            const VECTOR origin = RAYTR::OffsetRayOrigin(surface, w);
            // The facet's plane in world coordinates, exactly: the origin on its outer side.
            double corner[3][3];
            const ORVA_GRAPHICS::VERTEX* v[3] = {hit.triangle->A, hit.triangle->B, hit.triangle->C};
            for (int q = 0; q < 3; ++q)
                for (int j = 0; j < 3; ++j)
                    corner[q][j] = double(v[q]->position.x) * toWorld(0, j) + double(v[q]->position.y) * toWorld(1, j) +
                                   double(v[q]->position.z) * toWorld(2, j) + toWorld(3, j);
            double e1[3], e2[3], o[3];
            for (int j = 0; j < 3; ++j) e1[j] = corner[1][j] - corner[0][j], e2[j] = corner[2][j] - corner[0][j], o[j] = origin[j] - corner[0][j];
            const double normal[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
            const double side = normal[0] * w.x + normal[1] * w.y + normal[2] * w.z;
            behind += !((normal[0] * o[0] + normal[1] * o[1] + normal[2] * o[2]) * side > 0.0);
            farthest = std::max(farthest, ORVA_MATH::Length(origin - surface.position) / magnitude);
            RayHit bounce;
            met += RAYTR::ClosestHit(Ray(origin, w), scene, bounce);
            const VECTOR target = surface.position + w * (5.0f * k.s);
            met += RAYTR::ShadowBlocked(RAYTR::ShadowRay(hit, target), scene, target);
        }
    }
    std::printf("%d hits on spheres: %d offset origins not beyond the facet, %d rays met the sphere again, farthest "
                "move %g of the magnitude\n", hits, behind, met, farthest);
    EXPECT_GT(hits, 6 * 2000);
    EXPECT_EQ(behind, 0);
    EXPECT_EQ(met, 0);
    EXPECT_LT(farthest, 1.0f / 16384.0f);
}

}  // namespace
