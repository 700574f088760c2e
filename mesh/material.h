#pragma once
// What a triangle's surface is made of: a diffuse colour and, where the model file names one, a
// diffuse texture laid on with the vertices' mapping coordinates. Every mesh has at least one
// material; each triangle names one (MESH::triangleMaterials), and the preview draws a mesh in
// one batch per material (MESH::batches), so the preview and the tracer take the same colour.

#include <cstdint>
#include <string>

class TEXTURE;

namespace ORVA_GRAPHICS {

struct Material {
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

    bool Tinted() const { return tint[0] != 1.0f || tint[1] != 1.0f || tint[2] != 1.0f; }
};

// A run of triangles of one material, for the preview's draw calls.
struct MaterialBatch {
    std::uint32_t material = 0;
    std::uint32_t firstTriangle = 0;
    std::uint32_t triangleCount = 0;
};

}  // namespace ORVA_GRAPHICS
