#include "raytracer/offset.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "raytracer/tobject.h"

namespace RAYTR {

using ORVA_MATH::Cross;
using ORVA_MATH::Dot;

namespace {

// The rounding bound of n floating-point operations (n units of half the float epsilon).
constexpr float Gamma(int n) {
    return static_cast<float>(n) * 5.9604645e-8f / (1.0f - static_cast<float>(n) * 5.9604645e-8f);
}

inline VECTOR Abs(const VECTOR& v) { return VECTOR(std::fabs(v.x), std::fabs(v.y), std::fabs(v.z), 0.0f); }

// |M| applied to a vector of magnitudes (rows of the column-form matrix T, linear part only).
inline VECTOR AbsLinear(const MATRIX& T, const VECTOR& v) {
    VECTOR r(0.0f, 0.0f, 0.0f, 0.0f);
    for (int i = 0; i < 3; ++i) r[i] = (std::fabs(T(i, 0)) * v.x + std::fabs(T(i, 1)) * v.y) + std::fabs(T(i, 2)) * v.z;
    return r;
}

// The bound of rounding when T (column form, affine) is applied to a point p.
inline VECTOR AffineRounding(const MATRIX& T, const VECTOR& p) {
    VECTOR r = AbsLinear(T, Abs(p));
    for (int i = 0; i < 3; ++i) r[i] = Gamma(3) * (r[i] + std::fabs(T(i, 3)));
    return r;
}

// The next float above (up) or below x, for finite x.
inline float NextAway(float x, bool up) {
    if (!(x - x == 0.0f)) return x;
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if (x == 0.0f) bits = up ? 1u : 0x80000001u;  // the smallest subnormal of either sign
    else if ((x > 0.0f) == up) ++bits;
    else --bits;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

inline VECTOR Unit(const VECTOR& v) {
    const float length = ORVA_MATH::Length(v);
    return length > 0.0f ? VECTOR(v.x / length, v.y / length, v.z / length, 0.0f) : VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
}

}  // namespace

VECTOR NormalToWorld(const MATRIX& T, const VECTOR& n) {
    const VECTOR r0(T(0, 0), T(0, 1), T(0, 2), 0.0f);
    const VECTOR r1(T(1, 0), T(1, 1), T(1, 2), 0.0f);
    const VECTOR r2(T(2, 0), T(2, 1), T(2, 2), 0.0f);
    const VECTOR c0 = Cross(r1, r2), c1 = Cross(r2, r0), c2 = Cross(r0, r1);
    const float det = Dot(r0, c0);
    const VECTOR m(Dot(c0, n) / det, Dot(c1, n) / det, Dot(c2, n) / det, 0.0f);
    const float lengthIn = ORVA_MATH::Length(n), lengthOut = ORVA_MATH::Length(m);
    if (!(lengthOut > 0.0f) || lengthOut == lengthIn) return m;
    return m * (lengthIn / lengthOut);
}

SurfacePoint SurfaceOf(const RayHit& hit, bool shadowTerminator) {
    SurfacePoint s;
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    VECTOR A = t.A->position, B = t.B->position, C = t.C->position;
    A.w = B.w = C.w = 1.0f;
    const float b0 = hit.b0, b1 = hit.b1, b2 = hit.b2;
    // The point from its weights, and the bound of that sum's rounding (pbrt-v4, 6.8.4).
    VECTOR p = (A * b0 + B * b1) + C * b2;
    p.w = 1.0f;
    VECTOR error = (Abs(A * b0) + Abs(B * b1) + Abs(C * b2)) * Gamma(7);
    VECTOR normal = Cross(B - A, C - A);
    normal.w = 0.0f;
    if (shadowTerminator) {
        // Each corner's tangent plane (its vertex normal, turned to the front side) lifts the
        // point where the point lies below it; the lifted point is the weights' mean of the
        // three lifts (Hanika 2021). Points above every plane stay where they are.
        const ORVA_GRAPHICS::VERTEX* corner[3] = {t.A, t.B, t.C};
        const float weight[3] = {b0, b1, b2};
        VECTOR lift(0.0f, 0.0f, 0.0f, 0.0f), liftSize(0.0f, 0.0f, 0.0f, 0.0f);
        bool lifted = false;
        for (int k = 0; k < 3; ++k) {
            VECTOR n = corner[k]->normal;
            n.w = 0.0f;
            const float n2 = Dot(n, n);
            if (!(n2 > 0.0f)) continue;
            if (std::fabs(n2 - 1.0f) > 1e-3f) n = n / std::sqrt(n2);
            if (Dot(n, normal) < 0.0f) n = n * -1.0f;
            VECTOR toPoint = p - corner[k]->position;
            toPoint.w = 0.0f;
            const float below = Dot(toPoint, n);
            if (!(below < 0.0f)) continue;
            // The corner's lift: its projection of the point minus the point itself, weighted.
            const VECTOR up = n * (-below * weight[k]);
            lift += up;
            liftSize += Abs(up);
            lifted = true;
        }
        if (lifted) {
            lift.w = 0.0f;
            p += lift;
            error += (Abs(p) + liftSize) * Gamma(2);
        }
    }
    // Into world coordinates, with the rounding of the carry there and of carrying a ray from
    // the point back into the object's frame.
    const bool translationOnly = hit.object != nullptr && hit.object->World().translationOnly;
    if (hit.transform != nullptr) {
        const MATRIX& T = *hit.transform;
        const VECTOR world = ORVA_MATH::ColumnTransform(T, p);
        if (translationOnly) {
            error += AffineRounding(T, p) * 1.0f;
        } else {
            error = AbsLinear(T, error) * (1.0f + Gamma(3)) + AffineRounding(T, p);
            normal = NormalToWorld(T, normal);
        }
        p = world;
    }
    if (hit.object != nullptr) {
        const MATRIX& back = hit.object->box.transposedInverse;
        const VECTOR local = AffineRounding(back, p);
        error += hit.transform != nullptr && !translationOnly ? AbsLinear(*hit.transform, local) * (1.0f + Gamma(3))
                                                              : local;
    }
    p.w = 1.0f;
    error.w = 0.0f;
    s.position = p;
    s.error = error;
    s.normal = Unit(normal);
    return s;
}

VECTOR OffsetRayOrigin(const SurfacePoint& s, const VECTOR& w) {
    const float d = Dot(Abs(s.normal), s.error);
    VECTOR offset = s.normal * d;
    if (Dot(w, s.normal) < 0.0f) offset = offset * -1.0f;
    VECTOR o = s.position + offset;
    for (int i = 0; i < 3; ++i) {
        if (offset[i] > 0.0f) o[i] = NextAway(o[i], true);
        else if (offset[i] < 0.0f) o[i] = NextAway(o[i], false);
    }
    o.w = 1.0f;
    return o;
}

SurfacePoint DepthSurfaceOf(const MATRIX& toWorld, const VECTOR& point, float depthError, const VECTOR& normal) {
    SurfacePoint s;
    VECTOR p = point;
    p.w = 1.0f;
    // The error along the line of sight, doubled for the estimated normal's own error, then
    // carried like a hit point's, plus the rounding of carrying a ray from the point into any
    // object's frame (an affine map of at most the point's magnitude and a translation).
    const VECTOR sight = Unit(VECTOR(p.x, p.y, p.z, 0.0f));
    const VECTOR along = Abs(sight) * (2.0f * depthError);
    const VECTOR world = ORVA_MATH::ColumnTransform(toWorld, p);
    VECTOR error = AbsLinear(toWorld, along) * (1.0f + Gamma(3)) + AffineRounding(toWorld, p) + Abs(world) * Gamma(8);
    VECTOR n = VECTOR(normal.x, normal.y, normal.z, 0.0f);
    if (!(Dot(n, n) > 0.0f)) n = sight * -1.0f;  // no normal: toward the eye
    s.position = world;
    s.position.w = 1.0f;
    error.w = 0.0f;
    s.error = error;
    s.normal = Unit(NormalToWorld(toWorld, n));
    return s;
}

Ray ShadowRayFrom(const SurfacePoint& s, const VECTOR& target) {
    VECTOR to = target;
    to.w = 1.0f;
    const VECTOR origin = OffsetRayOrigin(s, to - s.position);
    VECTOR d = to - origin;
    d.w = 0.0f;
    return Ray(origin, ORVA_MATH::Normalised(d));
}

Ray ShadowRay(const RayHit& hit, const VECTOR& target) {
    VECTOR to = target;
    to.w = 1.0f;
    if (hit.triangle == nullptr) {
        VECTOR origin = hit.transform != nullptr ? ORVA_MATH::ColumnTransform(*hit.transform, hit.point) : hit.point;
        origin.w = 1.0f;
        VECTOR d = to - origin;
        d.w = 0.0f;
        return Ray(origin, ORVA_MATH::Normalised(d));
    }
    // The terminator's lift only where the smooth surface faces the target: a point whose
    // shading normal faces away is unlit anyway, and lifted it would shadow itself.
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    VECTOR local = hit.object != nullptr ? ORVA_MATH::ColumnTransform(hit.object->box.transposedInverse, to) : to;
    const VECTOR p = (t.A->position * hit.b0 + t.B->position * hit.b1) + t.C->position * hit.b2;
    local = local - p;
    local.w = 0.0f;
    VECTOR n = t.A->normal * hit.b0 + t.B->normal * hit.b1 + t.C->normal * hit.b2;
    n.w = 0.0f;
    return ShadowRayFrom(SurfaceOf(hit, Dot(n, local) > 0.0f), to);
}

}  // namespace RAYTR
