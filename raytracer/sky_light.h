#pragma once
// The sky as a light (scene.sky_light) and the other scene-wide settings of described
// materials' shading (raytracer/bsdf.h).
//
// With a strength s > 0 the sky lights the scene: radiance s times the sky's colour in each
// direction (the dome's texture where the traced sky is a dome, white otherwise). Each settling
// pass adds one cosine-weighted direction over the hemisphere of a surface point, blocked by the
// models, so a shadowed side shows its shape and colour and settles like the penumbra; a moving
// frame takes SkyIrradiance instead, the light of a sky above the floor as the preview shows it
// (OpenGL's ambient light and a second light straight from above). Without a sky light a
// described surface gets the ambient light of the fixed-function preview.

#include "math/vector.h"

namespace RAYTR {

using ORVA_MATH::VECTOR;

struct SkyDome;
class Scene;

// The preview's ambient light on a surface when there is no sky light (OpenGL's default global
// ambient, which the preview keeps), and the preview light's own ambient part (scaled by its
// attenuation, as OpenGL does for a positional light). The tracer lights described materials
// with the same two, so a shadow shows what the preview shows without the light.
inline constexpr float kSceneAmbient = 0.2f;
inline constexpr float kLightAmbient = 0.1f;

struct SceneLighting {
    float skyLight = 0.0f;                    // strength; 0: off
    // What an upward surface under the open sky receives (irradiance over pi: the cosine-weighted
    // mean of SkyRadiance over the upper hemisphere), red, blue, green.
    VECTOR skyUp{0.0f, 0.0f, 0.0f, 0.0f};
    // The mean colour a mirror shows of the sky, over the sphere (the dome's, or the sky
    // light's without one; black without either): the preview's stand-in for reflections.
    VECTOR environment{0.0f, 0.0f, 0.0f, 0.0f};
    bool seeThrough = false;                  // some traced material lets rays through
    bool described = false;                   // some traced material is described (mesh/material.h)
};

// The sky's radiance toward direction d (any length) for a sky light of the given strength:
// strength times the dome's texel in that direction (red, blue, green), or times white.
VECTOR SkyRadiance(const SkyDome& sky, float strength, const VECTOR& d);

// The share of the preview's lit colour at a surface point that light 0's direct light gives
// (OpenGL's diffuse term over ambient plus diffuse, as the preview lights a point with unit
// normal n facing the eye): what a shadow takes away, so that a shadowed pixel keeps the
// preview's ambient part. 0 where the surface faces away from the light (the preview has
// already darkened it) or the scene has no light.
float DirectShare(const Scene& scene, const VECTOR& position, const VECTOR& normal);

// The sky light's irradiance (over pi) at a surface of unit normal n, unblocked, as a sky
// above an opaque floor gives it: skyUp (1 + n.y) / 2 for an upward-turned surface, skyUp / 2
// for any surface facing down (the floor's own light, which the sky light does not trace, is
// left to that half). The preview's hemisphere lighting is the same function.
VECTOR SkyIrradiance(const SceneLighting& lighting, const VECTOR& n);

// Sets scene.lighting: the sky light's strength and mean (from the scene's sky, so set the
// sky first) and whether any object that rays meet has a see-through material.
void PrepareLighting(Scene& scene, float skyLight);

}  // namespace RAYTR
