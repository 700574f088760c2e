#include "raytracer/shading.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "grid/kernel.h"
#if defined(__SSE2__)
#include <immintrin.h>
#endif
#include "loaders/texture.h"
#include "raytracer/offset.h"
#include "raytracer/bsdf.h"
#include "raytracer/sampling.h"
#include "raytracer/sky.h"
#include "raytracer/sky_light.h"
#include "raytracer/surface_bsdf.h"

namespace RAYTR {

using ORVA_GRAPHICS::Triangle;
using ORVA_MATH::ColumnTransform;
using ORVA_MATH::Cross;
using ORVA_MATH::Dot;
using ORVA_MATH::Length;
using ORVA_MATH::Midpoint;
using ORVA_MATH::Normalised;

namespace {

constexpr float kFar = 1e38f;              // "no hit yet" ray parameter
constexpr float kByteToUnit = 0.003921569f;  // 1 / 255 in single precision
constexpr float kWeight = 0.8f;            // ambient, diffuse and specular weight
constexpr float kDirectShare = 0.6f;       // share of the direct light in a bounced colour
constexpr float kBounceShare = 0.4f;       // share of the mirror bounce

inline VECTOR AsPoint(VECTOR v) { v.w = 1.0f; return v; }
inline VECTOR AsDirection(VECTOR v) { v.w = 0.0f; return v; }

// Texel column (or row) i modulo n (n > 0) of the texel coordinate x = floor(u n - 0.5), an
// integer-valued float with |x| < 1e9, without dividing: floor(u) periods lie before it, up to
// the rounding of u n (a few texels even for the largest u), which the steps correct.
inline unsigned Wrap(float x, float u, unsigned n) {
    const long long period = static_cast<long long>(n);
    long long i = static_cast<long long>(x) - static_cast<long long>(std::floor(u)) * period;
    while (i < 0) i += period;
    while (i >= period) i -= period;
    return static_cast<unsigned>(i);
}

// What shading needs of a hit, in world coordinates.
struct Surface {
    VECTOR position;  // w = 1
    VECTOR normal;    // interpolated, not normalised, w = 0
    float u, v;
    const ORVA_GRAPHICS::Material* material;
};

inline Surface WorldSurface(const RayHit& hit) {
    Surface s;
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    VECTOR p = hit.point;
    if (!(hit.flags & kHitPointComputed)) p = (t.A->position * hit.b0 + t.B->position * hit.b1) + t.C->position * hit.b2;
    s.position = AsPoint(hit.transform ? ColumnTransform(*hit.transform, p) : p);
    const VECTOR n = AsDirection(InterpolatedNormal(hit));
    s.normal = hit.transform ? NormalToWorld(*hit.transform, n) : n;
    TextureCoordinates(hit, s.u, s.v);
    s.material = hit.material;
    return s;
}

// The surface colour at a hit (red, blue, green in x, y, z): its material's texture at the
// mapping coordinates, times the material's tint, or the material's colour where it has no
// texture. A hit without a material reads white.
inline VECTOR SurfaceColour(const Surface& s) {
    const ORVA_GRAPHICS::Material* m = s.material;
    if (m == nullptr) return SampleTexture(nullptr, s.u, s.v);
    if (m->texture >= 0) {
        const VECTOR texel = SampleTexture(m->image, s.u, s.v);
        return m->Tinted() ? ORVA_MATH::Mul(texel, VECTOR(m->tint[0], m->tint[2], m->tint[1], 1.0f)) : texel;
    }
    return VECTOR(m->diffuse[0], m->diffuse[2], m->diffuse[1], 1.0f);
}

// Light colour times the intensity of one light at one surface point (the texture factor is
// left to the caller), everything in world coordinates.
inline VECTOR Illuminate(const Surface& s, const LightSource& light, const VECTOR& eye) {
    // Direction and distance to the light.
    const VECTOR D = AsDirection(AsPoint(light.position) - s.position);
    const float d = Length(D);
    const VECTOR L = D / d;
    // Direction to the eye.
    const VECTOR V = Normalised(AsDirection(eye - s.position));
    // Ambient and the unclamped diffuse term (a surface facing away gets darker).
    const float nl = Dot(s.normal, L);
    float intensity = kWeight * nl + kWeight * light.ambient;
    // Specular only on the lit side: R is the mirror of L about the unit normal.
    if (nl > 0.0f) {
        const VECTOR unitN = s.normal / Length(s.normal);
        const VECTOR R = unitN * (2.0f * Dot(L, unitN)) - L;
        const float base = Dot(R, V);
        if (base > 0.0f) {
            const float s2 = base * base, s4 = s2 * s2, s8 = s4 * s4;
            intensity += kWeight * (s8 * s2);
        }
    }
    // Attenuation; a negative (or undefined) intensity is no light.
    intensity /= light.a0 + light.a1 * d + light.a2 * d * d;
    if (!(intensity > 0.0f)) intensity = 0.0f;
    return light.colour * intensity;
}

// Ray parameter of the light along a ray that leaves o toward it: the end of the shadow
// segment, whatever the direction's length (an affine carry into object coordinates keeps it).
inline float LightParameter(const Ray& ray, const VECTOR& light) {
    const VECTOR d = AsDirection(ray.direction);
    return Dot(AsDirection(light - ray.origin), d) / Dot(d, d);
}

// The object's grid when it can be queried: present and built.
inline const Grid* QueryableGrid(const TObject& object) {
    const Grid* grid = object.grid;
    return grid != nullptr && grid->Queryable() ? grid : nullptr;
}

// The grid of an object that takes part in the queries marked by flag, or null.
inline const Grid* GridFor(const TObject& object, unsigned flag) {
    return (object.flags & flag) ? QueryableGrid(object) : nullptr;
}

// A world ray set up once for every object (the top level of the scene's queries): its
// kernel set-up in world coordinates, which every object whose transform only translates
// shares (its origin moved into the object's frame), and the last carry into an object with
// another transform, which objects with the same transform share.
class SceneRay {
public:
    explicit SceneRay(const Ray& ray) : world_(AsPoint(ray.origin), AsDirection(ray.direction)) {
        const float o[3] = {world_.origin.x, world_.origin.y, world_.origin.z};
        const float d[3] = {world_.direction.x, world_.direction.y, world_.direction.z};
        PrepareInverse(o, d, prep_);  // the rest once an object's box is entered (most rays enter none)
#if defined(__SSE2__)
        origin_ = _mm_load_ps(&world_.origin.x);
        inverse_ = _mm_and_ps(_mm_loadu_ps(prep_.inverse), _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1)));
#endif
    }
    bool Usable() const { return prep_.usable != 0; }

