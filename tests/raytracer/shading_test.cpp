#include "raytracer/shading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "loaders/texture.h"
#include "raytracer/sky.h"
#include "tests/raytracer/scene_fixtures.h"

namespace {

using namespace redowl_test;
using RAYTR::LightSource;
using RAYTR::Ray;
using RAYTR::RayHit;
using RAYTR::Scene;
using RAYTR::TObject;

constexpr float k255 = 0.003921569f;

MATRIX ScaleAndMove(float s, float x, float y, float z) {
    MATRIX m = MATRIX::Identity();
    m(0, 0) = m(1, 1) = m(2, 2) = s;
    m(3, 0) = x;
    m(3, 1) = y;
    m(3, 2) = z;
    return m;
}

void AddSoup(Scene& scene, const Soup& soup, unsigned flags = 0x0F, const MATRIX* transform = nullptr) {
    TObject object;
    Fill(object, soup, flags);
    if (transform) object.SetTransform(*transform);
    scene.AddObject(object);
}

Soup FloorSoup(float half = 10.0f) {
    Soup s;
    s.Floor(0.0f, half);
    return s;
}

// The floor point (x, 0, z) seen from straight above.
RayHit FloorHit(const Scene& scene, float x, float z) {
    RayHit hit;
    EXPECT_TRUE(RAYTR::ClosestHit(Ray(P(x, 5.0f, z), D(0, -1, 0)), scene, hit));
    return hit;
}

void ExpectColour(const VECTOR& c, float x, float y, float z, float tolerance = 1e-6f) {
    EXPECT_NEAR(c.x, x, tolerance);
    EXPECT_NEAR(c.y, y, tolerance);
    EXPECT_NEAR(c.z, z, tolerance);
}

TEST(ShadingQueryTest, EmptySceneHitsNothingAndShadesBlack) {
    Scene scene;
    scene.AddLight(WhiteLight(P(0, 10, 0)));
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (int i = 0; i < 50; ++i) {
        const Ray ray(P(u(rng), u(rng), u(rng)), D(u(rng), u(rng), u(rng)));
        RayHit hit;
        EXPECT_FALSE(RAYTR::ClosestHit(ray, scene, hit));
        EXPECT_EQ(hit.triangle, nullptr);
        EXPECT_EQ(hit.transform, nullptr);
        const VECTOR c = RAYTR::Shade(ray, hit, 1, scene);
        EXPECT_EQ(c.x, 0.0f);
        EXPECT_EQ(c.y, 0.0f);
        EXPECT_EQ(c.z, 0.0f);
        EXPECT_EQ(c.w, 0.0f);
    }
}

TEST(ShadingQueryTest, ClosestHitFillsTheRecordOfTheNearestObjectInWorldDistance) {
    Soup wall;
    wall.Wall(0.0f, 1.0f);
    Soup far;
    far.Wall(-5.0f, 1.0f);
    Scene scene;
    AddSoup(scene, far);
    // Shrunk to a quarter and moved to z = 5: 10 from the eye in the world, 40 in its own units.
    const MATRIX near = ScaleAndMove(0.25f, 0.0f, 0.0f, 5.0f);
    AddSoup(scene, wall, 0x0F, &near);

    RayHit hit;
    ASSERT_TRUE(RAYTR::ClosestHit(Ray(P(0.1f, 0.1f, 15.0f), D(0, 0, -1)), scene, hit));
    EXPECT_EQ(hit.transform, &scene.objects[1].box.transposed);
    EXPECT_EQ(hit.material, &scene.objects[1].materials[0]);
    EXPECT_EQ(hit.material->image, &scene.objects[1].textures[0]);
    EXPECT_TRUE(hit.flags & RAYTR::kHitPointComputed);
    EXPECT_NEAR(hit.point.x, 0.4f, 1e-5f);  // object coordinates
    EXPECT_NEAR(hit.point.w, 1.0f, 1e-6f);
    EXPECT_NEAR(hit.b0 + hit.b1 + hit.b2, 1.0f, 1e-6f);
    const VECTOR world = RAYTR::HitPointInWorld(hit);
    EXPECT_NEAR(world.x, 0.1f, 1e-5f);
    EXPECT_NEAR(world.z, 5.0f, 1e-5f);

    // Beside the small wall only the far one is met.
    ASSERT_TRUE(RAYTR::ClosestHit(Ray(P(0.5f, 0.0f, 15.0f), D(0, 0, -1)), scene, hit));
    EXPECT_EQ(hit.transform, &scene.objects[0].box.transposed);
    EXPECT_NEAR(RAYTR::HitPointInWorld(hit).z, -5.0f, 1e-5f);
}

TEST(ShadingQueryTest, EqualDistancesKeepTheEarlierObject) {
    Soup wall;
    wall.Wall(0.0f, 1.0f);
    Scene scene;
    AddSoup(scene, wall);
    AddSoup(scene, wall);
    RayHit hit;
    ASSERT_TRUE(RAYTR::ClosestHit(Ray(P(0.3f, -0.2f, 4.0f), D(0, 0, -1)), scene, hit));
    EXPECT_EQ(hit.transform, &scene.objects[0].box.transposed);
    EXPECT_EQ(hit.triangle >= scene.objects[0].triangles && hit.triangle < scene.objects[0].triangles + 2, true);
}

TEST(ShadingQueryTest, OriginInsideTheBoxReachesTheGridEvenWhenHeadingAway) {
    Scene scene;
    AddSoup(scene, FloorSoup(1.0f));
    // From above the floor, moving away from its middle, down onto the floor at (0.7, 0, 0).
    const Ray ray(P(0.5f, 0.2f, 0.0f), ORVA_MATH::Normalised(D(1, -1, 0)));
    RayHit hit;
    ASSERT_TRUE(RAYTR::ClosestHit(ray, scene, hit));
    EXPECT_NEAR(RAYTR::HitPointInWorld(hit).x, 0.7f, 1e-5f);
    EXPECT_EQ(hit.object, &scene.objects[0]);
    // Outside the floor's box and heading away: nothing.
    EXPECT_FALSE(RAYTR::ClosestHit(Ray(P(3, 0.5f, 0), D(1, -0.1f, 0)), scene, hit));
    EXPECT_EQ(hit.object, nullptr);
}

// Floor plus a small square at height h facing down (toward the floor).
Scene FloorAndBlocker(float h, unsigned blockerFlags, bool moveBlocker) {
    Scene scene;
    AddSoup(scene, FloorSoup());
    Soup blocker;
    if (moveBlocker) {
        // Made at height 0 and lifted by the transform.
        blocker.Floor(0.0f, 0.5f, true);
        const MATRIX lift = Translation(0.0f, h, 0.0f);
        AddSoup(scene, blocker, blockerFlags, &lift);
    } else {
        blocker.Floor(h, 0.5f, true);
        AddSoup(scene, blocker, blockerFlags);
    }
    return scene;
}

TEST(ShadingQueryTest, OnlyABlockerBetweenPointAndLightShadows) {
    for (bool moved : {false, true}) {
        SCOPED_TRACE(moved ? "blocker moved by its transform" : "blocker built in place");
        const Scene scene = FloorAndBlocker(5.0f, 0x0F, moved);
        RayHit scratch = FloorHit(scene, 0.1f, 0.1f);
        const VECTOR point = RAYTR::HitPointInWorld(scratch);
        for (float lightHeight : {3.0f, 4.9f, 5.1f, 8.0f}) {
            const VECTOR light = P(0.1f, lightHeight, 0.1f);
            // From the point itself (the floor faces the light: never hit from behind), and from
            // the offset origin of a shadow ray.
            const bool blocked = RAYTR::ShadowBlocked(Ray(point, D(0, 1, 0)), scene, light);
            EXPECT_EQ(RAYTR::ShadowBlocked(RAYTR::ShadowRay(scratch, light), scene, light), blocked);
            EXPECT_EQ(blocked, lightHeight > 5.0f) << "light at " << lightHeight;
        }
    }
}

TEST(ShadingQueryTest, FlagsDecideWhichObjectsAreHitAndWhichShadow) {
    Soup wall;
    wall.Wall(0.0f, 1.0f);
    for (unsigned flags : {0x0Fu, 0x0Bu, 0x07u, 0x03u}) {
        Scene scene;
        AddSoup(scene, wall, flags);
        RayHit hit;
        EXPECT_EQ(RAYTR::ClosestHit(Ray(P(0, 0, 5), D(0, 0, -1)), scene, hit), (flags & 0x4) != 0) << flags;

        const Scene shadowScene = FloorAndBlocker(2.0f, flags, false);
        RayHit scratch = FloorHit(shadowScene, 0.0f, 0.0f);
        const VECTOR point = RAYTR::HitPointInWorld(scratch);
        EXPECT_EQ(RAYTR::ShadowBlocked(Ray(point, D(0, 1, 0)), shadowScene, P(0, 10, 0)), (flags & 0x8) != 0)
            << flags;
    }
}

TEST(ShadingTest, BackFacingLightGivesAmbientMinusDiffuseAndNoSpecular) {
    Scene scene;
    AddSoup(scene, FloorSoup());
    const RayHit hit = FloorHit(scene, 0.0f, 0.0f);
    // The light below the floor and far to +x, the eye far to -x: the mirror of L would line
    // up with V, so any specular would show.
    scene.eye = P(-100.0f, 1.0f, 0.0f);
    LightSource light = WhiteLight(P(10.0f, -1.0f, 0.0f), 1.0f);
    light.a1 = light.a2 = 0.0f;
    const float nl = -1.0f / std::sqrt(101.0f);
    const float c = light.colour.x;
    ExpectColour(RAYTR::LocalIllumination(Ray(), hit, light, scene), c * (0.8f + 0.8f * nl), c * (0.8f + 0.8f * nl),
                 c * (0.8f + 0.8f * nl), 1e-5f);
    // Straight below with little ambient: clamped at zero.
    light.position = P(0.0f, -10.0f, 0.0f);
    light.ambient = 0.5f;
    ExpectColour(RAYTR::LocalIllumination(Ray(), hit, light, scene), 0.0f, 0.0f, 0.0f, 0.0f);
    light.ambient = 1.5f;
    ExpectColour(RAYTR::LocalIllumination(Ray(), hit, light, scene), c * 0.4f, c * 0.4f, c * 0.4f, 1e-6f);
}

TEST(ShadingTest, AttenuationAtDistanceTenDividesByOnePointTwo) {
    Scene scene;
    AddSoup(scene, FloorSoup());
    scene.eye = P(0, 0, 15);
    const RayHit hit = FloorHit(scene, 0.0f, 0.0f);
    LightSource light = WhiteLight(P(0, 10, 0));
    const VECTOR attenuated = RAYTR::LocalIllumination(Ray(), hit, light, scene);
    light.a1 = light.a2 = 0.0f;
    const VECTOR plain = RAYTR::LocalIllumination(Ray(), hit, light, scene);
    ASSERT_GT(plain.x, 0.0f);
    EXPECT_NEAR(plain.x / attenuated.x, 1.2f, 1e-5f);
    EXPECT_NEAR(plain.z / attenuated.z, 1.2f, 1e-5f);
}

TEST(ShadingTest, SpecularFollowsTheMirrorOfTheLight) {
    Scene scene;
    AddSoup(scene, FloorSoup());
    scene.eye = P(-5, 5, 0);
    const RayHit hit = FloorHit(scene, 0.0f, 0.0f);
    LightSource light = WhiteLight(P(5, 5, 0));  // mirror image of the eye: s = 1
    light.a1 = light.a2 = 0.0f;
    const VECTOR mirrored = RAYTR::LocalIllumination(Ray(), hit, light, scene);
    light.position = P(-5, 5, 0);  // beside the eye, same N . L and distance: s = 0
    const VECTOR beside = RAYTR::LocalIllumination(Ray(), hit, light, scene);
    const float c = light.colour.x;
    EXPECT_NEAR(beside.x, c * 0.8f * (1.0f + std::sqrt(0.5f)), 1e-5f);
    EXPECT_NEAR(mirrored.x - beside.x, c * 0.8f, 1e-5f);
}

TEST(ShadingTest, TextureLookupIsBilinearRepeatsLikeThePreviewAndKeepsRedBlueGreenLanes) {
    TEXTURE t;
    t.width = 2;
    t.height = 2;
    t.pixels = new unsigned char[12]{10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120};
    auto texel = [](float r, float g, float b) { return VECTOR(r * k255, b * k255, g * k255, k255); };
    const VECTOR t00 = texel(10, 20, 30), t10 = texel(40, 50, 60), t01 = texel(70, 80, 90), t11 = texel(100, 110, 120);
    auto expect = [&](float u, float v, const VECTOR& e) {
        const VECTOR s = RAYTR::SampleTexture(&t, u, v);
        EXPECT_NEAR(s.x, e.x, 1e-6f) << u << "," << v;
        EXPECT_NEAR(s.y, e.y, 1e-6f) << u << "," << v;
        EXPECT_NEAR(s.z, e.z, 1e-6f) << u << "," << v;
        EXPECT_NEAR(s.w, e.w, 1e-6f) << u << "," << v;
    };
    // Texel (i, j) is centred on ((i + 0.5) / W, (j + 0.5) / H), as with GL_LINEAR.
    const VECTOR centre = RAYTR::SampleTexture(&t, 0.25f, 0.25f);
    EXPECT_EQ(centre.x, t00.x);
    EXPECT_EQ(centre.y, t00.y);
    EXPECT_EQ(centre.z, t00.z);
    expect(0.75f, 0.25f, t10);
    expect(0.25f, 0.75f, t01);
    expect(0.75f, 0.75f, t11);
    expect(0.5f, 0.5f, (t00 + t10 + t01 + t11) * 0.25f);
    expect(0.375f, 0.25f, t00 * 0.75f + t10 * 0.25f);
    // Across the edges the neighbours wrap around, as GL_REPEAT does.
    expect(0.0f, 0.25f, (t00 + t10) * 0.5f);
    expect(1.0f, 0.75f, (t01 + t11) * 0.5f);
    // Whole periods give the same colour, on either side of 0.
    std::mt19937 random(3);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int n = 0; n < 200; ++n) {
        const float u = unit(random), v = unit(random);
        const float du = static_cast<float>(n % 7 - 3), dv = static_cast<float>(n % 5 - 2);
        expect(u + du, v + dv, RAYTR::SampleTexture(&t, u, v));
    }
    // Not a number, or too large to wrap: the centre of column or row 0.
    expect(std::numeric_limits<float>::quiet_NaN(), 0.25f, t00);
    expect(1e30f, -1e30f, t00);

