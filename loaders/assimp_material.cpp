#include "loaders/assimp_material.h"

#include <assimp/GltfMaterial.h>
#include <assimp/ObjMaterial.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "loaders/image.h"

namespace LOAD_3DS {

namespace {

float Unit(float v, float fallback) { return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : fallback; }

bool ReadColour(const aiMaterial& m, const char* key, unsigned type, unsigned index, float out[3]) {
    aiColor4D c;
    if (m.Get(key, type, index, c) != AI_SUCCESS) return false;
    out[0] = Unit(c.r, 0.0f);
    out[1] = Unit(c.g, 0.0f);
    out[2] = Unit(c.b, 0.0f);
    return true;
}

bool ReadFloat(const aiMaterial& m, const char* key, unsigned type, unsigned index, float& out) {
    float v;
    if (m.Get(key, type, index, v) != AI_SUCCESS || !std::isfinite(v)) return false;
    out = v;
    return true;
}

// The texture of the given kind, if the material names one.
bool Map(const aiScene& scene, const aiMaterial& m, aiTextureType type, unsigned index, FileTexture& out) {
    aiString path;
    if (m.GetTexture(type, index, &path) != AI_SUCCESS || path.length == 0) return false;
    out = TextureOf(scene, path);
    return true;
}

float Strongest(const float c[3]) { return std::max({c[0], c[1], c[2]}); }

}  // namespace

FileTexture TextureOf(const aiScene& scene, const aiString& path) {
    FileTexture out;
    out.texture = path.C_Str();
    if (const aiTexture* t = scene.GetEmbeddedTexture(path.C_Str()); t && t->pcData) {
        if (t->mHeight == 0) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(t->pcData);
            out.embedded.assign(bytes, bytes + t->mWidth);
        } else if (t->mWidth <= unsigned(kMaxImageSide) && t->mHeight <= unsigned(kMaxImageSide) &&
                   (long long)t->mWidth * t->mHeight <= kMaxImagePixels) {
            // Raw texels, under the same size limit as any image file (a larger one is left
            // out, and its material keeps its colour).
            out.embeddedWidth = int(t->mWidth);
            out.embeddedHeight = int(t->mHeight);
            out.embedded.resize(std::size_t(t->mWidth) * t->mHeight * 3);
            for (std::size_t i = 0; i < std::size_t(t->mWidth) * t->mHeight; ++i) {
                out.embedded[3 * i] = t->pcData[i].r;
                out.embedded[3 * i + 1] = t->pcData[i].g;
                out.embedded[3 * i + 2] = t->pcData[i].b;
            }
        }
        if (out.texture.empty() || out.texture[0] == '*') out.texture = "embedded image " + out.texture;
    }
    return out;
}

void ReadReflection(const aiScene& scene, const aiMaterial& m, FileMaterial& out) {
    int twoSided = 0;
    if (m.Get(AI_MATKEY_TWOSIDED, twoSided) == AI_SUCCESS) out.twoSided = twoSided != 0;
    ReadColour(m, AI_MATKEY_COLOR_EMISSIVE, out.emission);
    Map(scene, m, aiTextureType_EMISSIVE, 0, out.maps[3]);
    float metallic = 0.0f, roughness = 0.0f;
    const bool hasMetallic = ReadFloat(m, AI_MATKEY_METALLIC_FACTOR, metallic);
    const bool hasRoughness = ReadFloat(m, AI_MATKEY_ROUGHNESS_FACTOR, roughness);
    if (hasMetallic || hasRoughness) {
        // Metallic-roughness: a 4% coat over the base colour, or the base colour as the coat.
        out.metallic = hasMetallic ? Unit(metallic, 0.0f) : 0.0f;
        out.roughness = hasRoughness ? Unit(roughness, 1.0f) : 1.0f;
        out.specular[0] = out.specular[1] = out.specular[2] = 0.04f;
        out.reflectsScene = true;
        Map(scene, m, AI_MATKEY_GLTF_PBRMETALLICROUGHNESS_METALLICROUGHNESS_TEXTURE, out.maps[1]);
        aiString mode;
        if (m.Get(AI_MATKEY_GLTF_ALPHAMODE, mode) == AI_SUCCESS) {
            const std::string alphaMode = mode.C_Str();
            float cutoff = 0.5f;
            ReadFloat(m, AI_MATKEY_GLTF_ALPHACUTOFF, cutoff);
            aiColor4D base;
            const float alpha = m.Get(AI_MATKEY_BASE_COLOR, base) == AI_SUCCESS ? Unit(base.a, 1.0f) : 1.0f;
            if (alphaMode == "MASK") {
                out.baseAlpha = true;
                out.opacity = alpha;
                out.alphaCutoff = Unit(cutoff, 0.5f);
            } else if (alphaMode == "BLEND") {
                out.baseAlpha = true;
                out.opacity = alpha;
            }
        }
        return;
    }
    // A highlight of the light: colour times strength, the exponent for its width.
    float specular[3] = {0.0f, 0.0f, 0.0f};
    float shininess = 0.0f, strength = 1.0f;
    const bool hasSpecular = ReadColour(m, AI_MATKEY_COLOR_SPECULAR, specular);
    ReadFloat(m, AI_MATKEY_SHININESS, shininess);
    ReadFloat(m, AI_MATKEY_SHININESS_STRENGTH, strength);
    if (hasSpecular && shininess > 0.0f) SetPhongHighlight(out, specular, std::clamp(strength, 0.0f, 100.0f), shininess);
    Map(scene, m, aiTextureType_SPECULAR, 0, out.maps[0]);
    // A mirror: MTL illum 3 and up reflects by the specular colour; other formats by their
    // reflectivity where a reflective colour is given.
    int illum = 0;
    float reflective[3] = {0.0f, 0.0f, 0.0f}, reflectivity = 0.0f;
    if (m.Get(AI_MATKEY_OBJ_ILLUM, illum) == AI_SUCCESS) {
        if (illum >= 3 && hasSpecular) out.mirror = Strongest(specular);
    } else if (ReadColour(m, AI_MATKEY_COLOR_REFLECTIVE, reflective) && ReadFloat(m, AI_MATKEY_REFLECTIVITY, reflectivity)) {
        out.mirror = Unit(reflectivity * Strongest(reflective), 0.0f);
    }
    // Opacity (MTL d, or 1 - Tr as assimp reads it) and its texture. A material that lets
    // everything through without a texture saying where is an exporter's slip (some write
    // "d 0" or "Tr 1" for opaque): it stays opaque.
    const bool opacityMap = Map(scene, m, aiTextureType_OPACITY, 0, out.maps[2]);
    float opacity = 1.0f;
    if (ReadFloat(m, AI_MATKEY_OPACITY, opacity) && (opacity > 0.0f || opacityMap)) out.opacity = Unit(opacity, 1.0f);
}

}  // namespace LOAD_3DS
