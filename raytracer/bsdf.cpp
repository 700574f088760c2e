#include "raytracer/bsdf.h"

#include <algorithm>
#include <cmath>

namespace RAYTR {

namespace {

inline VECTOR Direction(float x, float y, float z) { return VECTOR(x, y, z, 0.0f); }
inline float Dot3(const VECTOR& a, const VECTOR& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

}  // namespace

ShadingFrame::ShadingFrame(const VECTOR& unitNormal) : n(Direction(unitNormal.x, unitNormal.y, unitNormal.z)) {
    const float sign = std::copysign(1.0f, n.z);
    const float a = -1.0f / (sign + n.z);
    const float c = n.x * n.y * a;
    t = Direction(1.0f + sign * n.x * n.x * a, sign * c, -sign * n.x);
    b = Direction(c, sign + n.y * n.y * a, -n.y);
}

VECTOR ShadingFrame::ToLocal(const VECTOR& v) const { return Direction(Dot3(v, t), Dot3(v, b), Dot3(v, n)); }

VECTOR ShadingFrame::ToWorld(const VECTOR& v) const {
    return Direction(t.x * v.x + b.x * v.y + n.x * v.z, t.y * v.x + b.y * v.y + n.y * v.z, t.z * v.x + b.z * v.y + n.z * v.z);
}

VECTOR Schlick(const VECTOR& f0, float cosine) {
    const float c = 1.0f - std::clamp(cosine, 0.0f, 1.0f);
    const float c2 = c * c, c5 = c2 * c2 * c;
    // A reflectance of 2% or more reaches 1 at grazing; below that the surface has no coat to
    // speak of, and F90 falls with it to 0 (a zero specular colour reflects nothing at all).
    const float f90 = std::clamp(50.0f * std::max({f0.x, f0.y, f0.z}), 0.0f, 1.0f);
    const VECTOR edge(f90, f90, f90, f90);
    return f0 + (edge - f0) * c5;
}

void ConcentricDisk(float u, float v, float& x, float& y) {
    const float sx = 2.0f * u - 1.0f, sy = 2.0f * v - 1.0f;
    if (sx == 0.0f && sy == 0.0f) {
        x = y = 0.0f;
        return;
    }
    float r, phi;
    if (std::fabs(sx) > std::fabs(sy)) {
        r = sx;
        phi = 0.25f * kPi * (sy / sx);
    } else {
        r = sy;
        phi = 0.5f * kPi - 0.25f * kPi * (sx / sy);
    }
    x = r * std::cos(phi);
    y = r * std::sin(phi);
}

// ---- Lambert ------------------------------------------------------------------------------

VECTOR Lambert::Evaluate(const VECTOR& wo, const VECTOR& wi) const {
    if (!(wo.z > 0.0f && wi.z > 0.0f)) return VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
    return albedo_ * (1.0f / kPi);
}

BsdfSample Lambert::Sample(const VECTOR& wo, float u, float v) const {
    BsdfSample s;
    float x, y;
    ConcentricDisk(u, v, x, y);
    const float z = std::sqrt(std::max(0.0f, 1.0f - x * x - y * y));
    s.wi = Direction(x, y, z);
    if (!(wo.z > 0.0f) || !(z > 0.0f)) return s;
    s.pdf = z / kPi;
    s.weight = albedo_;  // (albedo / pi) cos / (cos / pi)
    return s;
}

float Lambert::Pdf(const VECTOR& wo, const VECTOR& wi) const { return wo.z > 0.0f && wi.z > 0.0f ? wi.z / kPi : 0.0f; }

// ---- Microfacet ---------------------------------------------------------------------------

Microfacet::Microfacet(float roughness, const VECTOR& f0)
    : alpha_(std::max(roughness * roughness, 1e-4f)), f0_(f0), smooth_(!(roughness >= kSmooth)) {}

float Microfacet::D(const VECTOR& h) const {
    if (!(h.z > 0.0f)) return 0.0f;
    const float a2 = alpha_ * alpha_;
    const float c2 = h.z * h.z;
    const float k = c2 * (a2 - 1.0f) + 1.0f;
    return a2 / (kPi * k * k);
}

float Microfacet::G1(const VECTOR& w) const {
    if (!(w.z > 0.0f)) return 0.0f;
    const float c2 = w.z * w.z;
    const float tan2 = std::max(0.0f, 1.0f - c2) / c2;
    return 2.0f / (1.0f + std::sqrt(1.0f + alpha_ * alpha_ * tan2));
}

VECTOR Microfacet::Evaluate(const VECTOR& wo, const VECTOR& wi) const {
    const VECTOR zero(0.0f, 0.0f, 0.0f, 0.0f);
    if (smooth_ || !(wo.z > 0.0f && wi.z > 0.0f)) return zero;
    VECTOR h = wo + wi;
    const float len = std::sqrt(Dot3(h, h));
    if (!(len > 0.0f)) return zero;
    h = h / len;
    const float g = G1(wo) * G1(wi);
    return Schlick(f0_, Dot3(wo, h)) * (D(h) * g / (4.0f * wo.z * wi.z));
}

BsdfSample Microfacet::Sample(const VECTOR& wo, float u, float v) const {
    BsdfSample s;
    if (!(wo.z > 0.0f)) return s;
    if (smooth_) {
        s.wi = Direction(-wo.x, -wo.y, wo.z);
        s.pdf = 1.0f;
        s.weight = Schlick(f0_, wo.z);
        return s;
    }
    // Heitz 2018: the view direction stretched to the unit-roughness configuration, a point of
    // the projected disk of visible normals, and back.
    const VECTOR vh = ORVA_MATH::Normalised(Direction(alpha_ * wo.x, alpha_ * wo.y, wo.z));
    const float lensq = vh.x * vh.x + vh.y * vh.y;
    const VECTOR t1 = lensq > 0.0f ? Direction(-vh.y, vh.x, 0.0f) / std::sqrt(lensq) : Direction(1.0f, 0.0f, 0.0f);
    const VECTOR t2 = Direction(vh.y * t1.z - vh.z * t1.y, vh.z * t1.x - vh.x * t1.z, vh.x * t1.y - vh.y * t1.x);
    float x, y;
    ConcentricDisk(u, v, x, y);
    const float s1 = 0.5f * (1.0f + vh.z);
    y = (1.0f - s1) * std::sqrt(std::max(0.0f, 1.0f - x * x)) + s1 * y;
    const VECTOR nh = t1 * x + t2 * y + vh * std::sqrt(std::max(0.0f, 1.0f - x * x - y * y));
    const VECTOR h = ORVA_MATH::Normalised(Direction(alpha_ * nh.x, alpha_ * nh.y, std::max(1e-6f, nh.z)));
    const float oh = Dot3(wo, h);
    s.wi = h * (2.0f * oh) - wo;
    s.wi.w = 0.0f;
    if (!(s.wi.z > 0.0f) || !(oh > 0.0f)) return s;
    s.pdf = G1(wo) * D(h) / (4.0f * wo.z);
    s.weight = Schlick(f0_, oh) * G1(s.wi);
    return s;
}

float Microfacet::Pdf(const VECTOR& wo, const VECTOR& wi) const {
    if (smooth_ || !(wo.z > 0.0f && wi.z > 0.0f)) return 0.0f;
    VECTOR h = wo + wi;
    const float len = std::sqrt(Dot3(h, h));
    if (!(len > 0.0f)) return 0.0f;
    h = h / len;
    return G1(wo) * D(h) / (4.0f * wo.z);
}

// ---- Mirror -------------------------------------------------------------------------------

BsdfSample Mirror::Sample(const VECTOR& wo) const {
    BsdfSample s;
    s.wi = Direction(-wo.x, -wo.y, wo.z);
    if (!(wo.z > 0.0f)) return s;
    s.pdf = 1.0f;
    s.weight = reflectance_;
    return s;
}

}  // namespace RAYTR