    // A single row: every neighbour stays inside the pixels (the sanitizer builds check).
    TEXTURE row;
    row.width = 3;
    row.height = 1;
    row.pixels = new unsigned char[9]{1, 2, 3, 4, 5, 6, 7, 8, 9};
    const VECTOR last = RAYTR::SampleTexture(&row, 5.0f / 6.0f, 0.999f);
    EXPECT_NEAR(last.x, 7 * k255, 1e-6f);
    EXPECT_NEAR(last.y, 9 * k255, 1e-6f);

    // No image: white, the value of a (255, 255, 255) texel.
    TEXTURE none;
    for (const TEXTURE* empty : {static_cast<const TEXTURE*>(&none), static_cast<const TEXTURE*>(nullptr)}) {
        const VECTOR w = RAYTR::SampleTexture(empty, 0.3f, 0.3f);
        EXPECT_NEAR(w.x, 1.0f, 1e-6f);
        EXPECT_NEAR(w.y, 1.0f, 1e-6f);
        EXPECT_NEAR(w.z, 1.0f, 1e-6f);
    }
    TEXTURE zeroWide;
    zeroWide.width = 0;
    zeroWide.height = 4;
    zeroWide.pixels = new unsigned char[3]{0, 0, 0};
    EXPECT_NEAR(RAYTR::SampleTexture(&zeroWide, 0.5f, 0.5f).x, 1.0f, 1e-6f);
}

