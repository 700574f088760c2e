#pragma once
// How a described surface (mesh/material.h) scatters light, made in one place for every part
// that shades it: the tracer's shading, the preview's parameters and the hybrid overlay's share
// of the light all start from SurfaceParametersAt / MaterialParameters and the SurfaceBsdf built
// from them.
//
// The surface is up to three lobes (raytracer/bsdf.h), weighted so that together they never
// reflect more than arrives:
// - mirror: share `mirror` of the light, reflected as by a perfect mirror;
// - coat: share (1 - mirror), the GGX coat with Schlick's Fresnel, whose reflectance at normal
//   incidence is F0 = specular (1 - metallic) + base metallic; for a light its roughness is at
//   least kLightRoughness (a light is never a true point: a near-mirror coat shows it as a small
//   spot, not as a single pixel of enormous value); it reflects the scene too when reflectsScene;
// - diffuse: share (1 - mirror)(1 - metallic) of the base colour, Lambert's, on what the coat
//   lets through both ways: f = base / pi (1 - E(wo)) (1 - E(wi)) / (1 - Eavg), with E(w) the
//   coat's directional albedo and Eavg its cosine-weighted mean (Kelemen and Szirmay-Kalos, "A
//   Microfacet Based Coupled Specular-Matte BRDF Model with Importance Sampling", 2001): it is
//   reciprocal, and a coat plus diffuse reflects E(wo) + base (1 - E(wo)) at most, under 1;
// - emission, added unlit.
// Every direction below the shading surface or below the geometric surface (the triangle's own
// side facing the viewer) carries nothing, so no light reaches a point from behind the triangle
// it lies on.
//
// Colours here are in the tracer's lane order (red, blue, green) where they are VECTORs; the
// parameters keep a file's red, green, blue order, as the preview takes them. Nothing allocates
// or locks after the first call (the coat's albedo table is made once, thread-safely).

#include "mesh/material.h"
#include "raytracer/bsdf.h"

namespace RAYTR {

// The least roughness a coat shows a light with (GGX alpha 0.01).
inline constexpr float kLightRoughness = 0.1f;

// A described material at one point, in a file's red, green, blue order.
struct SurfaceParameters {
    float base[3] = {1.0f, 1.0f, 1.0f};      // base colour: the texel times the tint, or the colour
    float specular[3] = {0.04f, 0.04f, 0.04f};  // dielectric coat's reflectance at normal incidence
    float metallic = 0.0f;                     // 0..1
    float roughness = 0.6f;                    // 0..1
    float mirror = 0.0f;                       // 0..1
    float emission[3] = {0.0f, 0.0f, 0.0f};
    bool reflectsScene = false;
    bool twoSided = false;

    // Coat reflectance at normal incidence, channel k: specular (1 - metallic) + base metallic.
    float CoatF0(int k) const { return specular[k] * (1.0f - metallic) + base[k] * metallic; }
    // Weights of the lobes (see above) before the coat's Fresnel takes its part of the diffuse.
    float CoatWeight() const { return 1.0f - mirror; }
    float DiffuseWeight() const { return (1.0f - mirror) * (1.0f - metallic); }
};

// The material's own values, clamped to their ranges, with every texture factor white: the base
// colour is the tint for a textured material (the preview multiplies its texture by it), the
// colour otherwise. What the preview takes as its constants; the maps multiply as
// SurfaceParametersAt says.
SurfaceParameters MaterialParameters(const ORVA_GRAPHICS::Material& m);

// The material at mapping coordinates (u, v): base = texel times tint (or the colour), roughness
// times the metal-rough map's green and metallic times its blue, specular times the specular
// map, emission times the emission map.
SurfaceParameters SurfaceParametersAt(const ORVA_GRAPHICS::Material& m, float u, float v);

// The coat's directional albedo E for f0 with Schlick's f90 (bsdf.h Schlick) is
// f0 a + f90 b, where (a, b) are the terms below at the cosine of the view direction and the
// roughness (a table of the GGX lobe's own samples, bilinearly read); the cosine-weighted mean
// over the hemisphere likewise.
void CoatAlbedoTerms(float cosine, float roughness, float& a, float& b);
void CoatMeanTerms(float roughness, float& a, float& b);
// Schlick's f90 of a coat whose largest channel of f0 is f0max (as Schlick uses it).
float SchlickEdge(float f0max);

// Which lobes a surface has.
enum SurfaceLobe : unsigned {
    kDiffuseLobe = 1u,
    kCoatLobe = 2u,        // the coat reflects the lights
    kCoatSceneLobe = 4u,   // and the scene (a sampled direction)
    kMirrorLobe = 8u,
    kEmissionLobe = 16u,
};

// The scattering at one point, seen from direction wo. All directions in world coordinates,
// unit length, pointing away from the surface.
class SurfaceBsdf {
public:
    // shading: the unit shading normal (turned toward wo where interpolation left it facing
    // away); geometric: the triangle's unit normal on wo's side.
    SurfaceBsdf(const SurfaceParameters& p, const VECTOR& wo, const VECTOR& shading, const VECTOR& geometric);

    unsigned Lobes() const { return lobes_; }
    const VECTOR& Normal() const { return frame_.n; }
    VECTOR Emission() const { return emission_; }

    // f(wo, wi) cos(wi) of the diffuse lobe and of the coat for light from direction wi (the coat
    // at least kLightRoughness rough); 0 below either surface.
    VECTOR DiffuseReflected(const VECTOR& wi) const;
    VECTOR CoatReflected(const VECTOR& wi) const;
    // What the diffuse lobe reflects of light that arrives evenly from every direction (its
    // directional albedo): base (1 - mirror)(1 - metallic)(1 - E(wo)).
    VECTOR DiffuseAlbedo() const { return diffuseOut_; }

    // Sampled directions (world wi, weight f cos / pdf, pdf 0 for none): the diffuse lobe by the
    // cosine, the coat by its visible normals (its true roughness; the mirror direction when
    // smooth), the mirror lobe.
    BsdfSample SampleDiffuse(float u, float v) const;
    BsdfSample SampleCoat(float u, float v) const;
    BsdfSample SampleMirror() const;

private:
    bool Above(const VECTOR& wiWorld, const VECTOR& wiLocal) const;
    // 1 - E(w) per lane for a local direction's cosine.
    VECTOR CoatTransmission(float cosine) const;
    BsdfSample ToWorld(BsdfSample s) const;

    ShadingFrame frame_;
    VECTOR wo_, woLocal_, geometric_;
    VECTOR f0_, emission_, diffuseOut_;  // diffuseOut_: the diffuse albedo toward wo
    VECTOR diffuseScale_;                // base weight (1 - E(wo)) / (1 - Eavg) / pi
    float f90_, coatWeight_, mirror_, roughness_;
    unsigned lobes_ = 0;
};

}  // namespace RAYTR
