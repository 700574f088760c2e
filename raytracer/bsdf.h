#pragma once
// How a surface of a described material reflects: small value classes that evaluate, sample and
// give the density of their reflection in a local frame whose z axis is the shading normal.
// Directions are unit vectors pointing away from the surface: wo toward the viewer, wi toward
// the light (or the next surface). Colours are evaluated lane by lane, in whatever lane order the
// caller keeps (the tracer's red, blue, green).
//
// - Lambert: diffuse reflection, albedo / pi, sampled by the cosine (Malley's method over a
//   concentric disk: P. Shirley, K. Chiu, "A Low Distortion Map Between Disk and Square", 1997).
// - Microfacet: the GGX (Trowbridge-Reitz) distribution with Smith's separable shadowing (B.
//   Walter, S. Marschner, H. Li, K. Torrance, "Microfacet Models for Refraction through Rough
//   Surfaces", EGSR 2007) and Schlick's Fresnel approximation (C. Schlick, "An Inexpensive BRDF
//   Model for Physically-based Rendering", Computer Graphics Forum 13(3), 1994); directions are
//   sampled from the normals the viewer sees (E. Heitz, "Sampling the GGX Distribution of
//   Visible Normals", JCGT 7(4), 2018), so a sample's weight is F times the shadowing of wi.
// - Mirror: a perfect mirror of a given reflectance.
//
// Nothing here allocates or locks: the tracer makes them per hit on the stack.

#include "math/vector.h"

namespace RAYTR {

using ORVA_MATH::VECTOR;

inline constexpr float kPi = 3.14159265358979323846f;

// A sampled direction and its weight: f(wo, wi) cos(wi) / pdf(wi). pdf 0 (with a zero weight)
// marks a direction below the surface, which carries nothing.
struct BsdfSample {
    VECTOR wi{0.0f, 0.0f, 1.0f, 0.0f};
    VECTOR weight{0.0f, 0.0f, 0.0f, 0.0f};
    float pdf = 0.0f;
};

// An orthonormal frame around a unit normal n (T. Duff et al., "Building an Orthonormal Basis,
// Revisited", JCGT 2017): ToLocal carries world directions into it (z along n), ToWorld back.
struct ShadingFrame {
    VECTOR t, b, n;
    explicit ShadingFrame(const VECTOR& unitNormal);
    VECTOR ToLocal(const VECTOR& v) const;
    VECTOR ToWorld(const VECTOR& v) const;
};

// Schlick's Fresnel: f0 + (f90 - f0)(1 - cosine)^5, lane by lane, cosine clamped to [0, 1];
// f90 is 1 for a reflectance of 2% and more and falls to 0 with it below.
VECTOR Schlick(const VECTOR& f0, float cosine);

// (x, y) of the unit disk for (u, v) in [0, 1)^2, area-preserving (concentric map).
void ConcentricDisk(float u, float v, float& x, float& y);

class Lambert {
public:
    explicit Lambert(const VECTOR& albedo) : albedo_(albedo) {}
    VECTOR Evaluate(const VECTOR& wo, const VECTOR& wi) const;
    BsdfSample Sample(const VECTOR& wo, float u, float v) const;
    float Pdf(const VECTOR& wo, const VECTOR& wi) const;

private:
    VECTOR albedo_;
};

class Microfacet {
public:
    // Below this roughness the surface is a mirror: Sample returns the mirror direction exactly
    // (weight F), and Evaluate is 0 for a point light.
    static constexpr float kSmooth = 0.02f;

    // roughness 0..1 (GGX alpha = roughness^2), f0 the reflectance at normal incidence.
    Microfacet(float roughness, const VECTOR& f0);
    bool Smooth() const { return smooth_; }
    // D G F / (4 cos(wo) cos(wi)) for both directions above the surface, else 0.
    VECTOR Evaluate(const VECTOR& wo, const VECTOR& wi) const;
    BsdfSample Sample(const VECTOR& wo, float u, float v) const;
    float Pdf(const VECTOR& wo, const VECTOR& wi) const;

    float Alpha() const { return alpha_; }
    // The GGX distribution of normals h (local frame) and Smith's shadowing of direction w.
    float D(const VECTOR& h) const;
    float G1(const VECTOR& w) const;

private:
    float alpha_;
    VECTOR f0_;
    bool smooth_;
};

class Mirror {
public:
    explicit Mirror(const VECTOR& reflectance) : reflectance_(reflectance) {}
    // (-wo.x, -wo.y, wo.z), weight the reflectance (pdf 1 for a delta direction).
    BsdfSample Sample(const VECTOR& wo) const;

private:
    VECTOR reflectance_;
};

}  // namespace RAYTR