TEST(ShadingTest, TextureLookupWrapsFarCoordinatesAndTheSkyMapsDirectionsAsTheLibrarysAngles) {
    // Column i of a one-row texture holds the bytes (10 i, 0, 0): a lookup's red lane is the
    // bilinear mix of the wrapped columns ix and ix + 1, against the modulo of the texel coordinate.
    TEXTURE strip;
    strip.width = 7;
    strip.height = 1;
    strip.pixels = new unsigned char[21]{};
    for (int i = 0; i < 7; ++i) strip.pixels[3 * i] = static_cast<unsigned char>(10 * i);
    std::mt19937 random(39);
    std::uniform_real_distribution<float> exponent(-2.0f, 7.5f), sign(-1.0f, 1.0f);
    for (int n = 0; n < 4000; ++n) {
        const float u = std::copysign(std::pow(10.0f, exponent(random)), sign(random));
        const float x = u * 7.0f - 0.5f, x0 = std::floor(x), fx = x - x0;
        const long long ix = ((static_cast<long long>(x0) % 7) + 7) % 7, ix1 = (ix + 1) % 7;
        const float expected = (10.0f * float(ix) * k255) * (1.0f - fx) + (10.0f * float(ix1) * k255) * fx;
        ASSERT_NEAR(RAYTR::SampleTexture(&strip, u, 0.5f).x, expected, 1e-5f) << u;
    }

    // The sky: a random texture on a dome; rays from inside it and from far outside.
    TEXTURE image;
    image.width = 64;
    image.height = 32;
    image.pixels = new unsigned char[64 * 32 * 3];
    std::uniform_int_distribution<int> byte(0, 255);
    for (int k = 0; k < 64 * 32 * 3; ++k) image.pixels[k] = static_cast<unsigned char>(byte(random));
    RAYTR::SkyDome sky;
    sky.texture = &image;
    sky.centre = P(1, 2, 3);
    sky.radius = 10.0f;
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    for (int n = 0; n < 4000; ++n) {
        const VECTOR d(gauss(random), gauss(random), gauss(random), 0.0f);
        const bool inside = n % 2 == 0;
        const VECTOR o = inside ? P(1 + 3 * sign(random), 2 + 3 * sign(random), 3 + 3 * sign(random)) : P(90, -40, 70);
        // The reference: the point where the ray leaves the sphere (its direction from outside),
        // its longitude and latitude by the library in double precision.
        double q[3] = {d.x, d.y, d.z};
        const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
        for (double& c : q) c /= length;
        if (inside) {
            const double oc[3] = {o.x - 1.0, o.y - 2.0, o.z - 3.0};
            const double b = oc[0] * q[0] + oc[1] * q[1] + oc[2] * q[2];
            const double t = -b + std::sqrt(b * b - (oc[0] * oc[0] + oc[1] * oc[1] + oc[2] * oc[2] - 100.0));
            for (int a = 0; a < 3; ++a) q[a] = (oc[a] + q[a] * t) / 10.0;
        }
        const double pi = 3.14159265358979323846;
        const float u = static_cast<float>(std::atan2(q[2], q[0]) / (2 * pi) + (q[2] < 0 ? 1.0 : 0.0));
        const float v = static_cast<float>(std::atan2(q[1], std::hypot(q[0], q[2])) / pi + 0.5);
        const VECTOR expected = RAYTR::SampleTexture(&image, u, v);
        const VECTOR seen = RAYTR::SkyColour(sky, Ray(o, d));
        // A texel's step is at most 1 (255 levels); the mapping within a 10,000th of a texel.
        ASSERT_NEAR(seen.x, expected.x, 2e-4f) << n;
        ASSERT_NEAR(seen.y, expected.y, 2e-4f) << n;
        ASSERT_NEAR(seen.z, expected.z, 2e-4f) << n;
    }
}

