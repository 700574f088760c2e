#pragma once
// One highlight in the two ways the system writes it: a GGX coat of roughness r (alpha = r^2,
// raytracer/bsdf.h) and Blinn-Phong's exponent n (the formats before metal-rough, and OpenGL 1.x
// lighting). Equal width: alpha^2 = 2 / (n + 2) (Walter et al. 2007's Beckmann equivalent of
// Blinn-Phong, which GGX matches near the peak). Equal peak: along the normal the GGX coat of
// reflectance F0 reflects F0 / (4 alpha^2) times the light (D = 1 / (pi alpha^2), G = 1, light
// radiance carried as colour times pi), so a Phong colour c at strength s is F0 = 4 alpha^2 c s.

#include <cmath>

namespace ORVA_MATH {

// Exponents are limited to [1, 10000] (a NaN counts as 1).
inline float PhongExponentAlpha2(float exponent) {
    if (!(exponent >= 1.0f)) exponent = 1.0f;
    if (exponent > 10000.0f) exponent = 10000.0f;
    return 2.0f / (exponent + 2.0f);
}
inline float RoughnessOfPhongExponent(float exponent) { return std::sqrt(std::sqrt(PhongExponentAlpha2(exponent))); }
// The exponent of a roughness's width (0 for roughness 1 and above).
inline float PhongExponentOfRoughness(float roughness) {
    const float alpha2 = roughness * roughness * roughness * roughness;
    return alpha2 > 0.0f ? std::fmax(0.0f, 2.0f / alpha2 - 2.0f) : INFINITY;
}
// What the coat's peak along the normal is in units of F0: 1 / (4 alpha^2).
inline float GgxPeakOverF0(float roughness) { return 0.25f / (roughness * roughness * roughness * roughness); }

}  // namespace ORVA_MATH
