#pragma once
// Four-float vector: points carry w = 1, directions w = 0. Lane-wise operations act on all
// four lanes; dot products and lengths use x, y and z only, summed as (x + y) + z.

#include <cmath>

namespace ORVA_MATH {

struct alignas(16) VECTOR {
    float x, y, z, w;

    VECTOR() = default;  // lanes unset, as for a plain aggregate
    constexpr VECTOR(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}

    float& operator[](int i) { return (&x)[i]; }
    float operator[](int i) const { return (&x)[i]; }

    VECTOR& operator+=(const VECTOR& b) { x += b.x; y += b.y; z += b.z; w += b.w; return *this; }
    VECTOR& operator-=(const VECTOR& b) { x -= b.x; y -= b.y; z -= b.z; w -= b.w; return *this; }
    VECTOR& operator*=(float s) { x *= s; y *= s; z *= s; w *= s; return *this; }
    VECTOR& operator/=(float s) { x /= s; y /= s; z /= s; w /= s; return *this; }
};
static_assert(sizeof(VECTOR) == 16 && alignof(VECTOR) == 16);

inline VECTOR operator+(const VECTOR& a, const VECTOR& b) { return {a.x + b.x, a.y + b.y, a.z + b.z, a.w + b.w}; }
inline VECTOR operator-(const VECTOR& a, const VECTOR& b) { return {a.x - b.x, a.y - b.y, a.z - b.z, a.w - b.w}; }
inline VECTOR operator*(const VECTOR& a, float s) { return {a.x * s, a.y * s, a.z * s, a.w * s}; }
inline VECTOR operator*(float s, const VECTOR& a) { return a * s; }
inline VECTOR operator/(const VECTOR& a, float s) { return {a.x / s, a.y / s, a.z / s, a.w / s}; }
// Lane-wise product (colours).
inline VECTOR Mul(const VECTOR& a, const VECTOR& b) { return {a.x * b.x, a.y * b.y, a.z * b.z, a.w * b.w}; }

inline float Dot(const VECTOR& a, const VECTOR& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline float LengthSquared(const VECTOR& a) { return Dot(a, a); }
inline float Length(const VECTOR& a) { return std::sqrt(LengthSquared(a)); }

// All four lanes, w included, are divided by the length of x, y, z; zero length is not guarded.
inline void Normalise(VECTOR& a) { a = a / Length(a); }
inline VECTOR Normalised(VECTOR a) { Normalise(a); return a; }

// w is a.w b.w - a.w b.w: 0 for finite input.
inline VECTOR Cross(const VECTOR& a, const VECTOR& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x, a.w * b.w - a.w * b.w};
}

inline VECTOR Midpoint(const VECTOR& min, const VECTOR& max) { return (min + max) * 0.5f; }

}  // namespace ORVA_MATH
