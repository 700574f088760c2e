#pragma once
// Where a ray that leaves a surface starts.
//
// - Self-intersection by error bounds: a hit point computed from its weights is off the true
//   surface by at most a bound of its rounding error; the new ray starts from the point moved
//   along the geometric normal just beyond that bound, to the side the ray leaves to (C.
//   Waechter and N. Binder, "A Fast and Robust Method for Avoiding Self-Intersection", Ray
//   Tracing Gems, 2019, in the form of pbrt-v4's OffsetRayOrigin). With the ray-triangle test
//   accepting t only beyond its own rounding error (grid/kernel_impl.h), the surface a ray
//   leaves is never met again, at any scale and without a minimum distance or a triangle to
//   skip.
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

// A hit point in world coordinates with the bound of its rounding error per axis (including
// the rounding of carrying a ray from it back into its object's frame) and the unit
// geometric normal on the triangle's front side.
struct SurfacePoint {
    VECTOR position{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR error{0.0f, 0.0f, 0.0f, 0.0f};
    VECTOR normal{0.0f, 0.0f, 0.0f, 0.0f};
};

// The surface point of a hit with a triangle (hit.triangle and its weights, hit.transform
// carrying object coordinates to world coordinates or null). With shadowTerminator the point
// is lifted as Hanika describes (for shadow rays).
SurfacePoint SurfaceOf(const RayHit& hit, bool shadowTerminator);

// The origin of a ray leaving the surface point in direction w: moved along the normal beyond
// the error bound, to w's side, each coordinate rounded away from the point.
VECTOR OffsetRayOrigin(const SurfacePoint& s, const VECTOR& w);

// A visible point read from the preview's depth buffer instead of found by a ray: `point` in
// the space that toWorld (applied as matrix times column vector) carries into world
// coordinates, whose origin is the eye; it lies off the true surface only along the line of
// sight, by at most depthError units (the depth's quantisation). normal is the surface's
// normal as the neighbouring depth samples give it (any length and orientation; zero when
// they give none, then the point is moved toward the eye).
SurfacePoint DepthSurfaceOf(const ORVA_MATH::MATRIX& toWorld, const VECTOR& point, float depthError, const VECTOR& normal);

// The shadow ray from a surface point toward a target point (a light): from its offset origin,
// with a unit direction, so the target lies at t = its distance.
Ray ShadowRayFrom(const SurfacePoint& s, const VECTOR& target);

// The shadow ray from a hit toward a target point: from the lifted, offset point of a triangle
// hit, or from hit.point carried by hit.transform for a hit without a triangle (no offset).
Ray ShadowRay(const RayHit& hit, const VECTOR& target);

}  // namespace RAYTR
