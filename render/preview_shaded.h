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

class ShadedPreview {
public:
    // The prefiltered sky: a cube map of kSkyFace texels a side whose level k (a side of
    // kSkyFace >> k) is the sky seen through roughness k / (kSkyLevels - 1).
    static constexpr int kSkyLevels = 6, kSkyFace = 32;
    static constexpr int kLutSize = 32;  // the coat's albedo terms: cosine by roughness

    ShadedPreview() = default;
    ~ShadedPreview();
    ShadedPreview(const ShadedPreview&) = delete;
    ShadedPreview& operator=(const ShadedPreview&) = delete;

    // Compiles the programs the scene's materials need (once each) and makes the sky's
    // harmonics and prefiltered sky for the scene. Needs the GL context current.
    void Prepare(const RAYTR::Scene& scene);
    bool Ready() const { return ready_; }
    // Why the programs are not ready (empty when they are).
    const std::string& Note() const { return note_; }

    // The frame's light, eye and sky (world coordinates: the models' frame before the view
    // rotation) in every program, and the sky's textures bound to their units. Leaves the
    // programs off.
    void Begin(const RAYTR::Scene& scene, int viewHeight);
    // The material's program on, with the object's frame, the material's parameters and maps
    // (translucent: its opacity as alpha); texture unit 0 left active. False, and nothing
    // changed, when the material has no program (it is then drawn fixed-function).
    bool Use(const RAYTR::TObject& object, unsigned index, const Material& m, bool translucent);
    // Object `index` of the scene is shaded per vertex this frame: seen from the eye its triangles
    // cover fewer than kDensePixels pixels each (on average, by its bounding sphere).
    bool Dense(const RAYTR::TObject& object, unsigned index) const;
    static constexpr float kDensePixels = 6.0f;
    // Back to the fixed-function pipeline.
    void End();

    // The program features a material needs: its maps, what it reflects, its blending.
    enum Feature : unsigned {
        kBaseMapFeature = 1,
        kMetalRoughFeature = 2,
        kSpecularFeature = 4,
        kEmissionFeature = 8,
        kOpacityFeature = 16,
        kCoatReflectsFeature = 32,
        kMirrorFeature = 64,
        kTranslucentFeature = 128,
        kPerVertexFeature = 256,
        kAllFeatures = 511
    };
    static unsigned FeaturesOf(const Material& m, bool translucent);

private:
    struct Locations {
        GLint world = -1, normalToWorld = -1, eye = -1, lightPosition = -1, lightColour = -1, attenuation = -1, sh = -1,
              ambient = -1, skyStrength = -1, colour = -1, specular = -1, emission = -1, roughness = -1, metallic = -1,
              mirror = -1, opacity = -1, cutoff = -1;
    };
    struct Variant {
        unsigned features = 0;
        GLuint program = 0;  // 0: did not compile
        Locations at;
    };
    std::vector<Variant> variants_;  // made at Prepare only: a frame allocates nothing
    bool ready_ = false;
    GLuint skyTexture_ = 0;  // GL_TEXTURE_CUBE_MAP, kSkyLevels levels of RGB floats
    GLuint lutTexture_ = 0;  // GL_TEXTURE_2D: the coat's albedo terms a, b and their means
    std::string note_;
    std::vector<float> bounds_;  // per object: centre x, y, z and radius in its own frame
    float eye_[3] = {0.0f, 0.0f, 0.0f};
    float pixelsPerUnit_ = 1.0f;  // at unit distance
    SkyHarmonics sh_;
    float skyStrength_ = 0.0f;  // multiplies the prefiltered sky (0: a black sky)
    static GLuint Compile(unsigned features, std::string& error);
    void AddVariant(unsigned features);
    Variant* Find(unsigned features);
    void MakeSky(const RAYTR::Scene& scene);
    void MakeCoatTable();
};

}  // namespace ORVA_GRAPHICS
