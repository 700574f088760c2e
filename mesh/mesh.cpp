#include "mesh/mesh.h"

#include <GL/gl.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "errors/errors.h"
#include "loaders/image_decode.h"
#include "loaders/l3ds.h"

namespace ORVA_GRAPHICS {

void DeriveBoxMatrices(BoxTransform& record, const MATRIX& M) {
    // 1. Pivot c = box midpoint (all four lanes, so w stays 1).
    const VECTOR c = ORVA_MATH::Midpoint(record.minimum, record.maximum);
    // 2. T translates by c, S = T^-1 by -c.
    MATRIX T = MATRIX::Identity();
    T.SetTranslation(c);
    const MATRIX S = T.Inverted();
    // 3. Row vectors: v -> (v - c) M + c.
    record.transform = S * M * T;
    // 4. Inverse and the transposes.
    record.inverse = record.transform.Inverted();
    record.transposed = record.transform.Transposed();
    record.transposedInverse = record.inverse.Transposed();
}

namespace {

// The three client arrays over the interleaved vertices, 48 bytes apart.
void EnableVertexArrays(const VERTEX* vertices) {
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    const char* base = reinterpret_cast<const char*>(vertices);
    glVertexPointer(3, GL_FLOAT, sizeof(VERTEX), base);
    glNormalPointer(GL_FLOAT, sizeof(VERTEX), vertices ? base + offsetof(VERTEX, normal) : nullptr);
    glTexCoordPointer(2, GL_FLOAT, sizeof(VERTEX), vertices ? base + offsetof(VERTEX, u) : nullptr);
}

void DisableVertexArrays() {
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
}

// Whether p points at a record of the array [first, first + n).
bool Inside(const VERTEX* p, const VERTEX* first, unsigned n) {
    const std::less_equal<const VERTEX*> le;
    const std::less<const VERTEX*> lt;
    return p && first && le(first, p) && lt(p, first + n);
}

}  // namespace

template <int N, class T, class TRI>
void HAL_DEPENDENCE_MESH<N, T, OpenGL_HAL, TRI>::DrawLines() {
    EnableVertexArrays(this->vertices);
    glPushMatrix();
    const MATRIX transposed = this->box.transform.Transposed();
    glMultMatrixf(transposed.m);
    glDrawElements(GL_LINES, GLsizei(this->indexCount), GL_UNSIGNED_INT, this->indices);
    glPopMatrix();
    DisableVertexArrays();
}

template <int N, class T, class HAL, class TRI>
MESH<N, T, HAL, TRI>::MESH() {
    textures.resize(1);
    UseFixedMaterial();
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::UseFixedMaterial() {
    Material fixed;
    fixed.texture = 0;
    materials.assign(1, fixed);
    triangleMaterials.clear();
    batches.clear();
    BindMaterialImages();
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::BindMaterialImages() {
    const auto record = [this](int index) -> const TEXTURE* {
        return index >= 0 && std::size_t(index) < textures.size() ? &textures[std::size_t(index)] : nullptr;
    };
    for (Material& m : materials) {
        m.image = record(m.texture);
        for (int k = 0; k < kMapCount; ++k) m.mapImages[k] = record(m.maps[k]);
    }
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::UploadNewTextures() {
    for (TEXTURE& t : textures)
        if (t.pixels && t.firstUpload) t.Upload();
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::DrawBatch(const MaterialBatch& batch) {
    if (std::uint64_t(batch.firstTriangle) + batch.triangleCount > triangleCount || !indices) return;
    EnableVertexArrays(vertices);
    glPushMatrix();
    glMultMatrixf(box.transform.m);
    glDrawElements(GL_TRIANGLES, GLsizei(3 * batch.triangleCount), GL_UNSIGNED_INT, indices + 3 * std::size_t(batch.firstTriangle));
    glPopMatrix();
    DisableVertexArrays();
}

template <int N, class T, class HAL, class TRI>
MESH<N, T, HAL, TRI>::MESH(const MESH& other) : Base() {
    CopyFrom(other);
}

template <int N, class T, class HAL, class TRI>
MESH<N, T, HAL, TRI>& MESH<N, T, HAL, TRI>::operator=(const MESH& other) {
    if (this != &other) CopyFrom(other);
    return *this;
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::CopyFrom(const MESH& o) {
    // Everything is allocated before anything of this mesh is released.
    std::unique_ptr<VERTEX[]> v(o.vertices ? new VERTEX[o.vertexCount] : nullptr);
    std::unique_ptr<VERTEX[]> tv(o.transformedVertices ? new VERTEX[o.transformedCount] : nullptr);
    std::unique_ptr<TRI[]> t(o.triangles ? new TRI[o.triangleCount] : nullptr);
    std::unique_ptr<unsigned[]> ix(o.indices ? new unsigned[o.indexCount] : nullptr);
    std::vector<TEXTURE> tex = o.textures;
    std::vector<Material> mat = o.materials;
    std::vector<std::uint32_t> triMat = o.triangleMaterials;
    std::vector<MaterialBatch> bat = o.batches;
    if (v) std::copy(o.vertices, o.vertices + o.vertexCount, v.get());
    if (tv) std::copy(o.transformedVertices, o.transformedVertices + o.transformedCount, tv.get());
    if (ix) std::copy(o.indices, o.indices + o.indexCount, ix.get());
    // Corners are re-pointed into the copy's own vertex array.
    auto repoint = [&](VERTEX* p) -> VERTEX* {
        return Inside(p, o.vertices, o.vertexCount) ? v.get() + (p - o.vertices) : nullptr;
    };
    for (unsigned i = 0; t && i < o.triangleCount; ++i) {
        t[i].A = repoint(o.triangles[i].A);
        t[i].B = repoint(o.triangles[i].B);
        t[i].C = repoint(o.triangles[i].C);
    }
    FreeArrays();
    vertices = v.release();
    transformedVertices = tv.release();
    triangles = t.release();
    indices = ix.release();
    vertexCount = o.vertexCount;
    indexCount = o.indexCount;
    triangleCount = o.triangleCount;
    transformedCount = o.transformedCount;
    sphereCentre = o.sphereCentre;
    sphereRadius = o.sphereRadius;
    sphereRadiusSquared = o.sphereRadiusSquared;
    box = o.box;
    textures = std::move(tex);
    materials = std::move(mat);
    triangleMaterials = std::move(triMat);
    batches = std::move(bat);
    closure = o.closure;
    BindMaterialImages();
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::SwapWith(MESH& o) {
    std::swap(this->vertexCount, o.vertexCount);
    std::swap(this->indexCount, o.indexCount);
    std::swap(this->triangleCount, o.triangleCount);
    std::swap(this->vertices, o.vertices);
    std::swap(this->transformedVertices, o.transformedVertices);
    std::swap(this->triangles, o.triangles);
    std::swap(this->indices, o.indices);
    std::swap(this->sphereCentre, o.sphereCentre);
    std::swap(this->sphereRadius, o.sphereRadius);
    std::swap(this->sphereRadiusSquared, o.sphereRadiusSquared);
    std::swap(this->box, o.box);
    this->textures.swap(o.textures);
    this->materials.swap(o.materials);
    this->triangleMaterials.swap(o.triangleMaterials);
    this->batches.swap(o.batches);
    std::swap(transformedCount, o.transformedCount);
    std::swap(closure, o.closure);
    // The vectors' records stay where they were, so the images stay bound.
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::FreeArrays() {
    delete[] vertices;
    delete[] transformedVertices;
    delete[] triangles;
    delete[] indices;
    vertices = transformedVertices = nullptr;
    triangles = nullptr;
    indices = nullptr;
    transformedCount = 0;
}

template <int N, class T, class HAL, class TRI>
MESH<N, T, HAL, TRI>::~MESH() {
    FreeArrays();
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::LoadFrom3DS(std::string fileName) {
    using TIRN_ERROR::L3DS_Error;
    // 1. Read and parse the file.
    LOAD_3DS::L3DS reader;
    if (!reader.LoadFromFile(fileName)) throw L3DS_Error("Can not load " + fileName);
    // 2. At least one mesh, and its first mesh must have vertices for the box to exist.
    if (reader.GetMeshCount() <= 0) throw L3DS_Error("There are no meshes in " + fileName);
    LOAD_3DS::LMesh& m = *reader.GetMesh(0);
    const int V = m.GetVertexCount();
    const int F = m.GetFaceCount();
    if (V <= 0) throw L3DS_Error("There are no vertices in " + fileName);
    // Every corner must name a vertex: the triangles point into the vertex array.
    for (int t = 0; t < F; ++t) {
        const LOAD_3DS::LFace f = m.GetFace(t);
        if (f.a < 0 || f.a >= V || f.b < 0 || f.b >= V || f.c < 0 || f.c >= V)
            throw L3DS_Error("Face index out of range in " + fileName);
    }
    // 3. Only the first mesh is used, under the fixed material.
    this->Allocate(unsigned(V), 3u * unsigned(F), unsigned(F));
    UseFixedMaterial();
    // 4. Positions, normals and mapping coordinates unchanged; w stays 1.
    for (int i = 0; i < V; ++i) {
        const LOAD_3DS::LPoint3 p = m.GetVertex(i);
        const LOAD_3DS::LPoint3 n = m.GetNormal(i);
        const LOAD_3DS::LUV uv = m.GetUV(i);
        VERTEX& out = vertices[i];
        out.position.x = p.x;
        out.position.y = p.y;
        out.position.z = p.z;
        out.normal.x = n.x;
        out.normal.y = n.y;
        out.normal.z = n.z;
        out.u = uv.u;
        out.v = uv.v;
    }
    // 5. Three indices per face; 6. corners point into the vertex array.
    for (int t = 0; t < F; ++t) {
        const LOAD_3DS::LFace f = m.GetFace(t);
        indices[3 * t] = unsigned(f.a);
        indices[3 * t + 1] = unsigned(f.b);
        indices[3 * t + 2] = unsigned(f.c);
        triangles[t].A = vertices + f.a;
        triangles[t].B = vertices + f.b;
        triangles[t].C = vertices + f.c;
    }
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::SetTransform(MATRIX M) {
    DeriveBoxMatrices(box, M);
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::TransformVertices(MATRIX M) {
    closure.reset();
    for (unsigned i = 0; i < vertexCount; ++i) {
        vertices[i].position = ORVA_MATH::Transform(vertices[i].position, M);
        vertices[i].normal = ORVA_MATH::Transform(vertices[i].normal, M);
    }
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::Draw() {
    EnableVertexArrays(vertices);
    glPushMatrix();
    glMultMatrixf(box.transform.m);
    glDrawElements(GL_TRIANGLES, GLsizei(indexCount), GL_UNSIGNED_INT, indices);
    glPopMatrix();
    DisableVertexArrays();
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::ApplyOwnTransform() {
    this->MakeTransformedVertices(box.transform);
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::MakeTransformedVertices(MATRIX M) {
    // The array follows the vertex count: a later Allocate must not leave it short.
    if (!transformedVertices || transformedCount != vertexCount) {
        delete[] transformedVertices;
        transformedVertices = nullptr;
        transformedCount = 0;
        transformedVertices = new VERTEX[vertexCount];
        transformedCount = vertexCount;
        for (unsigned i = 0; i < vertexCount; ++i) {
            transformedVertices[i].u = vertices[i].u;
            transformedVertices[i].v = vertices[i].v;
        }
    }
    for (unsigned i = 0; i < vertexCount; ++i) {
        transformedVertices[i].position = ORVA_MATH::Transform(vertices[i].position, M);
        transformedVertices[i].normal = ORVA_MATH::Transform(vertices[i].normal, M);
    }
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::ComputeBoundingSphere() {
    // 1. A box of (near) zero size is computed first.
    const VECTOR d = box.maximum - box.minimum;
    if (ORVA_MATH::LengthSquared(d) < 1e-5f) this->ComputeBoundingBox();
    // 2. Centre and radius from the box.
    sphereCentre = ORVA_MATH::Midpoint(box.minimum, box.maximum);
    sphereRadius = 0.5f * ORVA_MATH::Length(box.maximum - box.minimum);
    sphereRadiusSquared = sphereRadius * sphereRadius;
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::ComputeBoundingBox() {
    // 1. Start from vertex 0 (the origin for a mesh without vertices) and identity matrices.
    BoxTransform work;
    const VECTOR first = vertexCount > 0 && vertices ? vertices[0].position : VECTOR{0.0f, 0.0f, 0.0f, 1.0f};
    work.minimum = first;
    work.maximum = first;
    // 2. Matrices from the current transform, pivoting about vertex 0.
    DeriveBoxMatrices(work, box.transform);
    // 3. Grow lane by lane over the remaining vertices.
    for (unsigned i = 1; i < vertexCount; ++i) {
        const VECTOR& p = vertices[i].position;
        for (int k = 0; k < 4; ++k) {
            if (p[k] < work.minimum[k]) work.minimum[k] = p[k];
            if (p[k] > work.maximum[k]) work.maximum[k] = p[k];
        }
    }
    // 4. The working record replaces the box.
    box = work;
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::ComputeFlatNormals() {
    for (unsigned t = 0; t < triangleCount; ++t) {
        TRI& tri = triangles[t];
        if (!tri.A || !tri.B || !tri.C) continue;  // corners not made yet
        // n = (A - B) x (A - C), unit length, w = 0; a degenerate face gets the zero vector.
        VECTOR n = ORVA_MATH::Cross(tri.A->position - tri.B->position, tri.A->position - tri.C->position);
        const float length = ORVA_MATH::Length(n);
        n = length > 0.0f ? n / length : VECTOR{0.0f, 0.0f, 0.0f, 0.0f};
        tri.A->normal = n;
        tri.B->normal = n;
        tri.C->normal = n;
    }
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::Allocate(unsigned nv, unsigned ni, unsigned nt) {
    // New arrays first, so that a failed allocation leaves the mesh as it was.
    std::unique_ptr<VERTEX[]> v(new VERTEX[nv]);
    std::unique_ptr<unsigned[]> ix(new unsigned[ni]);
    std::unique_ptr<TRI[]> t(new TRI[nt]);
    delete[] vertices;
    delete[] indices;
    delete[] triangles;
    vertices = v.release();
    indices = ix.release();
    triangles = t.release();
    vertexCount = nv;
    indexCount = ni;
    triangleCount = nt;
    closure.reset();
    // Per-triangle data of the old arrays no longer applies: every triangle has material 0.
    triangleMaterials.clear();
    batches.clear();
}

template <int N, class T, class HAL, class TRI>
void MESH<N, T, HAL, TRI>::AssignTexture(std::string fileName, unsigned index) {
    if (textures.empty() || index >= textures.size()) throw TIRN_ERROR::Error("Out of Range in MESH::AssignTexture");
    LOAD_3DS::LoadTextureFile(textures[index], fileName);
    textures[index].Upload();
}

template class HAL_DEPENDENCE_MESH<4, float, OpenGL_HAL, Triangle>;
template class MESH<4, float, OpenGL_HAL, Triangle>;

}  // namespace ORVA_GRAPHICS
