#include "raytracer/shading.h"

#include <cmath>

#include "loaders/texture.h"
#include "raytracer/sampling.h"
#include "raytracer/sky.h"

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

// x modulo n for texel coordinates (n > 0); x must be an integer-valued float below 2^31.
inline unsigned Wrap(float x, unsigned n) {
    const long long i = static_cast<long long>(x) % static_cast<long long>(n);
    return static_cast<unsigned>(i < 0 ? i + n : i);
}

// What shading needs of a hit, in world coordinates.
struct Surface {
    VECTOR position;  // w = 1
    VECTOR normal;    // interpolated, not normalised, w = 0
    float u, v;
    const ORVA_GRAPHICS::Material* material;
};

// A normal carried by the object transform whose transpose is T: the inverse transpose of the
// linear part (the cofactors of T's 3x3 over its determinant) gives the direction, and the
// object-space length is kept, since the interpolated normal is used unnormalised. Exact for
// translations and the identity.
inline VECTOR NormalToWorld(const MATRIX& T, const VECTOR& n) {
    const VECTOR r0(T(0, 0), T(0, 1), T(0, 2), 0.0f);
    const VECTOR r1(T(1, 0), T(1, 1), T(1, 2), 0.0f);
    const VECTOR r2(T(2, 0), T(2, 1), T(2, 2), 0.0f);
    const VECTOR c0 = Cross(r1, r2), c1 = Cross(r2, r0), c2 = Cross(r0, r1);
    const float det = Dot(r0, c0);
    const VECTOR m(Dot(c0, n) / det, Dot(c1, n) / det, Dot(c2, n) / det, 0.0f);
    const float lengthIn = Length(n), lengthOut = Length(m);
    if (!(lengthOut > 0.0f) || lengthOut == lengthIn) return m;
    return m * (lengthIn / lengthOut);
}

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
    return grid != nullptr && grid->Triangles() != nullptr ? grid : nullptr;
}

// The grid of an object that takes part in the queries marked by flag, or null.
inline const Grid* GridFor(const TObject& object, unsigned flag) {
    return (object.flags & flag) ? QueryableGrid(object) : nullptr;
}

// The world ray in the object's coordinates, and whether it meets the object's bounding sphere
// there (only then is the grid asked).
inline bool CarryToObject(const Ray& world, const TObject& object, Ray& local) {
    local = CarryRay(world, object.box.transposedInverse);
    return HitsBoundingSphere(local, Midpoint(object.box.minimum, object.box.maximum), object.sphereRadiusSquared);
}

VECTOR ShadeWithEye(const Ray& ray, RayHit& hit, int depth, const Scene& scene, const VECTOR& eye,
                    const PixelSample* sample) {
    if (!ClosestHit(ray, scene, hit)) return SkyColour(scene.sky, ray);
    const Triangle* const surface = hit.triangle;
    const Surface s = WorldSurface(hit);
    // Direct light from every light whose shadow ray is free; hit serves as scratch.
    VECTOR light(0.0f, 0.0f, 0.0f, 0.0f);
    bool lit = false;
    const unsigned lightCount = scene.lights.Size();
    for (unsigned k = 0; k < lightCount; ++k) {
        const LightSource& source = scene.lights[k];
        // The shadow ray aims at the light's centre, or at the sample's point of its sphere.
        VECTOR lightPosition = AsPoint(source.position);
        if (sample != nullptr) lightPosition = LightPoint(lightPosition, source.radius, s.position, sample->u, sample->v);
        const Ray shadowRay(s.position, Normalised(AsDirection(lightPosition - s.position)));
        hit.triangle = surface;
        if (ShadowBlocked(shadowRay, scene, hit, lightPosition)) continue;
        light += Illuminate(s, source, eye);
        lit = true;
    }
    // The texture factor once for all lights.
    const VECTOR acc = lit ? ORVA_MATH::Mul(SurfaceColour(s), light) : light;
    if (depth <= 0) return acc;
    // One mirror bounce from the hit point, leaving the hit triangle.
    const Ray bounce(s.position, AsDirection(Reflect(AsDirection(ray.direction), s.normal)));
    hit.triangle = surface;
    const VECTOR reflected = ShadeWithEye(bounce, hit, depth - 1, scene, eye, sample);
    return acc * kDirectShare + reflected * kBounceShare;
}