// Floor (white) with a red box floating above it, the light overhead.
Scene FloorAndBox() {
    Scene scene;
    AddSoup(scene, FloorSoup());
    Soup box;
    box.Box(P(-1, 1, -1), P(1, 3, 1));
    TObject object;
    Fill(object, box);
    Paint(object, 255, 0, 0);
    scene.AddObject(object);
    scene.AddLight(WhiteLight(P(0, 10, 0)));
    scene.eye = P(0, 2, 15);
    return scene;
}

VECTOR ShadeToward(const Scene& scene, VECTOR from, VECTOR to, int depth) {
    RayHit hit;
    return RAYTR::Shade(Ray(from, ORVA_MATH::Normalised(D(to.x - from.x, to.y - from.y, to.z - from.z))), hit, depth,
                        scene);
}

TEST(ShadingTest, BoxShadowsTheFloorBelowItAndNotBesideIt) {
    const Scene scene = FloorAndBox();
    // Low rays from the side reach the floor under the box.
    for (float x : {-0.5f, 0.0f, 0.6f}) {
        const VECTOR under = ShadeToward(scene, P(x, 0.5f, 15.0f), P(x, 0.0f, 0.5f), 0);
        EXPECT_EQ(under.x, 0.0f) << x;
        EXPECT_EQ(under.y, 0.0f) << x;
        EXPECT_EQ(under.z, 0.0f) << x;
    }
    for (float x : {-4.0f, 3.0f, 6.0f}) {
        const VECTOR beside = ShadeToward(scene, P(x, 0.5f, 15.0f), P(x, 0.0f, 0.5f), 0);
        EXPECT_GT(beside.x, 0.05f) << x;
        EXPECT_EQ(beside.x, beside.y) << x;  // white floor, white light
    }
}

