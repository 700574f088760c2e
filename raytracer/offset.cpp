#include "raytracer/offset.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <emmintrin.h>

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
    if (!(length > 0.0f)) return VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    const float inverse = 1.0f / length;
    return VECTOR(v.x * inverse, v.y * inverse, v.z * inverse, 0.0f);
}

}  // namespace

VECTOR NormalToWorld(const MATRIX& T, const VECTOR& n) {
    // A linear part that is the identity (a translation) leaves the normal as it is.
    if (T(0, 0) == 1.0f && T(1, 1) == 1.0f && T(2, 2) == 1.0f && T(0, 1) == 0.0f && T(0, 2) == 0.0f &&
        T(1, 0) == 0.0f && T(1, 2) == 0.0f && T(2, 0) == 0.0f && T(2, 1) == 0.0f)
        return VECTOR(n.x, n.y, n.z, 0.0f);
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

namespace {

// The largest |coordinate| of a point (x, y, z).
inline float Magnitude(const VECTOR& v) { return std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z))); }

// How a transform in column form (hit.transform, or the transposed transform of an object
// without a frame of its own) magnifies and shifts: see TObject::WorldFrame.
TObject::WorldFrame FrameOf(const MATRIX& T) {
    TObject::WorldFrame frame;
    frame.translationOnly = T(0, 0) == 1.0f && T(1, 1) == 1.0f && T(2, 2) == 1.0f && T(0, 1) == 0.0f &&
                            T(0, 2) == 0.0f && T(1, 0) == 0.0f && T(1, 2) == 0.0f && T(2, 0) == 0.0f &&
                            T(2, 1) == 0.0f;
    frame.magnification = 0.0f;
    frame.translation = 0.0f;
    for (int i = 0; i < 3; ++i) {
        frame.magnification = std::max(frame.magnification, std::fabs(T(i, 0)) + std::fabs(T(i, 1)) + std::fabs(T(i, 2)));
        frame.translation = std::max(frame.translation, std::fabs(T(i, 3)));
    }
    if (!frame.translationOnly) {
        // The inverse's magnification from the cofactors (only for hits made outside a scene).
        const VECTOR r0(T(0, 0), T(0, 1), T(0, 2), 0.0f), r1(T(1, 0), T(1, 1), T(1, 2), 0.0f),
            r2(T(2, 0), T(2, 1), T(2, 2), 0.0f);
        const VECTOR c[3] = {Cross(r1, r2), Cross(r2, r0), Cross(r0, r1)};
        const float det = std::fabs(Dot(r0, c[0]));
        float inverse = 0.0f;
        for (int i = 0; i < 3; ++i) inverse = std::max(inverse, (std::fabs(c[0][i]) + std::fabs(c[1][i]) + std::fabs(c[2][i])) / det);
        frame.conditioning = std::max(1.0f, frame.magnification * inverse);
    }
    return frame;
}

// The frame of a hit's object (see TObject::WorldFrame), from its transform when it has none.
inline TObject::WorldFrame HitFrame(const RayHit& hit) {
    if (hit.object != nullptr) return hit.object->World();
    return hit.transform != nullptr ? FrameOf(*hit.transform) : TObject::WorldFrame();
}

// An object point p of a hit in world coordinates (what ColumnTransform gives).
inline VECTOR ToWorld(const RayHit& hit, const TObject::WorldFrame& frame, const VECTOR& p) {
    if (hit.transform == nullptr) return VECTOR(p.x, p.y, p.z, 1.0f);
    const MATRIX& T = *hit.transform;
    if (frame.translationOnly) return VECTOR(p.x + T(0, 3), p.y + T(1, 3), p.z + T(2, 3), 1.0f);
    VECTOR w = ORVA_MATH::ColumnTransform(T, p);
    w.w = 1.0f;
    return w;
}

// The scale of rounding of a point with object-space magnitude m in the world (see offset.h):
// grown by what the transform does to magnitudes, and by carrying a ray from the point back.
inline float WorldScale(const RayHit& hit, const TObject::WorldFrame& frame, float m) {
    return hit.transform == nullptr ? m : frame.conditioning * (frame.magnification * m + frame.translation);
}