    // Entry parameter of the ray into the object's world box (culling only): false when the
    // ray's segment [0, tMax] misses it. Per axis the slab's near and far parameters; 0 x
    // infinity (a zero component with the origin on a face) is not a number and constrains
    // nothing.
    bool Enters(const TObject& object, float tMax, float& tEnter) const {
        const TObject::WorldFrame& w = object.World();
#if defined(__SSE2__)
        // The three axes at once, lane 3 made neutral (near 0, far infinite). min(a, b) is
        // a < b ? a : b and max(a, b) a > b ? a : b, so the near and far parameters below
        // are the rule above, and a near or far that is not a number leaves tNear or tFar.
        const __m128 l1 = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(w.minimum), origin_), inverse_);
        const __m128 l2 = _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(w.maximum), origin_), inverse_);
        const __m128 lo = _mm_min_ps(l2, l1);  // l1 > l2 ? l2 : l1
        const __m128 xyz = _mm_castsi128_ps(_mm_set_epi32(0, -1, -1, -1));
        const __m128 lane3 = _mm_castsi128_ps(_mm_set_epi32(0x7F800000, 0, 0, 0));  // infinity in lane 3
        const __m128 hi = _mm_or_ps(_mm_and_ps(_mm_max_ps(l1, l2), xyz), lane3);
        __m128 tNear = _mm_max_ps(lo, _mm_setzero_ps());
        __m128 tFar = _mm_min_ps(hi, _mm_set1_ps(tMax));
        tNear = _mm_max_ps(tNear, _mm_movehl_ps(tNear, tNear));
        tNear = _mm_max_ss(tNear, _mm_shuffle_ps(tNear, tNear, 1));
        tFar = _mm_min_ps(tFar, _mm_movehl_ps(tFar, tFar));
        tFar = _mm_min_ss(tFar, _mm_shuffle_ps(tFar, tFar, 1));
        tEnter = _mm_cvtss_f32(tNear);
        return tEnter <= _mm_cvtss_f32(tFar);