TEST(ShadingTest, MirrorBounceCarriesTheBoxColourOntoTheFloor) {
    Scene scene = FloorAndBox();
    // The light up and to the right, so that the box's +x face is lit (a face turned away from
    // the light is in its own shadow).
    scene.lights[0].position = P(6, 10, 0);
    // From (5, 2, 0) onto the floor at (3, 0, 0); the mirror ray meets the box's +x face.
    const VECTOR from = P(5, 2, 0), at = P(3, 0, 0);
    const VECTOR withBox = ShadeToward(scene, from, at, 1);
    const VECTOR direct = ShadeToward(scene, from, at, 0);
    EXPECT_GT(withBox.x - withBox.y, 0.05f);  // red (x) from the bounce
    EXPECT_NEAR(withBox.y, 0.6f * direct.y, 1e-6f);
    EXPECT_NEAR(withBox.z, 0.6f * direct.z, 1e-6f);

    // The bounce equals the depth-0 colour of the mirror ray shaded on its own.
    RayHit floorHit = FloorHit(scene, 3.0f, 0.0f);
    RayHit bounceHit = floorHit;  // skips the floor triangle it leaves
    const VECTOR bounce =
        RAYTR::Shade(Ray(P(3, 0, 0), ORVA_MATH::Normalised(D(-1, 1, 0))), bounceHit, 0, scene);
    ExpectColour(withBox, 0.6f * direct.x + 0.4f * bounce.x, 0.6f * direct.y + 0.4f * bounce.y,
                 0.6f * direct.z + 0.4f * bounce.z, 1e-5f);

    // Without the closest-hit flag the box is not seen in the mirror (it still shadows).
    scene.objects[1].flags = 0x0B;
    const VECTOR withoutBox = ShadeToward(scene, from, at, 1);
    EXPECT_NEAR(withoutBox.x, withoutBox.y, 1e-7f);
    EXPECT_NEAR(withoutBox.x, 0.6f * direct.x, 1e-6f);
}