// ShadeWithEye for a packet, step for step, each ray's values computed as there.
void ShadePacketWithEye(const Ray* rays, int active, RayHit* hits, int depth, const Scene& scene, const VECTOR& eye,
                        VECTOR* colours) {
    const int found = ClosestHitPacket(rays, active, scene, hits);
    for (int i = 0; i < kPacketRays; ++i)
        if ((active & ~found) >> i & 1) colours[i] = SkyColour(scene.sky, rays[i]);
    if (found == 0) return;
    const Triangle* surface[kPacketRays] = {};
    Surface s[kPacketRays];
    VECTOR light[kPacketRays];
    int lit = 0;
    for (int i = 0; i < kPacketRays; ++i) {
        if (!(found >> i & 1)) continue;
        surface[i] = hits[i].triangle;
        s[i] = WorldSurface(hits[i]);
        light[i] = VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    }
    // Direct light from every light whose shadow ray is free: the packet's shadow rays go to
    // one point, so they stay coherent.
    const unsigned lightCount = scene.lights.Size();
    for (unsigned k = 0; k < lightCount; ++k) {
        const LightSource& source = scene.lights[k];
        const VECTOR lightPosition = AsPoint(source.position);
        Ray shadowRays[kPacketRays];
        for (int i = 0; i < kPacketRays; ++i)
            if (found >> i & 1)
                shadowRays[i] = Ray(s[i].position, Normalised(AsDirection(lightPosition - s[i].position)));
        const int blocked = ShadowBlockedPacket(shadowRays, found, scene, surface, lightPosition);
        for (int i = 0; i < kPacketRays; ++i) {
            if (!((found & ~blocked) >> i & 1)) continue;
            light[i] += Illuminate(s[i], source, eye);
            lit |= 1 << i;
        }
    }
    VECTOR acc[kPacketRays];
    for (int i = 0; i < kPacketRays; ++i)
        if (found >> i & 1)
            acc[i] = (lit >> i & 1) ? ORVA_MATH::Mul(SurfaceColour(s[i]), light[i]) : light[i];
    if (depth <= 0) {
        for (int i = 0; i < kPacketRays; ++i)
            if (found >> i & 1) colours[i] = acc[i];
        return;
    }
    // One mirror bounce from each hit point, leaving the hit triangle.
    Ray bounces[kPacketRays];
    for (int i = 0; i < kPacketRays; ++i) {
        if (!(found >> i & 1)) continue;
        bounces[i] = Ray(s[i].position, AsDirection(Reflect(AsDirection(rays[i].direction), s[i].normal)));
        hits[i].triangle = surface[i];
    }
    VECTOR reflected[kPacketRays];
    ShadePacketWithEye(bounces, found, hits, depth - 1, scene, eye, reflected);
    for (int i = 0; i < kPacketRays; ++i)
        if (found >> i & 1) colours[i] = acc[i] * kDirectShare + reflected[i] * kBounceShare;
}

}  // namespace

VECTOR SampleTexture(const TEXTURE* texture, float u, float v) {
    if (texture == nullptr || texture->pixels == nullptr || texture->width <= 0 || texture->height <= 0)
        return VECTOR(255.0f, 255.0f, 255.0f, 1.0f) * kByteToUnit;
    const unsigned W = static_cast<unsigned>(texture->width);
    const unsigned H = static_cast<unsigned>(texture->height);
    // Repeating like the preview's GL_REPEAT with linear filtering: one period of u or v
    // spans the W (H) texels, texel i is centred on u = (i + 0.5) / W, and the neighbours
    // wrap around the edges. Coordinates that are not numbers or too large to wrap read 0.
    float x = u * static_cast<float>(W) - 0.5f, y = v * static_cast<float>(H) - 0.5f;
    if (!(std::fabs(x) < 1e9f)) x = 0.0f;
    if (!(std::fabs(y) < 1e9f)) y = 0.0f;
    const float fx0 = std::floor(x), fy0 = std::floor(y);
    const float fx = x - fx0, fy = y - fy0;
    const unsigned ix = Wrap(fx0, W), iy = Wrap(fy0, H);
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
    const Triangle* const skip = hit.triangle;
    const Ray world(AsPoint(ray.origin), AsDirection(ray.direction));
    // Each object's query is limited to the nearest hit so far: t is the parameter along the
    // world ray in every object's coordinates, so the limit compares world distances.
    float best = kFar;
    const TObject* bestObject = nullptr;
    RayHit bestHit;
    const unsigned count = scene.objects.Size();
    for (unsigned i = 0; i < count; ++i) {
        const TObject& object = scene.objects[i];
        const Grid* grid = GridFor(object, TObject::kClosestHitFlag);
        if (grid == nullptr) continue;
        // Sphere test and grid query in the object's coordinates.
        Ray local;
        if (!CarryToObject(world, object, local)) continue;
        hit.triangle = skip;
        if (!grid->Intersect(local, hit, best)) continue;
        best = hit.t;
        bestObject = &object;
        bestHit = hit;
    }
    if (bestObject == nullptr) {
        hit = RayHit();
        return false;
    }
    hit = bestHit;
    ComputeHitPoint(hit);
    hit.transform = &bestObject->box.transposed;
    hit.material = bestObject->MaterialOf(hit.triangle);
    return true;
}

bool ShadowBlocked(const Ray& ray, const Scene& scene, RayHit& scratch, const VECTOR& lightPosition) {
    const Ray world(AsPoint(ray.origin), AsDirection(ray.direction));
    const float tLight = LightParameter(world, AsPoint(lightPosition));
    const unsigned count = scene.objects.Size();
    for (unsigned i = 0; i < count; ++i) {
        const TObject& object = scene.objects[i];
        const Grid* grid = GridFor(object, TObject::kShadowFlag);
        if (grid == nullptr) continue;
        // The segment in the object's coordinates; stop at the first blocker.
        Ray local;
        if (!CarryToObject(world, object, local)) continue;
        if (grid->Occluded(local, tLight, scratch.triangle)) return true;
    }
    return false;
}