#else
        const float o[3] = {world_.origin.x, world_.origin.y, world_.origin.z};
        float tNear = 0.0f, tFar = tMax;
        for (int axis = 0; axis < 3; ++axis) {
            const float l1 = (w.minimum[axis] - o[axis]) * prep_.inverse[axis];
            const float l2 = (w.maximum[axis] - o[axis]) * prep_.inverse[axis];
            const bool swap = l1 > l2;
            const float lo = swap ? l2 : l1, hi = swap ? l1 : l2;
            if (lo > tNear) tNear = lo;
            if (hi < tFar) tFar = hi;
        }
        tEnter = tNear;
        return tNear <= tFar;
#endif
    }

    // The ray in the object's frame, set up for its grid.
    const RayPrep& In(const TObject& object) {
        const MATRIX& T = object.box.transposedInverse;
        if (object.World().translationOnly) {
            if (!sheared_) PrepareShear(prep_);
            sheared_ = true;
            // The carry moves the origin only (1 x o + 0 + 0 - t: exactly o - t); the rest of
            // the set-up is the world ray's (the world origin is kept in world_).
            prep_.origin[0] = world_.origin.x + T(0, 3);
            prep_.origin[1] = world_.origin.y + T(1, 3);
            prep_.origin[2] = world_.origin.z + T(2, 3);
            return prep_;
        }
        if (carried_ == nullptr || std::memcmp(carried_->m, T.m, sizeof T.m) != 0) {
            const Ray local = CarryRay(world_, T);
            const float o[3] = {local.origin.x, local.origin.y, local.origin.z};
            const float d[3] = {local.direction.x, local.direction.y, local.direction.z};
            if (carried_ == nullptr) new (carriedStorage_) RayPrep;
            PrepareRay(o, d, Carried());
            carried_ = &T;
        }
        return Carried();
    }

private:
    RayPrep& Carried() { return *std::launder(reinterpret_cast<RayPrep*>(carriedStorage_)); }

    Ray world_;
    RayPrep prep_;
#if defined(__SSE2__)
    __m128 origin_, inverse_;  // lane 3 of the inverse is 0
#endif
    // The carried set-up, made by the first carry (most rays meet no turned model, and a
    // RayPrep's fields are all initialised).
    alignas(RayPrep) unsigned char carriedStorage_[sizeof(RayPrep)];
    bool sheared_ = false;
    const MATRIX* carried_ = nullptr;
};

// The smallest float above x (positive, finite x), for a limit that lets an equally near hit through.
inline float NextUp(float x) {
    // The next representable float of a positive finite one has the next bit pattern.
    return x > 0.0f && x < 3.4e38f ? std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) + 1u) : x;
}

VECTOR ShadeWithEye(const Ray& ray, RayHit& hit, int depth, const Scene& scene, const VECTOR& eye,
                    const PixelSample* sample);

// ---- Described materials (raytracer/bsdf.h) ------------------------------------------------