// The surface point of a hit whose point in object coordinates is p, on the flat triangle.
SurfacePoint FlatSurfaceAt(const RayHit& hit, const VECTOR& p) {
    SurfacePoint s;
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    const VECTOR& A = t.A->position;
    const VECTOR& B = t.B->position;
    const VECTOR& C = t.C->position;
    VECTOR normal = Cross(B - A, C - A);
    normal.w = 0.0f;
    const TObject::WorldFrame frame = HitFrame(hit);
    s.position = ToWorld(hit, frame, p);
    if (hit.transform != nullptr && !frame.translationOnly) normal = NormalToWorld(*hit.transform, normal);
    s.normal = Unit(normal);
    // The scale of the point's rounding: its corners' magnitude.
    s.scale = WorldScale(hit, frame, std::max(Magnitude(A), std::max(Magnitude(B), Magnitude(C))));
    return s;
}

// The flat surface point lifted off the shadow terminator (Hanika 2021): each corner's
// tangent plane (its vertex normal, turned to the front side) lifts the point where the point
// lies below it; the lifted point is the weights' mean of the three lifts. A point above every
// plane stays where it is.
SurfacePoint Lifted(const RayHit& hit, const VECTOR& p, const SurfacePoint& flat) {
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    const ORVA_GRAPHICS::VERTEX* corner[3] = {t.A, t.B, t.C};
    const float weight[3] = {hit.b0, hit.b1, hit.b2};
    const VECTOR face = Cross(t.B->position - t.A->position, t.C->position - t.A->position);
    VECTOR lift(0.0f, 0.0f, 0.0f, 0.0f);
    bool lifted = false;
    for (int k = 0; k < 3; ++k) {
        VECTOR n = corner[k]->normal;
        n.w = 0.0f;
        const float n2 = Dot(n, n);
        if (!(n2 > 0.0f)) continue;
        if (std::fabs(n2 - 1.0f) > 1e-3f) n = n / std::sqrt(n2);
        if (Dot(n, face) < 0.0f) n = n * -1.0f;
        VECTOR toPoint = p - corner[k]->position;
        toPoint.w = 0.0f;
        const float below = Dot(toPoint, n);
        if (!(below < 0.0f)) continue;
        // The corner's lift: its projection of the point minus the point itself, weighted.
        lift += n * (-below * weight[k]);
        lifted = true;
    }
    if (!lifted) return flat;
    lift.w = 0.0f;
    const VECTOR raised = p + lift;
    const TObject::WorldFrame frame = HitFrame(hit);
    SurfacePoint s = flat;
    s.position = ToWorld(hit, frame, raised);
    s.scale = std::max(flat.scale, WorldScale(hit, frame, Magnitude(raised)));
    return s;
}

// The hit's point in object coordinates, as ComputeHitPoint makes it.
inline VECTOR ObjectPoint(const RayHit& hit) {
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    if (hit.flags & kHitPointComputed) return hit.point;
    return (t.A->position * hit.b0 + t.B->position * hit.b1) + t.C->position * hit.b2;
}

// Waechter and Binder's constants, with the near-zero bound and step relative to the scale m
// (theirs are absolute, for scenes of about unit size). A point of scale m carries at most
// about 14 units of m's last place of rounding along the normal (7 per coordinate from its
// weights, 1 from each carry). A coordinate of at least m / 4 has a last place of at least an
// eighth of m's, so 256 times the normal's component in its own units moves the point at
// least 31 units of m's last place along the normal; a coordinate below m / 4 moves by
// m * 2^-18 (32 of them) times the component. Twice the rounding either way.
constexpr float kNearZero = 0.25f;
constexpr float kNearZeroStep = 1.0f / 262144.0f;
constexpr float kUnitsPerNormal = 256.0f;

}  // namespace