TEST(ShadingTest, WithoutLightsEverythingIsBlack) {
    Scene scene = FloorAndBox();
    scene.lights = RAYTR::GrowArray<LightSource>();
    for (int depth : {0, 1}) {
        const VECTOR c = ShadeToward(scene, P(5, 2, 0), P(3, 0, 0), depth);
        EXPECT_EQ(c.x, 0.0f);
        EXPECT_EQ(c.y, 0.0f);
        EXPECT_EQ(c.z, 0.0f);
    }
}

// Primary rays of an n x n view from the eye toward target, about 50 degrees wide.
std::vector<Ray> View(VECTOR eye, VECTOR target, int n) {
    std::vector<Ray> rays;
    const VECTOR forward = ORVA_MATH::Normalised(D(target.x - eye.x, target.y - eye.y, target.z - eye.z));
    const VECTOR right = ORVA_MATH::Normalised(ORVA_MATH::Cross(forward, D(0, 1, 0)));
    const VECTOR up = ORVA_MATH::Cross(right, forward);
    for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
            const float x = (i + 0.5f) / n - 0.5f, y = (j + 0.5f) / n - 0.5f;
            VECTOR d = ORVA_MATH::Normalised(forward + right * x + up * y);
            d.w = 0.0f;
            rays.emplace_back(eye, d);
        }
    return rays;
}

