#pragma once
// The scene-wide ray queries and the shading model.
//
// Spaces: a RayHit keeps its point in the hit object's own coordinates together with the
// object's transposed transform (hit.transform), which carries that point into world
// coordinates. Queries take world rays and carry them into each object's coordinates for the
// bounding-sphere test, the grid query and the shadow blocker comparison (the light is carried
// too). Shading happens in world coordinates: hit point, normal, light, eye, and the origin and
// direction of the bounce. So a model moved by SetTransform shades and shadows like the same
// model with its vertices moved.
//
// Colours keep red, blue and green in x, y and z. Every function here allocates nothing, takes
// no lock and only reads the scene: any number of threads may call them at once on one scene,
// each with its own RayHit records, as long as nobody changes the scene meanwhile.

#include "math/matrix.h"
#include "math/vector.h"
#include "raytracer/offset.h"
#include "raytracer/ray.h"
#include "raytracer/sampling.h"
#include "raytracer/scene.h"
#include "raytracer/tobject.h"

namespace RAYTR {

// ---- RayHit operations (corners A, B, C are the vertices of hit.triangle) ----------------

// point = (b0 A + b1 B) + b2 C over all four lanes (so w = b0 + b1 + b2 = 1); sets 0x1.
inline void ComputeHitPoint(RayHit& hit) {
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    hit.point = (t.A->position * hit.b0 + t.B->position * hit.b1) + t.C->position * hit.b2;
    hit.flags |= kHitPointComputed;
}

// b0 A.normal + b1 B.normal + b2 C.normal in object coordinates, not normalised.
inline VECTOR InterpolatedNormal(const RayHit& hit) {
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    return t.A->normal * hit.b0 + t.B->normal * hit.b1 + t.C->normal * hit.b2;
}

// (u, v) = b0 A.uv + b1 B.uv + b2 C.uv.
inline void TextureCoordinates(const RayHit& hit, float& u, float& v) {
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    u = t.A->u * hit.b0 + t.B->u * hit.b1 + t.C->u * hit.b2;
    v = t.A->v * hit.b0 + t.B->v * hit.b1 + t.C->v * hit.b2;
}

// normalise(d - 2 (d . n) n), with n used as given (not normalised first).
inline VECTOR Reflect(const VECTOR& d, const VECTOR& n) { return ORVA_MATH::Normalised(d - n * (2.0f * ORVA_MATH::Dot(d, n))); }

// World position of a hit: hit.transform applied to hit.point (identity when null), w = 1.
inline VECTOR HitPointInWorld(const RayHit& hit) {
    VECTOR p = hit.transform ? ORVA_MATH::ColumnTransform(*hit.transform, hit.point) : hit.point;
    p.w = 1.0f;
    return p;
}

// The ray carried by T (applied as matrix times column vector): the origin as a point
// (w = 1), the direction as a direction (w = 0), so the result is the exact affine image.
inline Ray CarryRay(const Ray& ray, const MATRIX& T) {
    VECTOR o = ray.origin, d = ray.direction;
    o.w = 1.0f;
    d.w = 0.0f;
    Ray r(ORVA_MATH::ColumnTransform(T, o), ORVA_MATH::ColumnTransform(T, d));
    r.origin.w = 1.0f;
    r.direction.w = 0.0f;
    return r;
}

// Bilinear texel lookup that repeats like GL_REPEAT: (u, v) and (u + 1, v + 1) read the same
// colour, texel (i, j) is centred on ((i + 0.5) / W, (j + 0.5) / H). Texel bytes (p0, p1, p2) become (p0, p2, p1, 1) / 255. A null texture or one
// without pixels gives white, the value of a (255, 255, 255) texel.
VECTOR SampleTexture(const TEXTURE* texture, float u, float v);

// The scene's eye carried into the objects' frame: the tracer turns its camera by the inverse
// of the scene's rotation, so the eye seen from the objects is eye times rotation^-1.
VECTOR EyeInWorld(const Scene& scene);

// ---- Queries ----------------------------------------------------------------------------
// One walk for all models: a ray is set up once (in world coordinates) and tested against the
// world boxes of the objects; only the objects it enters are asked, nearest entry first, each
// with the same set-up (objects that only translate) or one carry per distinct transform.

// Nearest hit along the ray over the objects with TObject::kClosestHitFlag: the front-facing
// triangle with the smallest ray parameter 0 < t (a tie keeps the earlier object). On true,
// hit holds the weights, t, the triangle, point (object coordinates, flag 0x1), transform =
// the object's transposed transform, material = the hit triangle's material and the object.
// On false the record is reset (null triangle, transform, material and object). A ray leaving
// a surface must start from an offset origin (raytracer/offset.h).
bool ClosestHit(const Ray& ray, const Scene& scene, RayHit& hit);

// True when some object with TObject::kShadowFlag has a front-facing triangle on the segment
// from the ray origin to target (world coordinates; the ray's direction must point at the
// target, of any length): 0 < t < the target's parameter. Rays from a surface start from
// ShadowRay's offset origin.
bool ShadowBlocked(const Ray& ray, const Scene& scene, const VECTOR& target);

// ShadowBlocked where see-through surfaces (mesh/material.h) let the ray pass as the shading
// does: as often as they are clear over the passes of `sample`, below their cut-off without
// one. The same as ShadowBlocked in a scene without them (scene.lighting.seeThrough).
bool ShadowBlockedThrough(const Ray& ray, const Scene& scene, const VECTOR& target, const PixelSample* sample);

// One object's part of ShadowBlocked, without the flag and box tests.
bool BlocksLight(const Ray& ray, const TObject& object, const VECTOR& target);

// Light of one point light reflected at a hit from ClosestHit (the ray is not used):
// surface colour (the material's texture, or its colour) times light colour times I, with I = (0.8 ambient + 0.8 N.L + 0.8 [N.L > 0] s^10)
// / (a0 + a1 d + a2 d^2), clamped at 0, s = max(R . V, 0), R the mirror of L about N, V the
// direction to the eye, d the distance to the light. No shadow test.
VECTOR LocalIllumination(const Ray& ray, const RayHit& hit, const LightSource& light, const Scene& scene);

// Colour seen along ray: the scene's sky on a miss (SkyColour: black without a dome);
// otherwise the sum over the lights that are not blocked of LocalIllumination, and with
// depth > 0, 0.6 of that plus 0.4 of the colour of the mirror bounce shaded with depth - 1.
// hit receives the ray's nearest hit. Shadow and bounce rays leave the surface from offset
// origins (raytracer/offset.h), the shadow rays lifted off the shadow terminator. Shadow rays
// aim at each light's centre, or, with a sample, at the point LightPoint(centre, radius,
// surface point, sample->u, sample->v) of its sphere (the bounce's surface too). The tracer
// calls it with depth 1.
VECTOR Shade(const Ray& ray, RayHit& hit, int depth, const Scene& scene, const PixelSample* sample = nullptr);

// The colour a hit's surface gives the light it reflects diffusely (its texture times its tint,
// or its colour), red, blue and green in x, y and z: what the denoiser divides out.
VECTOR SurfaceAlbedo(const RayHit& hit);

}  // namespace RAYTR