// Most surfaces a ray passes through before it stops (a tree of cut-out leaves); beyond it the
// ray stops at the next one.
constexpr int kMostLayers = 16;
// Far enough for a sky-light ray to leave every scene.
constexpr float kSkyDistance = 1e30f;

// A number in [0, 1) from the bits of a point: the sample of a moving frame's rough reflection
// or see-through test, the same for the same point in every frame.
inline float PointHash(const VECTOR& p, std::uint32_t salt) {
    std::uint32_t h = salt;
    for (const float f : {p.x, p.y, p.z}) {
        std::uint32_t b;
        std::memcpy(&b, &f, 4);
        h ^= b + 0x9e3779b9u + (h << 6) + (h >> 2);
        h ^= h >> 16;
        h *= 0x7feb352du;
        h ^= h >> 15;
        h *= 0x846ca68bu;
        h ^= h >> 16;
    }
    return static_cast<float>(h >> 8) * (1.0f / 16777216.0f);
}

// The opacity of a described surface at a hit (its value times the opacity map's red channel).
inline float OpacityAt(const RayHit& hit) {
    const ORVA_GRAPHICS::Material* m = hit.material;
    if (m == nullptr || !m->SeeThrough()) return 1.0f;
    float opacity = m->opacity;
    if (const TEXTURE* map = m->mapImages[ORVA_GRAPHICS::kOpacityMap]) {
        float u, v;
        TextureCoordinates(hit, u, v);
        opacity *= SampleTexture(map, u, v).x;
    }
    return opacity;
}

// Whether the ray goes on through the surface it hit: its opacity is below the pass's threshold
// (layer by layer a different one), or below the cut-off in a frame without a sample.
inline bool PassesThrough(const RayHit& hit, const PixelSample* sample, int layer) {
    const ORVA_GRAPHICS::Material* m = hit.material;
    if (m == nullptr || !m->SeeThrough()) return false;
    const float opacity = OpacityAt(hit);
    if (sample == nullptr) return opacity < m->alphaCutoff;
    float threshold = sample->through + 0.6180339887f * float(layer);
    threshold -= std::floor(threshold);
    return opacity <= threshold;
}

// The ray's nearest surface that stops it: surfaces it passes through are stepped over.
inline bool VisibleHit(const Ray& ray, const Scene& scene, RayHit& hit, const PixelSample* sample) {
    if (!ClosestHit(ray, scene, hit)) return false;
    if (!scene.lighting.seeThrough) return true;
    const VECTOR d = AsDirection(ray.direction);
    for (int layer = 0; layer < kMostLayers && PassesThrough(hit, sample, layer); ++layer) {
        if (!ClosestHit(Ray(OffsetRayOrigin(SurfaceOf(hit, false), d), d), scene, hit)) return false;
    }
    return true;
}

// Whether the segment from the ray's origin to target is blocked, see-through surfaces letting
// the ray pass as VisibleHit does.
bool Blocked(const Ray& ray, const Scene& scene, const VECTOR& target, const PixelSample* sample) {
    if (!ShadowBlocked(ray, scene, target)) return false;
    if (!scene.lighting.seeThrough) return true;
    const VECTOR d = AsDirection(ray.direction);
    const float tTarget = LightParameter(Ray(AsPoint(ray.origin), d), AsPoint(target));
    Ray r(ray.origin, d);
    RayHit hit;
    for (int layer = 0; layer < kMostLayers; ++layer) {
        if (!ClosestHit(r, scene, hit)) return false;
        // t of the first query is along ray; later ones start further on along the same line.
        if (Dot(AsDirection(HitPointInWorld(hit) - AsPoint(ray.origin)), d) >= tTarget * Dot(d, d)) return false;
        if (!PassesThrough(hit, sample, layer)) return true;
        r = Ray(OffsetRayOrigin(SurfaceOf(hit, false), d), d);
    }
    return true;
}