std::vector<VECTOR> Render(const Scene& scene, const std::vector<Ray>& rays) {
    std::vector<VECTOR> image;
    image.reserve(rays.size());
    for (const Ray& ray : rays) {
        RayHit hit;
        image.push_back(RAYTR::Shade(ray, hit, 1, scene));
    }
    return image;
}

TEST(ShadingTest, TransformedModelsShadeAndShadowLikeMovedVertices) {
    const VECTOR floorShift = D(0.5f, -1.65f, 0.25f), boxShift = D(0.3f, -0.2f, -0.4f);
    Soup floor = FloorSoup(6.0f), box;
    box.Box(P(-1, 0.5f, -1), P(1, 2.5f, 1));
    auto build = [&](bool byTransform) {
        Scene scene;
        scene.AddLight(WhiteLight(P(2.16121f, 2.54030f, 6.73177f)));
        scene.AddLight(WhiteLight(P(-3.0f, 6.0f, -1.0f), 0.3f));
        scene.eye = P(0, 2, 12);
        Soup f = floor, b = box;
        if (!byTransform) {
            f.Move(floorShift);
            b.Move(boxShift);
        }
        TObject fo, bo;
        Fill(fo, f);
        Fill(bo, b);
        Paint(fo, 200, 180, 40, 2, 2);
        Paint(bo, 30, 220, 90);
        if (byTransform) {
            fo.SetTransform(Translation(floorShift.x, floorShift.y, floorShift.z));
            bo.SetTransform(Translation(boxShift.x, boxShift.y, boxShift.z));
        }
        scene.AddObject(fo);
        scene.AddObject(bo);
        return scene;
    };
    const Scene moved = build(true), reference = build(false);
    const std::vector<Ray> rays = View(P(0, 2, 12), P(0.4f, -1.2f, 0.0f), 64);
    const std::vector<VECTOR> a = Render(moved, rays), b = Render(reference, rays);
    int hits = 0, shadowed = 0, different = 0, shadowsDiffer = 0;
    for (std::size_t i = 0; i < rays.size(); ++i) {
        const float diff = std::max({std::fabs(a[i].x - b[i].x), std::fabs(a[i].y - b[i].y), std::fabs(a[i].z - b[i].z)});
        if (diff > 1e-4f) ++different;
        // The shadow answers at the visible point, light by light.
        RayHit ha, hb;
        const bool hitA = RAYTR::ClosestHit(rays[i], moved, ha), hitB = RAYTR::ClosestHit(rays[i], reference, hb);
        ASSERT_EQ(hitA, hitB) << "pixel " << i;
        if (!hitB) continue;
        ++hits;
        const VECTOR pa = RAYTR::HitPointInWorld(ha), pb = RAYTR::HitPointInWorld(hb);
        EXPECT_NEAR(pa.x, pb.x, 1e-4f);
        EXPECT_NEAR(pa.y, pb.y, 1e-4f);
        EXPECT_NEAR(pa.z, pb.z, 1e-4f);
        for (unsigned k = 0; k < reference.lights.Size(); ++k) {
            const VECTOR light = reference.lights[k].position;
            const bool sa = RAYTR::ShadowBlocked(RAYTR::ShadowRay(ha, light), moved, light);
            const bool sb = RAYTR::ShadowBlocked(RAYTR::ShadowRay(hb, light), reference, light);
            if (sa != sb) ++shadowsDiffer;
            if (sb) ++shadowed;
        }
    }
    EXPECT_GT(hits, 1000);     // the view is mostly floor and box
    EXPECT_GT(shadowed, 100);  // with shadows in it
    EXPECT_EQ(shadowsDiffer, 0);
    EXPECT_EQ(different, 0) << "pixels whose colours differ";
}

