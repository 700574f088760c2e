#pragma once
// The sky as a light (scene.sky_light) and the other scene-wide settings of described
// materials' shading (raytracer/bsdf.h).
//
// With a strength s > 0 the sky lights the scene: radiance s times the sky's colour in each
// direction (the dome's texture where the traced sky is a dome, white otherwise). Each settling
// pass adds one cosine-weighted direction over the hemisphere of a surface point, blocked by the
// models, so a shadowed side shows its shape and colour and settles like the penumbra; a moving
// frame takes the sky's mean, unblocked, which is also the preview's ambient light. Without a
// sky light a described surface gets the ambient light of the fixed-function preview.

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
    VECTOR skyMean{0.0f, 0.0f, 0.0f, 0.0f};   // strength times the sky's mean colour over the sphere
    bool seeThrough = false;                  // some traced material lets rays through
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

// Sets scene.lighting: the sky light's strength and mean (from the scene's sky, so set the
// sky first) and whether any object that rays meet has a see-through material.
void PrepareLighting(Scene& scene, float skyLight);

}  // namespace RAYTR
