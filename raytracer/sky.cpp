#include "raytracer/sky.h"

#include <cmath>

#include "loaders/texture.h"
#include "raytracer/shading.h"
#include "raytracer/tobject.h"

namespace RAYTR {

namespace {

constexpr float kPi = 3.14159265358979323846f;

// atan2(y, x) in [-pi, pi] without the library's call, to within 3e-7 radians (a 5000th of
// a texel of a 4096-texel sky): atan of the ratio of the smaller to the larger magnitude by
// the polynomial of Abramowitz and Stegun 4.4.49 (error at most 2e-8 on [0, 1]), then the
// octant. atan2(0, 0) is 0, as the library's atan2(+0, +0).
inline float Atan2(float y, float x) {
    const float ax = std::fabs(x), ay = std::fabs(y);
    const float big = std::fmax(ax, ay), small = std::fmin(ax, ay);
    if (!(big > 0.0f)) return 0.0f;
    const float a = small / big, s = a * a;
    float r = -0.0161657367f + s * 0.0028662257f;
    r = 0.0429096138f + s * r;
    r = -0.0752896400f + s * r;
    r = 0.1065626393f + s * r;
    r = -0.1420889944f + s * r;
    r = 0.1999355085f + s * r;
    r = -0.3333314528f + s * r;
    r = a + a * (s * r);
    if (ay > ax) r = 0.5f * kPi - r;
    if (x < 0.0f) r = kPi - r;
    return y < 0.0f ? -r : r;
}

}  // namespace

SkyDome DomeOf(const TObject& object) {
    SkyDome sky;
    if (object.vertexCount == 0 || object.vertices == nullptr) return sky;
    // The vertices in world coordinates: their box's middle, then the farthest one from it.
    VECTOR lo(0.0f, 0.0f, 0.0f, 1.0f), hi = lo;
    for (unsigned v = 0; v < object.vertexCount; ++v) {
        VECTOR p = object.vertices[v].position;
        p.w = 1.0f;
        p = ORVA_MATH::Transform(p, object.box.transform);
        if (v == 0) lo = hi = p;
        lo = VECTOR(std::fmin(lo.x, p.x), std::fmin(lo.y, p.y), std::fmin(lo.z, p.z), 1.0f);
        hi = VECTOR(std::fmax(hi.x, p.x), std::fmax(hi.y, p.y), std::fmax(hi.z, p.z), 1.0f);
    }
    sky.centre = ORVA_MATH::Midpoint(lo, hi);
    sky.centre.w = 1.0f;
    float r2 = 0.0f;
    for (unsigned v = 0; v < object.vertexCount; ++v) {
        VECTOR p = object.vertices[v].position;
        p.w = 1.0f;
        const VECTOR d = ORVA_MATH::Transform(p, object.box.transform) - sky.centre;
        r2 = std::fmax(r2, d.x * d.x + d.y * d.y + d.z * d.z);
    }
    sky.radius = std::sqrt(r2);
    if (!object.textures.empty() && object.textures[0].pixels != nullptr && object.textures[0].width > 0 &&
        object.textures[0].height > 0)
        sky.texture = &object.textures[0];
    return sky;
}

VECTOR SkyColour(const SkyDome& sky, const Ray& ray) {
    const VECTOR black(0.0f, 0.0f, 0.0f, 0.0f);
    if (sky.texture == nullptr || !(sky.radius > 0.0f)) return black;
    // The far intersection of the ray with the sphere: |o + t d - c| = radius, d of unit length.
    VECTOR d(ray.direction.x, ray.direction.y, ray.direction.z, 0.0f);
    const float length = ORVA_MATH::Length(d);
    if (!(length > 0.0f)) return black;
    d = d / length;
    const VECTOR o(ray.origin.x - sky.centre.x, ray.origin.y - sky.centre.y, ray.origin.z - sky.centre.z, 0.0f);
    const float b = ORVA_MATH::Dot(o, d);
    const float c = ORVA_MATH::Dot(o, o) - sky.radius * sky.radius;
    // From inside the sphere the ray leaves it once; from outside (a far surface beyond the
    // dome, its mirror ray) the sky is as far as ever: the direction alone gives the point.
    VECTOR q = d;
    if (c < 0.0f) {
        const float t = -b + std::sqrt(std::fmax(0.0f, b * b - c));
        q = (o + d * t) / sky.radius;
    }
    // Longitude and latitude of the point on the unit sphere.
    float u = Atan2(q.z, q.x) * (0.5f / kPi);
    if (u < 0.0f) u += 1.0f;
    const float v = Atan2(q.y, std::sqrt(q.x * q.x + q.z * q.z)) / kPi + 0.5f;
    VECTOR colour = SampleTexture(sky.texture, u, v);
    colour.w = 0.0f;
    return colour;
}

}  // namespace RAYTR
