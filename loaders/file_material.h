#pragma once
// A material as a model file gives it, before its texture files are looked up: the plain record
// that both the 3DS reader and the import of the other formats fill. The fields beyond the
// colour and texture say how the surface reflects; their meaning is that of
// ORVA_GRAPHICS::Material (mesh/material.h), which the load makes of this record.

#include <cmath>
#include <string>
#include <vector>

#include "math/highlight_width.h"

namespace LOAD_3DS {

// The colour of a surface whose file gives it none (a light clay, on which shading and shadows
// read clearly): red, green, blue in 0..1.
inline constexpr float kClayColour[3] = {214.0f / 255.0f, 196.0f / 255.0f, 170.0f / 255.0f};

// A texture as the file names it (a path of the author's machine, or a name for an embedded
// image; empty for none), or an image held inside the model file: its encoded bytes (PNG,
// JPEG, ...), or its pixels as red, green, blue bytes, top row first, when embeddedWidth > 0.
struct FileTexture {
    std::string texture;
    std::vector<unsigned char> embedded;
    int embeddedWidth = 0;
    int embeddedHeight = 0;

    bool Empty() const { return texture.empty() && embedded.empty(); }
};

// The maps besides the base colour's, in the order of ORVA_GRAPHICS::MaterialMap.
inline constexpr int kFileMapCount = 4;

// How a surface reflects, as ORVA_GRAPHICS::Material (mesh/material.h) explains each field; the
// file's record and the mesh's material both carry it. The defaults are a matte surface:
// diffuse with a faint, broad highlight and no mirror.
struct SurfaceReflection {
    float specular[3] = {0.04f, 0.04f, 0.04f};
    float roughness = 0.6f;
    float metallic = 0.0f;
    bool reflectsScene = false;
    float mirror = 0.0f;
    float opacity = 1.0f;
    float alphaCutoff = 0.5f;
    float emission[3] = {0.0f, 0.0f, 0.0f};
    bool twoSided = false;
};

struct FileMaterial : SurfaceReflection {
    std::string name;
    float diffuse[3] = {kClayColour[0], kClayColour[1], kClayColour[2]};
    // Multiplies the texture (a glTF base colour factor); white for the formats whose texture
    // takes the place of the colour.
    float tint[3] = {1.0f, 1.0f, 1.0f};
    // The diffuse (base colour) texture as the file names it; empty for none.
    std::string texture;
    // An image held inside the model file, as FileTexture says.
    std::vector<unsigned char> embedded;
    int embeddedWidth = 0;
    int embeddedHeight = 0;
    // The base colour texture's alpha channel is the opacity (glTF alphaMode MASK or BLEND).
    bool baseAlpha = false;
    // Specular, metallic-roughness, opacity and emission textures.
    FileTexture maps[kFileMapCount];
};

// A highlight as the formats before metal-rough give it (MTL Ks and Ns, 3DS specular colour,
// strength and glossiness, Collada's specular and shininess): Phong's colour times strength
// with an exponent. Becomes the GGX coat of the same width (alpha^2 = 2 / (exponent + 2), the
// Blinn-Phong equivalent) and the same peak seen along the normal (F0 / (4 alpha^2) = colour
// times strength), as math/highlight_width.h converts them: a highlight of the light only (no
// reflection of the scene). A strength or colour of 0 leaves no highlight; an exponent below 1
// counts as 1.
inline void SetPhongHighlight(FileMaterial& m, const float colour[3], float strength, float exponent) {
    if (!(strength >= 0.0f)) strength = 0.0f;
    const float alpha2 = ORVA_MATH::PhongExponentAlpha2(exponent);
    m.roughness = ORVA_MATH::RoughnessOfPhongExponent(exponent);
    for (int k = 0; k < 3; ++k) {
        const float c = colour[k] >= 0.0f ? colour[k] : 0.0f;  // NaN reads 0
        m.specular[k] = std::fmin(1.0f, 4.0f * alpha2 * c * strength);
    }
    m.reflectsScene = false;
}

}  // namespace LOAD_3DS