// What a described surface reflects along a bounce: the surface it meets, or where it leaves
// the models, the sky that lights them (the visible sky without a sky light).
inline VECTOR Reflected(const Ray& bounce, int depth, const Scene& scene, const VECTOR& eye, const PixelSample* sample) {
    RayHit next;
    const VECTOR colour = ShadeWithEye(bounce, next, depth, scene, eye, sample);
    if (next.triangle != nullptr || !(scene.lighting.skyLight > 0.0f)) return colour;
    return SkyRadiance(scene.sky, scene.lighting.skyLight, bounce.direction);
}

// The scattering of a described surface at a hit seen along ray: the material at the hit's
// mapping coordinates, the interpolated normal (the triangle's where it has no direction) turned
// toward the viewer where interpolation leaves it facing away, and the triangle's own normal.
SurfaceBsdf DescribedBsdf(const Ray& ray, const Surface& s, const SurfacePoint& flat) {
    const VECTOR wo = Normalised(AsDirection(ray.direction) * -1.0f);
    VECTOR n = AsDirection(s.normal);
    const float length = Length(n);
    n = length > 0.0f && std::isfinite(length) ? n / length : flat.normal;
    const float nv = Dot(n, wo);
    if (nv < 1e-3f) n = Normalised(n + wo * (1e-3f - nv));
    const VECTOR geometric = Dot(flat.normal, wo) < 0.0f ? flat.normal * -1.0f : flat.normal;
    return SurfaceBsdf(SurfaceParametersAt(*s.material, s.u, s.v), wo, n, geometric);
}

// What the surface reflects of the scene's lights: the diffuse lobe under each light's ambient
// part, and both lobes under each light whose shadow ray is free. The lights' radiance is
// their colour times the attenuation times pi (a white light at distance 0 gives a white
// diffuse surface its colour).
VECTOR LightsReflected(const SurfaceBsdf& bsdf, const RayHit& hit, const Surface& s, const Scene& scene,
                       const PixelSample* sample) {
    VECTOR colour(0.0f, 0.0f, 0.0f, 0.0f);
    const unsigned lightCount = scene.lights.Size();
    for (unsigned k = 0; k < lightCount; ++k) {
        const LightSource& source = scene.lights[k];
        const VECTOR lightColour = VECTOR(source.r, source.b, source.g, 0.0f) * kByteToUnit;
        const VECTOR centre = AsPoint(source.position);
        const VECTOR D = AsDirection(centre - s.position);
        const float d = Length(D);
        const float attenuation = 1.0f / (source.a0 + source.a1 * d + source.a2 * d * d);
        if (!(attenuation > 0.0f) || !std::isfinite(attenuation) || !(d > 0.0f)) continue;
        colour += ORVA_MATH::Mul(bsdf.DiffuseAlbedo(), lightColour) * (kLightAmbient * attenuation);
        const VECTOR wi = D / d;
        const VECTOR f = bsdf.DiffuseReflected(wi) + bsdf.CoatReflected(wi);
        if (!(f.x > 0.0f || f.y > 0.0f || f.z > 0.0f)) continue;
        VECTOR lightPosition = centre;
        if (sample != nullptr) lightPosition = LightPoint(centre, source.radius, s.position, sample->u, sample->v);
        if (Blocked(ShadowRay(hit, lightPosition), scene, lightPosition, sample)) continue;
        colour += ORVA_MATH::Mul(f, lightColour) * (kPi * attenuation);
    }
    return colour;
}