TEST(ShadingTest, TheEyeTurnsWithTheViewRotation) {
    Scene scene;
    AddSoup(scene, FloorSoup());
    scene.eye = P(0, 0, 15);
    // A quarter turn about y, as OpenGL returns it (row-vector layout).
    scene.rotation = MATRIX::Identity();
    scene.rotation(0, 0) = 0.0f;
    scene.rotation(0, 2) = -1.0f;
    scene.rotation(2, 0) = 1.0f;
    scene.rotation(2, 2) = 0.0f;
    const VECTOR eye = RAYTR::EyeInWorld(scene);
    ExpectColour(eye, -15.0f, 0.0f, 0.0f);
    EXPECT_EQ(eye.w, 1.0f);

    const RayHit hit = FloorHit(scene, 0.0f, 0.0f);
    const LightSource light = WhiteLight(P(3, 3, 0));
    const VECTOR turned = RAYTR::LocalIllumination(Ray(), hit, light, scene);
    scene.rotation = MATRIX::Identity();
    scene.eye = P(-15, 0, 0);
    const VECTOR plain = RAYTR::LocalIllumination(Ray(), hit, light, scene);
    ExpectColour(turned, plain.x, plain.y, plain.z);
}

TEST(ShadingTest, ConcurrentQueriesOnOneSceneMatchASingleThread) {
    const Scene scene = FloorAndBox();
    const std::vector<Ray> rays = View(P(3, 4, 12), P(0, 1, 0), 48);
    const std::vector<VECTOR> reference = Render(scene, rays);
    constexpr int kThreads = 4;
    std::vector<std::vector<VECTOR>> results(kThreads);
    std::vector<std::vector<int>> shadows(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Each thread walks the whole view from a different start.
            std::vector<VECTOR>& out = results[t];
            out.resize(rays.size());
            for (std::size_t k = 0; k < rays.size(); ++k) {
                const std::size_t i = (k + t * rays.size() / kThreads) % rays.size();
                RayHit hit;
                out[i] = RAYTR::Shade(rays[i], hit, 1, scene);
                RayHit primary;
                if (RAYTR::ClosestHit(rays[i], scene, primary)) {
                    shadows[t].push_back(
                        RAYTR::ShadowBlocked(RAYTR::ShadowRay(primary, P(0, 10, 0)), scene, P(0, 10, 0)));
                }
            }
        });
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(results[t].size(), reference.size());
        for (std::size_t i = 0; i < reference.size(); ++i) {
            ASSERT_EQ(results[t][i].x, reference[i].x) << "thread " << t << " pixel " << i;
            ASSERT_EQ(results[t][i].y, reference[i].y) << "thread " << t << " pixel " << i;
            ASSERT_EQ(results[t][i].z, reference[i].z) << "thread " << t << " pixel " << i;
        }
        EXPECT_EQ(shadows[t].size(), shadows[0].size());
    }
}

}  // namespace
