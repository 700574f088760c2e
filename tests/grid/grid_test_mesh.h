#pragma once
// Small triangle meshes for the grid tests: vertex and triangle arrays with their box, and a
// brute-force reference for the ray query.

#include <algorithm>
#include <cmath>
#include <vector>

#include "grid/kernel.h"
#include "loaders/l3ds_writer.h"
#include "mesh/vertex.h"
#include "raytracer/ray.h"

namespace grid_test {

using ORVA_GRAPHICS::BoxTransform;
using ORVA_GRAPHICS::Triangle;
using ORVA_GRAPHICS::VERTEX;
using ORVA_MATH::VECTOR;

struct TestMesh {
    std::vector<VERTEX> vertices;
    std::vector<Triangle> triangles;
    BoxTransform box;

    // Reserve vertices before adding triangles: triangles point into the vertex array.
    int AddVertex(float x, float y, float z) {
        VERTEX v;
        v.position = VECTOR{x, y, z, 1.0f};
        vertices.push_back(v);
        return static_cast<int>(vertices.size()) - 1;
    }
    void AddTriangle(int a, int b, int c) {
        Triangle t;
        t.A = &vertices[a];
        t.B = &vertices[b];
        t.C = &vertices[c];
        triangles.push_back(t);
    }
    void ComputeBox() {
        VECTOR lo = vertices[0].position, hi = vertices[0].position;
        for (const VERTEX& v : vertices)
            for (int q = 0; q < 3; ++q) {
                lo[q] = std::min(lo[q], v.position[q]);
                hi[q] = std::max(hi[q], v.position[q]);
            }
        lo.w = hi.w = 1.0f;
        box.minimum = lo;
        box.maximum = hi;
    }
    int Count() const { return static_cast<int>(triangles.size()); }
};

// A closed UV sphere whose triangles face outward ((B - A) x (C - A) points away from the centre).
inline void MakeSphere(TestMesh& mesh, float radius, int rings, int segments, float cx = 0.0f, float cy = 0.0f,
                       float cz = 0.0f) {
    mesh.vertices.reserve(static_cast<size_t>((rings + 1) * segments + 2));
    const float pi = 3.14159265358979f;
    for (int r = 0; r <= rings; ++r) {
        const float theta = pi * static_cast<float>(r) / static_cast<float>(rings);
        for (int s = 0; s < segments; ++s) {
            const float phi = 2.0f * pi * static_cast<float>(s) / static_cast<float>(segments);
            mesh.AddVertex(cx + radius * std::sin(theta) * std::cos(phi), cy + radius * std::cos(theta),
                           cz + radius * std::sin(theta) * std::sin(phi));
        }
    }
    auto at = [&](int r, int s) { return r * segments + (s % segments); };
    for (int r = 0; r < rings; ++r)
        for (int s = 0; s < segments; ++s) {
            const int a = at(r, s), b = at(r, s + 1), c = at(r + 1, s), d = at(r + 1, s + 1);
            if (r != 0) mesh.AddTriangle(a, b, c);
            if (r != rings - 1) mesh.AddTriangle(b, d, c);
        }
    // Orient every triangle outward.
    const VECTOR centre{cx, cy, cz, 1.0f};
    for (Triangle& t : mesh.triangles) {
        const VECTOR n = ORVA_MATH::Cross(t.B->position - t.A->position, t.C->position - t.A->position);
        if (ORVA_MATH::Dot(n, t.A->position - centre) < 0.0f) std::swap(t.B, t.C);
    }
    mesh.ComputeBox();
}

// The triangles of a mesh made by the 3DS writer, in its face order.
inline void FromWriterMesh(const LOAD_3DS::WriterMesh& source, TestMesh& mesh) {
    mesh.vertices.reserve(source.vertices.size());
    for (const LOAD_3DS::LPoint3& p : source.vertices) mesh.AddVertex(p.x, p.y, p.z);
    for (const LOAD_3DS::LFace& f : source.faces) mesh.AddTriangle(f.a, f.b, f.c);
    mesh.ComputeBox();
}

// The grid's exact one-sided test (the scalar kernel's, which every width shares) on a
// triangle's own vertices: weights and t written on a hit with 0 < t < tMax only.
inline bool OneSided(const RAYTR::Ray& ray, const Triangle& t, float* b0, float* b1, float* b2, float* tOut,
                     float tMax = INFINITY) {
    const float o[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
    const float d[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
    const VECTOR &A = t.A->position, &B = t.B->position, &C = t.C->position;
    const float a[3] = {A.x, A.y, A.z}, b[3] = {B.x, B.y, B.z}, c[3] = {C.x, C.y, C.z};
    RAYTR::KernelHit hit;
    if (!RAYTR::KernelNamed("scalar")->triangle(RAYTR::PrepareRay(o, d), a, b, c, tMax, hit)) return false;
    if (b0) *b0 = hit.b0;
    if (b1) *b1 = hit.b1;
    if (b2) *b2 = hit.b2;
    if (tOut) *tOut = hit.t;
    return true;
}

// Brute force over every triangle: the nearest hit with t < tMax (of equally near ones the
// lowest index, as the grid reports), or t = +infinity and index -1.
struct Nearest {
    float t = INFINITY;
    int index = -1;
};
inline Nearest BruteForceNearest(const TestMesh& mesh, const RAYTR::Ray& ray, float tMax = INFINITY) {
    Nearest best;
    for (int i = 0; i < mesh.Count(); ++i) {
        float dist = 0.0f;
        if (OneSided(ray, mesh.triangles[static_cast<size_t>(i)], nullptr, nullptr, nullptr, &dist, tMax) &&
            dist < best.t) {
            best.t = dist;
            best.index = i;
        }
    }
    return best;
}

}  // namespace grid_test
