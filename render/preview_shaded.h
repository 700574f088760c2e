#pragma once
// The preview of models in their own materials (Material::described) drawn per pixel with the
// tracer's shading (raytracer/shading.cpp, raytracer/bsdf.h): Lambert diffuse weighted by what
// the coat lets through, a GGX coat with Schlick's Fresnel (the base colour for a metal), the
// material's maps (base colour, metal-roughness, specular, emission, opacity), the point light
// with the tracer's attenuation and ambient part, and the sky light: its irradiance as nine
// spherical-harmonic coefficients and its radiance, prefiltered by roughness, for what the coat
// and the mirror share reflect. What the light gives directly is what the hybrid mask's shadow
// takes away; reflections of the models themselves are left to the traced image.
//
// Made by the renderer at AttachScene with its GL context current; materials that are not
// described keep the fixed-function preview. A program that does not compile or link leaves
// Ready() false and says why in Note(): the renderer then draws every model fixed-function.

#include <GL/gl.h>

#include <functional>
#include <string>
#include <vector>

#include "math/matrix.h"
#include "math/vector.h"

namespace RAYTR {
class Scene;
class TObject;
}  // namespace RAYTR

namespace ORVA_GRAPHICS {

struct Material;

// The sky light's irradiance over pi, 9 coefficients (red, green, blue each) of the real
// spherical harmonics up to order 2, already convolved with the clamped cosine: the irradiance
// over pi at unit normal n is the sum over k of coefficients[k] * basis_k(n) (IrradianceSH).
struct SkyHarmonics {
    float coefficients[9][3] = {};
};

// Projects radiance(direction) -> red, green, blue over the sphere (a grid of equal-area cells)
// and convolves with the cosine lobe. Directions below the horizon (y < 0) count times
// belowHorizon: the share of them that a floor under the models leaves open in the traced image.
SkyHarmonics ProjectSky(const std::function<void(const float direction[3], float rgb[3])>& radiance, float belowHorizon);

// The share of directions below the horizon, seen from the scene's target (where the camera
// looks: the models), that meet no traced surface: 0 over a floor, 1 with nothing below.
float OpenBelow(const RAYTR::Scene& scene);
// The irradiance over pi at unit normal (x, y, z), red, green, blue.
void IrradianceSH(const SkyHarmonics& sh, float x, float y, float z, float rgb[3]);

// The mean weight of the tracer's GGX sample (Microfacet::Sample: F(wo.h) G1(wi)) for a coat of
// the given roughness seen at cos(theta_o) = nv, split as f0 * a + f90 * b (Schlick's Fresnel is
// linear in f0 and f90): the share of the sky the coat shows in one colour.
void CoatAlbedo(float roughness, float nv, float& a, float& b);

class ShadedPreview {
public:
    static constexpr int kSkyLevels = 4;  // prefiltered sky at roughness 0, 1/3, 2/3, 1
    static constexpr int kSkyWidth = 128, kSkyHeight = 64;
    static constexpr int kLutSize = 32;  // CoatAlbedo table: nv by roughness

    ShadedPreview() = default;
    ~ShadedPreview();
    ShadedPreview(const ShadedPreview&) = delete;
    ShadedPreview& operator=(const ShadedPreview&) = delete;

    // Compiles the program (once) and makes the sky's harmonics and prefiltered sky for the
    // scene. Needs the GL context current.
    void Prepare(const RAYTR::Scene& scene);
    bool Ready() const { return program_ != 0; }
    // Why the program is not ready (empty when it is).
    const std::string& Note() const { return note_; }

    // The frame's light, eye and sky (world coordinates: the models' frame before the view
    // rotation), and the sky's textures bound to their units. Leaves the program off.
    void Begin(const RAYTR::Scene& scene);
    // The program on, with the object's frame for the draws of its batches that follow.
    void UseFor(const RAYTR::TObject& object);
    // The material's parameters and maps (the program on); translucent draws it with its
    // opacity as alpha. Leaves texture unit 0 active.
    void SetMaterial(const Material& m, bool translucent);
    // Back to the fixed-function pipeline.
    void End();

private:
    GLuint program_ = 0;
    GLuint skyTexture_ = 0;  // GL_TEXTURE_2D_ARRAY, kSkyLevels layers of RGB floats
    GLuint lutTexture_ = 0;  // GL_TEXTURE_2D, CoatAlbedo's (a, b)
    bool compiled_ = false;
    std::string note_;
    SkyHarmonics sh_;
    float skyStrength_ = 0.0f;  // multiplies the prefiltered sky (0: a black sky)
    struct Locations {
        GLint world = -1, normalToWorld = -1, eye = -1, lightPosition = -1, lightColour = -1, attenuation = -1,
              hasLight = -1, sh = -1, skyLight = -1, ambient = -1, skyStrength = -1, colour = -1, specular = -1,
              emission = -1, roughness = -1, metallic = -1, mirror = -1, reflectsScene = -1, maps = -1, opacity = -1,
              cutoff = -1, translucent = -1;
    } at_;
    void Compile();
    void MakeSky(const RAYTR::Scene& scene);
    void MakeCoatTable();
};

}  // namespace ORVA_GRAPHICS