// What the diffuse lobe reflects of the sky light (one cosine-weighted direction a pass, the
// unblocked sky of a moving frame) or, without one, of the preview's ambient.
VECTOR SkyReflected(const SurfaceBsdf& bsdf, const SurfacePoint& flat, const Scene& scene, const PixelSample* sample) {
    const SceneLighting& lighting = scene.lighting;
    if (!(lighting.skyLight > 0.0f)) return bsdf.DiffuseAlbedo() * kSceneAmbient;
    if (sample == nullptr) return ORVA_MATH::Mul(bsdf.DiffuseAlbedo(), SkyIrradiance(lighting, bsdf.Normal()));
    const BsdfSample b = bsdf.SampleDiffuse(sample->skyU, sample->skyV);
    if (!(b.pdf > 0.0f)) return VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    const Ray up(OffsetRayOrigin(flat, b.wi), b.wi);
    if (Blocked(up, scene, AsPoint(up.origin + b.wi * kSkyDistance), sample)) return VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    return ORVA_MATH::Mul(b.weight, SkyRadiance(scene.sky, lighting.skyLight, b.wi));
}

// What the coat (one direction a pass: the pass's sample of its visible normals, the mirror
// direction for a smooth coat) and the mirror share reflect of the scene.
VECTOR SceneReflected(const SurfaceBsdf& bsdf, const Surface& s, const SurfacePoint& flat, int depth, const Scene& scene,
                      const VECTOR& eye, const PixelSample* sample) {
    VECTOR colour(0.0f, 0.0f, 0.0f, 0.0f);
    const auto follow = [&](const BsdfSample& b) {
        if (!(b.pdf > 0.0f)) return;
        const Ray bounce(OffsetRayOrigin(flat, b.wi), b.wi);
        colour += ORVA_MATH::Mul(b.weight, Reflected(bounce, depth - 1, scene, eye, sample));
    };
    if (bsdf.Lobes() & kCoatSceneLobe) {
        const float u = sample != nullptr ? sample->glossU : PointHash(s.position, 0x68e31da4u);
        const float v = sample != nullptr ? sample->glossV : PointHash(s.position, 0xb5297a4du);
        follow(bsdf.SampleCoat(u, v));
    }
    if (bsdf.Lobes() & kMirrorLobe) follow(bsdf.SampleMirror());
    return colour;
}

// A described surface (raytracer/surface_bsdf.h): its emission, the lights and the sky (or the
// preview's ambient) through its lobes, and with depth > 0 the scene in its coat and mirror.
// Nothing is clamped here: the shown picture limits the mean of the samples.
VECTOR ShadeDescribed(const Ray& ray, const RayHit& hit, int depth, const Scene& scene, const VECTOR& eye,
                      const PixelSample* sample) {
    const Surface s = WorldSurface(hit);
    const SurfacePoint flat = SurfaceOf(hit, false);
    const SurfaceBsdf bsdf = DescribedBsdf(ray, s, flat);
    VECTOR colour = bsdf.Emission() + LightsReflected(bsdf, hit, s, scene, sample) + SkyReflected(bsdf, flat, scene, sample);
    if (depth > 0) colour += SceneReflected(bsdf, s, flat, depth, scene, eye, sample);
    // A surface whose values are not numbers (a broken file) shows black rather than poisoning
    // the settling sum.
    if (!(std::isfinite(colour.x) && std::isfinite(colour.y) && std::isfinite(colour.z))) return VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    return colour;
}

