#pragma once
// Where a ray that leaves a surface starts.
//
// - Self-intersection: the new ray starts from the hit point moved a few units in the last
//   place of each coordinate along the geometric normal, to the side the ray leaves to, and
//   by a small fraction of the triangle's scale where a coordinate is near zero (C.
//   Waechter and N. Binder, "A Fast and Robust Method for Avoiding Self-Intersection", Ray
//   Tracing Gems, 2019). The scale is the largest magnitude among the triangle's corners and
//   the point in world coordinates, so the move is twice the point's rounding error (at most
//   about 8 units in the last place of that scale per coordinate, carries into and out of the
//   object's frame included) in any units, and the same scene at any scale gets the same
//   picture. With the ray-triangle test accepting t only beyond its own rounding error
//   (grid/kernel_impl.h), the surface a ray leaves is not met again, without a minimum distance
//   or a triangle to skip.
// - The shadow terminator: where the light grazes a smooth-shaded surface of few triangles,
//   the shadow ray starts from the point lifted onto the smooth surface that the vertex normals
//   describe (J. Hanika, "Hacking the Shadow Terminator", Ray Tracing Gems II, 2021), so the
//   flat triangles do not shadow their own neighbours where the smooth shading says lit.

#include "math/vector.h"
#include "raytracer/ray.h"

namespace RAYTR {

// A normal n (object coordinates) carried by the object transform whose transpose is T: the
// inverse transpose of the linear part (the cofactors of T's 3x3 over its determinant) gives
// the direction; the object-space length is kept (interpolated normals are used
// unnormalised). Exact for translations and the identity.
VECTOR NormalToWorld(const ORVA_MATH::MATRIX& T, const VECTOR& n);

// A point that rays leave from, in world coordinates, with the unit normal of its surface
// (for a triangle hit, the geometric normal on the front side), and how far it may lie off
// the surface: `scale`, the magnitude whose last units of rounding the point may carry (see
// above; 0 for none), and `error`, a bound per axis beyond that (a point read from the depth
// buffer).
struct SurfacePoint {
    VECTOR position{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR error{0.0f, 0.0f, 0.0f, 0.0f};
    VECTOR normal{0.0f, 0.0f, 0.0f, 0.0f};
    float scale = 0.0f;
};

// The surface point of a hit with a triangle (hit.triangle and its weights, hit.transform
// carrying object coordinates to world coordinates or null). With shadowTerminator the point
// is lifted as Hanika describes (for shadow rays).
SurfacePoint SurfaceOf(const RayHit& hit, bool shadowTerminator);

// The origin of a ray leaving the surface point in direction w: moved along the normal, to w's
// side, beyond the error bound and then by the units in the last place its scale asks for.
VECTOR OffsetRayOrigin(const SurfacePoint& s, const VECTOR& w);

// A visible point read from the preview's depth buffer instead of found by a ray: `point` in
// the space that toWorld (applied as matrix times column vector) carries into world
// coordinates, whose origin is the eye; it lies off the true surface only along the line of
// sight, by at most depthError units (the depth's quantisation). normal is the surface's
// normal as the neighbouring depth samples give it (any length and orientation; zero when
// they give none, then the point is moved toward the eye).
SurfacePoint DepthSurfaceOf(const ORVA_MATH::MATRIX& toWorld, const VECTOR& point, float depthError, const VECTOR& normal);

// The shadow ray from a surface point toward a target point (a light): from its offset origin,
// its direction the target minus the origin, so the target lies at t = 1.
Ray ShadowRayFrom(const SurfacePoint& s, const VECTOR& target);

// The shadow ray from a hit toward a target point: from the lifted, offset point of a triangle
// hit, or from hit.point carried by hit.transform for a hit without a triangle (no offset).
Ray ShadowRay(const RayHit& hit, const VECTOR& target);
// The same for a triangle hit whose flat surface point SurfaceOf(hit, false) is known (a hit
// that sends rays to several targets and a bounce computes it once).
Ray ShadowRay(const RayHit& hit, const SurfacePoint& flat, const VECTOR& target);

}  // namespace RAYTR
