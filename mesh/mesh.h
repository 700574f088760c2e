#pragma once
// The mesh class chain: BaseMeshStruct holds the data and empty hooks, HAL_DEPENDENCE_MESH adds
// the graphics-layer drawing, MESH adds loading, transforming and bounding. Only the
// instantiation <4, float, OpenGL_HAL, Triangle> exists (see the alias Mesh below).

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loaders/texture.h"
#include "math/aligned.h"
#include "math/matrix.h"
#include "math/vector.h"
#include "mesh/material.h"
#include "mesh/vertex.h"
#include "mesh/opengl_hal.h"
#include "mesh/winding.h"

namespace ORVA_GRAPHICS {

// Data of a mesh and the five hooks every level keeps in the same virtual slots.
template <int N, class T, class TRI>
class BaseMeshStruct : public ORVA_MATH::SSE_Aligned_Object {
public:
    unsigned vertexCount = 0;
    unsigned indexCount = 0;  // always 3 * triangleCount
    unsigned triangleCount = 0;
    VERTEX* vertices = nullptr;
    VERTEX* transformedVertices = nullptr;  // null until the first MakeTransformedVertices
    TRI* triangles = nullptr;
    unsigned* indices = nullptr;            // three per triangle, in triangle order
    VECTOR sphereCentre{0.0f, 0.0f, 0.0f, 1.0f};
    float sphereRadius = 0.0f;
    float sphereRadiusSquared = 0.0f;
    BoxTransform box;
    std::vector<TEXTURE> textures;
    // At least one material. Fixed materials: material 0 alone, texture record 0, no batches
    // (the renderer binds record 0 and draws the whole mesh). Materials from the file: the
    // triangles sorted by material, one material index per triangle and one batch per run.
    std::vector<Material> materials;
    std::vector<std::uint32_t> triangleMaterials;  // empty: every triangle has material 0
    std::vector<MaterialBatch> batches;

    virtual void Reserved0() {}
    virtual void DrawLines() {}
    virtual void Reserved2() {}
    virtual void Reserved3() {}
    virtual void LoadFrom3DS(std::string) {}
    virtual ~BaseMeshStruct() = default;
};

template <int N, class T, class HAL, class TRI>
class HAL_DEPENDENCE_MESH;

// The OpenGL drawing level.
template <int N, class T, class TRI>
class HAL_DEPENDENCE_MESH<N, T, OpenGL_HAL, TRI> : public BaseMeshStruct<N, T, TRI> {
public:
    // Index pairs as GL_LINES with the transposed transform multiplied onto the model view.
    void DrawLines() override;
    // No graphics-layer implementation exists; nothing calls it.
    void Reserved2() override { throw 0; }
};

template <int N, class T, class HAL, class TRI>
class MESH : public HAL_DEPENDENCE_MESH<N, T, HAL, TRI> {
    using Base = HAL_DEPENDENCE_MESH<N, T, HAL, TRI>;

public:
    using Base::batches;
    using Base::box;
    using Base::materials;
    using Base::triangleMaterials;
    using Base::indexCount;
    using Base::indices;
    using Base::sphereCentre;
    using Base::sphereRadius;
    using Base::sphereRadiusSquared;
    using Base::textures;
    using Base::transformedVertices;
    using Base::triangleCount;
    using Base::triangles;
    using Base::vertexCount;
    using Base::vertices;

    // Null arrays, zero counts, identity matrices, exactly one default texture record and the
    // fixed material over it.
    MESH();
    // Deep copies: arrays copied, triangle corners re-pointed into the copy's own vertices,
    // textures copied by their own rule. Self-assignment does nothing.
    MESH(const MESH& other);
    MESH& operator=(const MESH& other);

    // Builds the mesh from the first mesh of a 3DS file; throws L3DS_Error when the file cannot
    // be loaded, holds no mesh, its first mesh has no vertices or a face index is out of range.
    void LoadFrom3DS(std::string fileName) override;
    ~MESH() override;
    // transform = M about the box midpoint; inverse and transposes re-derived.
    virtual void SetTransform(MATRIX M);
    // position and normal (all four lanes) times M, in place.
    virtual void TransformVertices(MATRIX M);
    // GL_TRIANGLES from vertex arrays, transform multiplied onto the model view.
    virtual void Draw();
    void DrawLines() override { Base::DrawLines(); }
    virtual void ApplyOwnTransform();
    virtual void MakeTransformedVertices(MATRIX M);
    virtual void Reserved12(const void*) {}
    virtual void ComputeBoundingSphere();
    virtual void ComputeBoundingBox();
    virtual void ComputeFlatNormals();
    // Replaces the vertex, index and triangle arrays (triangle corners become null).
    virtual void Allocate(unsigned nv, unsigned ni, unsigned nt);

    // Reads the image into texture record index and uploads it: a .bmp file by LoadBMP, any
    // other image file by its decoder (LOAD_3DS::LoadTextureFile, whose errors it throws); throws
    // Error "Out of Range in MESH::AssignTexture" when there is no such record.
    void AssignTexture(std::string fileName, unsigned index);

    // How the faces close a surface (mesh/winding.h) as the model's load found it, so that the
    // preview need not find it again; empty where no load found it, or since the arrays changed
    // (Allocate, TransformVertices, a new load). Code that moves positions or corners in place
    // must empty it.
    std::optional<Closure> closure;

    // Exchanges everything with other (arrays by pointer, so the triangles keep pointing at
    // the vertices they pointed at, and a grid over the triangles may go along with them).
    void SwapWith(MESH& other);

    // The material of a triangle of this mesh (null for a pointer outside its triangles).
    const Material* MaterialOf(const TRI* triangle) const {
        if (!triangle || !triangles || triangle < triangles || triangle >= triangles + triangleCount) return nullptr;
        const std::size_t t = std::size_t(triangle - triangles);
        const std::size_t m = t < triangleMaterials.size() ? triangleMaterials[t] : 0u;
        return m < materials.size() ? &materials[m] : nullptr;
    }
    // Points every material's image at its texture record (null where it names none or a
    // record that does not exist). Called after the materials or the records change.
    void BindMaterialImages();
    // Back to the one fixed material over texture record 0, without batches.
    void UseFixedMaterial();
    // Uploads the texture records that have pixels and were never uploaded. Needs a GL context.
    void UploadNewTextures();
    // The batch's triangles as GL_TRIANGLES, the transform multiplied onto the model view (the
    // caller sets colour and texture).
    void DrawBatch(const MaterialBatch& batch);

private:
    void FreeArrays();
    void CopyFrom(const MESH& other);

    unsigned transformedCount = 0;  // records in transformedVertices
};

extern template class HAL_DEPENDENCE_MESH<4, float, OpenGL_HAL, Triangle>;
extern template class MESH<4, float, OpenGL_HAL, Triangle>;

// Sets the four matrices of a box record from M acting about the record's box midpoint.
void DeriveBoxMatrices(BoxTransform& record, const MATRIX& M);

using Mesh = MESH<4, float, OpenGL_HAL, Triangle>;

}  // namespace ORVA_GRAPHICS

using Mesh = ORVA_GRAPHICS::Mesh;