VECTOR ShadeWithEye(const Ray& ray, RayHit& hit, int depth, const Scene& scene, const VECTOR& eye,
                    const PixelSample* sample) {
    if (!VisibleHit(ray, scene, hit, sample)) return SkyColour(scene.sky, ray);
    if (hit.material != nullptr && hit.material->described) return ShadeDescribed(ray, hit, depth, scene, eye, sample);
    // The fixed shading.
    const Surface s = WorldSurface(hit);
    // Where shadow and bounce rays leave the surface.
    const SurfacePoint flat = SurfaceOf(hit, false);
    // Direct light from every light whose shadow ray is free.
    VECTOR light(0.0f, 0.0f, 0.0f, 0.0f);
    bool lit = false;
    const unsigned lightCount = scene.lights.Size();
    for (unsigned k = 0; k < lightCount; ++k) {
        const LightSource& source = scene.lights[k];
        // The shadow ray aims at the light's centre, or at the sample's point of its sphere.
        VECTOR lightPosition = AsPoint(source.position);
        if (sample != nullptr) lightPosition = LightPoint(lightPosition, source.radius, s.position, sample->u, sample->v);
        if (ShadowBlocked(ShadowRay(hit, flat, lightPosition), scene, lightPosition)) continue;
        light += Illuminate(s, source, eye);
        lit = true;
    }
    // The texture factor once for all lights.
    const VECTOR acc = lit ? ORVA_MATH::Mul(SurfaceColour(s), light) : light;
    if (depth <= 0) return acc;
    // One mirror bounce from the hit point, offset off the surface to the bounce's side.
    const VECTOR direction = AsDirection(Reflect(AsDirection(ray.direction), s.normal));
    const Ray bounce(OffsetRayOrigin(flat, direction), direction);
    RayHit next;
    const VECTOR reflected = ShadeWithEye(bounce, next, depth - 1, scene, eye, sample);
    return acc * kDirectShare + reflected * kBounceShare;
}

}  // namespace

bool ShadowBlockedThrough(const Ray& ray, const Scene& scene, const VECTOR& target, const PixelSample* sample) {
    return Blocked(ray, scene, target, sample);
}

VECTOR SampleTexture(const TEXTURE* texture, float u, float v) {
    if (texture == nullptr || texture->pixels == nullptr || texture->width <= 0 || texture->height <= 0)
        return VECTOR(255.0f, 255.0f, 255.0f, 1.0f) * kByteToUnit;
    const unsigned W = static_cast<unsigned>(texture->width);
    const unsigned H = static_cast<unsigned>(texture->height);
    // Repeating like the preview's GL_REPEAT with linear filtering: one period of u or v
    // spans the W (H) texels, texel i is centred on u = (i + 0.5) / W, and the neighbours
    // wrap around the edges. Coordinates that are not numbers or too large to wrap read 0.
    float x = u * static_cast<float>(W) - 0.5f, y = v * static_cast<float>(H) - 0.5f;
    if (!(std::fabs(x) < 1e9f)) x = u = 0.0f;
    if (!(std::fabs(y) < 1e9f)) y = v = 0.0f;
    const float fx0 = std::floor(x), fy0 = std::floor(y);
    const float fx = x - fx0, fy = y - fy0;
    const unsigned ix = Wrap(fx0, u, W), iy = Wrap(fy0, v, H);
    const unsigned ix1 = ix + 1 < W ? ix + 1 : 0;
    const unsigned iy1 = iy + 1 < H ? iy + 1 : 0;
    const unsigned char* pixels = texture->pixels;
    auto texel = [pixels, W](unsigned i, unsigned j) {
        const unsigned char* p = pixels + (static_cast<std::size_t>(W) * j + i) * 3;
        return VECTOR(p[0], p[2], p[1], 1.0f) * kByteToUnit;
    };
    // Bilinear weights, summed in the order (ix, iy), (ix, iy1), (ix1, iy1), (ix1, iy).
    return texel(ix, iy) * ((1.0f - fx) * (1.0f - fy)) + texel(ix, iy1) * ((1.0f - fx) * fy) +
           texel(ix1, iy1) * (fx * fy) + texel(ix1, iy) * (fx * (1.0f - fy));
}

VECTOR EyeInWorld(const Scene& scene) {
    // rotation is a pure rotation: its inverse is its transpose, and v times M^T is M times v.
    return AsPoint(ColumnTransform(scene.rotation, AsPoint(scene.eye)));
}

