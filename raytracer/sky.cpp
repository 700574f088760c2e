#include "raytracer/sky.h"

#include <cmath>

#include "loaders/texture.h"
#include "raytracer/shading.h"
#include "raytracer/tobject.h"

namespace RAYTR {

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
    constexpr float kPi = 3.14159265358979323846f;
    float u = std::atan2(q.z, q.x) * (0.5f / kPi);
    if (u < 0.0f) u += 1.0f;
    const float v = std::asin(std::fmax(-1.0f, std::fmin(1.0f, q.y))) / kPi + 0.5f;
    VECTOR colour = SampleTexture(sky.texture, u, v);
    colour.w = 0.0f;
    return colour;
}

}  // namespace RAYTR