SurfacePoint SurfaceOf(const RayHit& hit, bool shadowTerminator) {
    const VECTOR p = ObjectPoint(hit);
    const SurfacePoint flat = FlatSurfaceAt(hit, p);
    return shadowTerminator ? Lifted(hit, p, flat) : flat;
}

VECTOR OffsetRayOrigin(const SurfacePoint& s, const VECTOR& w) {
    const VECTOR n = Dot(w, s.normal) < 0.0f ? s.normal * -1.0f : s.normal;
    VECTOR o = s.position;
    // Beyond the error bound, each coordinate rounded away from the point.
    const float d = Dot(Abs(n), s.error);
    if (d > 0.0f) {
        const VECTOR offset = n * d;
        o = o + offset;
        for (int i = 0; i < 3; ++i) {
            if (offset[i] > 0.0f) o[i] = NextAway(o[i], true);
            else if (offset[i] < 0.0f) o[i] = NextAway(o[i], false);
        }
    }
    // Then the units in the last place that the scale asks for, the three coordinates at once:
    // o + step n near zero, elsewhere o's bits moved by trunc(256 n) away from zero along n.
    if (s.scale > 0.0f) {
        const __m128 p = _mm_load_ps(&o.x), normal = _mm_load_ps(&n.x);
        const __m128 nearZero = _mm_cmplt_ps(_mm_andnot_ps(_mm_set1_ps(-0.0f), p), _mm_set1_ps(s.scale * kNearZero));
        const __m128 shifted = _mm_add_ps(p, _mm_mul_ps(_mm_set1_ps(s.scale * kNearZeroStep), normal));
        const __m128i units = _mm_cvttps_epi32(_mm_mul_ps(_mm_set1_ps(kUnitsPerNormal), normal));
        const __m128i negative = _mm_castps_si128(_mm_cmplt_ps(p, _mm_setzero_ps()));
        const __m128i step = _mm_sub_epi32(_mm_xor_si128(units, negative), negative);  // -units where p < 0
        const __m128 moved = _mm_castsi128_ps(_mm_add_epi32(_mm_castps_si128(p), step));
        _mm_store_ps(&o.x, _mm_or_ps(_mm_and_ps(nearZero, shifted), _mm_andnot_ps(nearZero, moved)));
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
    return Ray(origin, d);
}

Ray ShadowRay(const RayHit& hit, const VECTOR& target) {
    if (hit.triangle == nullptr) return ShadowRay(hit, SurfacePoint(), target);
    return ShadowRay(hit, FlatSurfaceAt(hit, ObjectPoint(hit)), target);
}

Ray ShadowRay(const RayHit& hit, const SurfacePoint& flat, const VECTOR& target) {
    VECTOR to = target;
    to.w = 1.0f;
    if (hit.triangle == nullptr) {
        VECTOR origin = hit.transform != nullptr ? ORVA_MATH::ColumnTransform(*hit.transform, hit.point) : hit.point;
        origin.w = 1.0f;
        VECTOR d = to - origin;
        d.w = 0.0f;
        return Ray(origin, d);
    }
    // The terminator's lift only where the smooth surface faces the target: a point whose
    // shading normal faces away is unlit anyway, and lifted it would shadow itself.
    const ORVA_GRAPHICS::Triangle& t = *hit.triangle;
    VECTOR local = to;
    if (hit.object != nullptr) {
        const MATRIX& back = hit.object->box.transposedInverse;
        local = hit.object->World().translationOnly ? VECTOR(to.x + back(0, 3), to.y + back(1, 3), to.z + back(2, 3), 1.0f)
                                                    : ORVA_MATH::ColumnTransform(back, to);
    }
    const VECTOR p = ObjectPoint(hit);
    local = local - p;
    local.w = 0.0f;
    VECTOR n = t.A->normal * hit.b0 + t.B->normal * hit.b1 + t.C->normal * hit.b2;
    n.w = 0.0f;
    return ShadowRayFrom(Dot(n, local) > 0.0f ? Lifted(hit, p, flat) : flat, to);
}

}  // namespace RAYTR