bool ClosestHit(const Ray& ray, const Scene& scene, RayHit& hit) {
    SceneRay sceneRay(ray);
    hit = RayHit();
    if (!sceneRay.Usable()) return false;
    // The objects whose world box the ray enters, nearest entry first: an object entered
    // beyond the nearest hit so far is not asked at all. Each grid is limited to the nearest
    // hit so far (t is the parameter along the world ray in every object's frame); of equally
    // near hits the earlier object's wins.
    constexpr unsigned kMaxOrdered = 16;
    unsigned order[kMaxOrdered];
    float entry[kMaxOrdered];
    unsigned candidates = 0;
    const unsigned count = scene.objects.Size();
    float best = kFar;
    unsigned bestObject = count;
    KernelHit bestHit;
    auto ask = [&](unsigned i) {
        const TObject& object = scene.objects[i];
        const Grid* grid = GridFor(object, TObject::kClosestHitFlag);
        KernelHit found;
        if (grid->Nearest(sceneRay.In(object), i < bestObject ? NextUp(best) : best, found) &&
            (found.t < best || i < bestObject)) {
            best = found.t;
            bestObject = i;
            bestHit = found;
        }
    };
    for (unsigned i = 0; i < count; ++i) {
        const TObject& object = scene.objects[i];
        if (GridFor(object, TObject::kClosestHitFlag) == nullptr) continue;
        float t;
        if (!sceneRay.Enters(object, kFar, t)) continue;
        if (candidates == kMaxOrdered) {
            ask(i);  // more objects than the order holds: asked in array order
            continue;
        }
        unsigned at = candidates++;
        for (; at > 0 && entry[at - 1] > t; --at) {
            entry[at] = entry[at - 1];
            order[at] = order[at - 1];
        }
        entry[at] = t;
        order[at] = i;
    }
    for (unsigned k = 0; k < candidates && entry[k] <= best; ++k) ask(order[k]);
    if (bestObject == count) return false;
    const TObject& object = scene.objects[bestObject];
    hit.b0 = bestHit.b0;
    hit.b1 = bestHit.b1;
    hit.b2 = bestHit.b2;
    hit.t = bestHit.t;
    hit.triangle = object.grid->Triangles() + bestHit.index;
    ComputeHitPoint(hit);
    hit.transform = &object.box.transposed;
    hit.material = object.MaterialOf(hit.triangle);
    hit.object = &object;
    return true;
}

bool ShadowBlocked(const Ray& ray, const Scene& scene, const VECTOR& target) {
    SceneRay sceneRay(ray);
    if (!sceneRay.Usable()) return false;
    const float tTarget = LightParameter(Ray(AsPoint(ray.origin), AsDirection(ray.direction)), AsPoint(target));
    const unsigned count = scene.objects.Size();
    for (unsigned i = 0; i < count; ++i) {
        const TObject& object = scene.objects[i];
        const Grid* grid = GridFor(object, TObject::kShadowFlag);
        if (grid == nullptr) continue;
        float t;
        if (!sceneRay.Enters(object, tTarget, t)) continue;
        if (grid->Any(sceneRay.In(object), tTarget)) return true;
    }
    return false;
}

bool BlocksLight(const Ray& ray, const TObject& object, const VECTOR& target) {
    const Grid* grid = QueryableGrid(object);
    if (grid == nullptr) return false;
    SceneRay sceneRay(ray);
    if (!sceneRay.Usable()) return false;
    const float tTarget = LightParameter(Ray(AsPoint(ray.origin), AsDirection(ray.direction)), AsPoint(target));
    return grid->Any(sceneRay.In(object), tTarget);
}

VECTOR LocalIllumination(const Ray&, const RayHit& hit, const LightSource& light, const Scene& scene) {
    const Surface s = WorldSurface(hit);
    return ORVA_MATH::Mul(SurfaceColour(s), Illuminate(s, light, EyeInWorld(scene)));
}

VECTOR Shade(const Ray& ray, RayHit& hit, int depth, const Scene& scene, const PixelSample* sample) {
    return ShadeWithEye(ray, hit, depth, scene, EyeInWorld(scene), sample);
}

VECTOR SurfaceAlbedo(const RayHit& hit) { return SurfaceColour(WorldSurface(hit)); }

}  // namespace RAYTR