bool BlocksLight(const Ray& ray, const TObject& object, RayHit& scratch, const VECTOR& lightPosition) {
    const Grid* grid = QueryableGrid(object);
    if (grid == nullptr) return false;
    const Ray world(AsPoint(ray.origin), AsDirection(ray.direction));
    const Ray local = CarryRay(world, object.box.transposedInverse);
    return grid->Occluded(local, LightParameter(world, AsPoint(lightPosition)), scratch.triangle);
}

VECTOR LocalIllumination(const Ray&, const RayHit& hit, const LightSource& light, const Scene& scene) {
    const Surface s = WorldSurface(hit);
    return ORVA_MATH::Mul(SurfaceColour(s), Illuminate(s, light, EyeInWorld(scene)));
}

VECTOR Shade(const Ray& ray, RayHit& hit, int depth, const Scene& scene, const PixelSample* sample) {
    return ShadeWithEye(ray, hit, depth, scene, EyeInWorld(scene), sample);
}

int ClosestHitPacket(const Ray* rays, int active, const Scene& scene, RayHit* hits) {
    const Triangle* skip[kPacketRays] = {};
    Ray world[kPacketRays];
    float best[kPacketRays];
    const TObject* bestObject[kPacketRays] = {};
    RayHit bestHit[kPacketRays];
    for (int i = 0; i < kPacketRays; ++i) {
        best[i] = kFar;
        if (!(active >> i & 1)) continue;
        skip[i] = hits[i].triangle;
        world[i] = Ray(AsPoint(rays[i].origin), AsDirection(rays[i].direction));
    }
    // Object by object as ClosestHit, each ray limited to its nearest hit so far.
    const unsigned count = scene.objects.Size();
    for (unsigned n = 0; n < count; ++n) {
        const TObject& object = scene.objects[n];
        const Grid* grid = GridFor(object, TObject::kClosestHitFlag);
        if (grid == nullptr) continue;
        Ray local[kPacketRays];
        RayHit query[kPacketRays];
        int mask = 0;
        for (int i = 0; i < kPacketRays; ++i) {
            if (!(active >> i & 1) || !CarryToObject(world[i], object, local[i])) continue;
            query[i] = hits[i];
            query[i].triangle = skip[i];
            mask |= 1 << i;
        }
        if (mask == 0) continue;
        const int hit = grid->IntersectPacket(local, mask, query, best);
        for (int i = 0; i < kPacketRays; ++i) {
            if (!(hit >> i & 1)) continue;
            best[i] = query[i].t;
            bestObject[i] = &object;
            bestHit[i] = query[i];
        }
    }
    int found = 0;
    for (int i = 0; i < kPacketRays; ++i) {
        if (!(active >> i & 1)) continue;
        if (bestObject[i] == nullptr) {
            hits[i] = RayHit();
            continue;
        }
        hits[i] = bestHit[i];
        ComputeHitPoint(hits[i]);
        hits[i].transform = &bestObject[i]->box.transposed;
        hits[i].material = bestObject[i]->MaterialOf(hits[i].triangle);
        found |= 1 << i;
    }
    return found;
}

int ShadowBlockedPacket(const Ray* rays, int active, const Scene& scene, const Triangle* const* skip,
                        const VECTOR& lightPosition) {
    Ray world[kPacketRays];
    float tLight[kPacketRays];
    for (int i = 0; i < kPacketRays; ++i) {
        tLight[i] = 0.0f;
        if (!(active >> i & 1)) continue;
        world[i] = Ray(AsPoint(rays[i].origin), AsDirection(rays[i].direction));
        tLight[i] = LightParameter(world[i], AsPoint(lightPosition));
    }
    // Object by object as ShadowBlocked; a ray stops at its first blocker.
    int blocked = 0;
    const unsigned count = scene.objects.Size();
    for (unsigned n = 0; n < count && (active & ~blocked) != 0; ++n) {
        const TObject& object = scene.objects[n];
        const Grid* grid = GridFor(object, TObject::kShadowFlag);
        if (grid == nullptr) continue;
        Ray local[kPacketRays];
        int mask = 0;
        for (int i = 0; i < kPacketRays; ++i)
            if (((active & ~blocked) >> i & 1) && CarryToObject(world[i], object, local[i])) mask |= 1 << i;
        if (mask != 0) blocked |= grid->OccludedPacket(local, mask, tLight, skip);
    }
    return blocked;
}

void ShadePacket(const Ray* rays, int active, RayHit* hits, int depth, const Scene& scene, VECTOR* colours) {
    ShadePacketWithEye(rays, active, hits, depth, scene, EyeInWorld(scene), colours);
}

}  // namespace RAYTR
