#pragma once
// What a triangle's surface is made of: a diffuse colour and, where the model file names one, a
// diffuse texture laid on with the vertices' mapping coordinates; and, for materials taken from
// a model file, how the surface reflects (raytracer/bsdf.h): a specular colour and roughness, a
// metallic share, a mirror share, opacity and emission, each with its own texture where the
// format has one. Every mesh has at least one material; each triangle names one
// (MESH::triangleMaterials), and the preview draws a mesh in one batch per material
// (MESH::batches), so the preview and the tracer take the same colour.

#include <cstdint>
#include <string>

#include "loaders/file_material.h"

class TEXTURE;

namespace ORVA_GRAPHICS {

// Textures of a material besides the base colour's. Each is a mesh texture record read as
// the format means it.
enum MaterialMap : int {
    kSpecularMap = 0,  // multiplies the specular colour (OBJ map_Ks, a specular texture)
    kMetalRoughMap,    // glTF metallic-roughness: green multiplies roughness, blue metallic
    kOpacityMap,       // red channel multiplies opacity (OBJ map_d, the base colour's alpha)
    kEmissionMap,      // multiplies the emissive colour
    kMapCount
};

struct Material : LOAD_3DS::SurfaceReflection {
    std::string name;
    // Red, green, blue in 0..1: the surface colour where the material has no texture.
    float diffuse[3] = {1.0f, 1.0f, 1.0f};
    // Multiplies the texture's colour (a glTF base colour factor); white leaves it as it is.
    float tint[3] = {1.0f, 1.0f, 1.0f};
    // Index of the mesh's texture record, -1 for none.
    int texture = -1;
    // &mesh.textures[texture] (null for none), kept by the mesh through loads and copies so
    // that the tracer reaches the image from the triangle alone.
    const TEXTURE* image = nullptr;

    // false: the fixed shading of the scene's own models (0.6 of the local light plus 0.4 of a
    // mirror bounce, the 0.8 weights, a highlight of exponent 10). true: shaded as described
    // below. Materials read from a model file are described; the fixed texture is not.
    bool described = false;
    // How the surface reflects (the fields of LOAD_3DS::SurfaceReflection, inherited):
    // - specular: reflectance at normal incidence of the surface's dielectric coat (Schlick's
    //   F0), red, green, blue: the colour and strength of the highlight; 0.04 is plastic, paint
    //   or stone.
    // - roughness: microfacet roughness, 0 (a mirror-smooth coat) to 1 (no visible highlight);
    //   the GGX width is its square.
    // - metallic: 0 a dielectric, 1 a metal: the base colour becomes the reflectance and
    //   nothing is diffuse.
    // - reflectsScene: the coat also reflects the scene (a sampled bounce), not only the light:
    //   glTF's metal-rough materials do; the highlight-only formats (MTL, 3DS, Collada) reflect
    //   through mirror.
    // - mirror: share reflected as by a perfect mirror, on top of the coat (MTL illum 3 and up,
    //   a 3DS reflection map's amount, a reflectivity key), 0..1.
    // - opacity: 1 opaque, 0 not there: rays pass through a surface as often as 1 - opacity over
    //   the settling passes (cut-outs of 0 and 1 pass or stop every ray); a moving frame lets
    //   them through below alphaCutoff.
    // - emission: light the surface gives off itself, red, green, blue (added, unlit).
    // - twoSided: both faces are seen and lit (glTF doubleSided); the mesh carries a turned copy
    //   of its triangles (mesh/winding.h), so nothing else needs to know.
    // Texture records of the maps, -1 for none, and their images as for texture.
    int maps[kMapCount] = {-1, -1, -1, -1};
    const TEXTURE* mapImages[kMapCount] = {nullptr, nullptr, nullptr, nullptr};

    bool Tinted() const { return tint[0] != 1.0f || tint[1] != 1.0f || tint[2] != 1.0f; }
    // Rays may pass through some of the surface.
    bool SeeThrough() const { return described && (opacity < 1.0f || maps[kOpacityMap] >= 0); }
    bool Emits() const { return emission[0] > 0.0f || emission[1] > 0.0f || emission[2] > 0.0f; }
};

// A run of triangles of one material, for the preview's draw calls.
struct MaterialBatch {
    std::uint32_t material = 0;
    std::uint32_t firstTriangle = 0;
    std::uint32_t triangleCount = 0;
};

}  // namespace ORVA_GRAPHICS
