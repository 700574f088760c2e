#include "raytracer/guides.h"

#include <cmath>

#include "raytracer/offset.h"
#include "raytracer/shading.h"

namespace RAYTR {

GuideSample FirstHitGuide(const Ray& ray, const RayHit& hit) {
    GuideSample g;
    VECTOR d = ray.direction;
    d.w = 0.0f;
    const float length = ORVA_MATH::Length(d);
    if (hit.triangle == nullptr || !(length > 0.0f)) {
        const float s = length > 0.0f ? -1.0f / length : 0.0f;
        g.normal[0] = d.x * s, g.normal[1] = d.y * s, g.normal[2] = d.z * s;
        g.depth = GuideBuffers::kSkyDistance;
        return g;
    }
    // The distance in units from the eye (a see-through surface's ray goes on from behind it, so
    // the hit's own parameter would count from there).
    VECTOR o = ray.origin;
    o.w = 1.0f;
    g.depth = ORVA_MATH::Length(HitPointInWorld(hit) - o);
    VECTOR n = InterpolatedNormal(hit);
    n.w = 0.0f;
    if (hit.transform) n = NormalToWorld(*hit.transform, n);
    const float nl = ORVA_MATH::Length(n);
    if (nl > 0.0f) g.normal[0] = n.x / nl, g.normal[1] = n.y / nl, g.normal[2] = n.z / nl;
    const VECTOR a = SurfaceAlbedo(hit);
    g.albedo[0] = a.x, g.albedo[1] = a.z, g.albedo[2] = a.y;
    return g;
}

GuideBuffers::GuideBuffers(std::int64_t pixels) {
    const auto count = static_cast<std::size_t>(pixels);
    // Written by a picture's first sample before anything reads them.
    planes_ = std::make_unique_for_overwrite<float[]>(count * 8);
    counts_ = std::make_unique<std::uint32_t[]>(count);
    for (int k = 0; k < 3; ++k) {
        albedo[k] = planes_.get() + count * static_cast<std::size_t>(k);
        normal[k] = planes_.get() + count * static_cast<std::size_t>(3 + k);
    }
    depth = planes_.get() + count * 6;
    lumSquares = planes_.get() + count * 7;
    counts = counts_.get();
}

}  // namespace RAYTR
