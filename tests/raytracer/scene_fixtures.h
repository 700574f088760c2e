#pragma once
// Small meshes built in memory for the scene and shading tests: quads and boxes with flat
// normals, every triangle with its own three vertices (so each face keeps its own normal).

#include <cstring>
#include <vector>

#include "math/matrix.h"
#include "math/vector.h"
#include "raytracer/scene.h"
#include "raytracer/tobject.h"

namespace redowl_test {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;

inline VECTOR P(float x, float y, float z) { return VECTOR(x, y, z, 1.0f); }
inline VECTOR D(float x, float y, float z) { return VECTOR(x, y, z, 0.0f); }

// Triangles as corner triples; the front side is the one (B - A) x (C - A) points to.
struct Soup {
    std::vector<VECTOR> corners;  // three per triangle
    std::vector<float> uv;        // two per corner: x and z where the corner was made

    // Quad a, b, c, d (in order around it) facing along outward; turned if needed.
    void Quad(VECTOR a, VECTOR b, VECTOR c, VECTOR d, VECTOR outward) {
        const VECTOR n = ORVA_MATH::Cross(b - a, c - a);
        if (ORVA_MATH::Dot(n, outward) < 0.0f) std::swap(b, d);
        for (const VECTOR& p : {a, b, c, a, c, d}) {
            corners.push_back(p);
            uv.push_back(p.x);
            uv.push_back(p.z);
        }
    }
    // Horizontal square at height y facing +y (or -y when down).
    void Floor(float y, float half, bool down = false, float cx = 0.0f, float cz = 0.0f) {
        Quad(P(cx - half, y, cz + half), P(cx + half, y, cz + half), P(cx + half, y, cz - half),
             P(cx - half, y, cz - half), D(0.0f, down ? -1.0f : 1.0f, 0.0f));
    }
    // Square in the plane z = z0 facing +z.
    void Wall(float z0, float half) {
        Quad(P(-half, -half, z0), P(half, -half, z0), P(half, half, z0), P(-half, half, z0), D(0.0f, 0.0f, 1.0f));
    }
    // Axis-aligned box with outward faces.
    void Box(VECTOR lo, VECTOR hi) {
        Quad(P(lo.x, lo.y, lo.z), P(lo.x, hi.y, lo.z), P(lo.x, hi.y, hi.z), P(lo.x, lo.y, hi.z), D(-1, 0, 0));
        Quad(P(hi.x, lo.y, lo.z), P(hi.x, hi.y, lo.z), P(hi.x, hi.y, hi.z), P(hi.x, lo.y, hi.z), D(1, 0, 0));
        Quad(P(lo.x, lo.y, lo.z), P(hi.x, lo.y, lo.z), P(hi.x, lo.y, hi.z), P(lo.x, lo.y, hi.z), D(0, -1, 0));
        Quad(P(lo.x, hi.y, lo.z), P(hi.x, hi.y, lo.z), P(hi.x, hi.y, hi.z), P(lo.x, hi.y, hi.z), D(0, 1, 0));
        Quad(P(lo.x, lo.y, lo.z), P(hi.x, lo.y, lo.z), P(hi.x, hi.y, lo.z), P(lo.x, hi.y, lo.z), D(0, 0, -1));
        Quad(P(lo.x, lo.y, hi.z), P(hi.x, lo.y, hi.z), P(hi.x, hi.y, hi.z), P(lo.x, hi.y, hi.z), D(0, 0, 1));
    }
    // Moves the corners; the texture coordinates stay.
    void Move(VECTOR by) {
        for (VECTOR& c : corners) c = P(c.x + by.x, c.y + by.y, c.z + by.z);
    }
};

// Points triangle t at vertices 3t, 3t + 1 and 3t + 2 (a soup: no vertex shared).
inline void LinkTriangles(RAYTR::TObject& object, unsigned triangles) {
    for (unsigned t = 0; t < triangles; ++t) {
        object.triangles[t].A = &object.vertices[3 * t];
        object.triangles[t].B = &object.vertices[3 * t + 1];
        object.triangles[t].C = &object.vertices[3 * t + 2];
    }
}

// Fills object with the soup (flat normals, texture coordinates from Soup::uv, clamped by the
// lookup), builds its grid and sets the flags.
inline void Fill(RAYTR::TObject& object, const Soup& soup, unsigned flags = 0x0F) {
    const unsigned n = static_cast<unsigned>(soup.corners.size());
    object.Allocate(n, n, n / 3);
    for (unsigned i = 0; i < n; ++i) {
        object.vertices[i].position = soup.corners[i];
        object.vertices[i].u = soup.uv[2 * i];
        object.vertices[i].v = soup.uv[2 * i + 1];
        object.indices[i] = i;
    }
    LinkTriangles(object, n / 3);
    object.ComputeFlatNormals();
    object.PrepareForTracing();
    object.flags = flags;
}

// A texture of one colour (bytes as stored: red, green, blue), w x h texels.
inline void Paint(RAYTR::TObject& object, unsigned char r, unsigned char g, unsigned char b, int w = 1, int h = 1) {
    TEXTURE& t = object.textures[0];
    delete[] t.pixels;
    t.width = w;
    t.height = h;
    t.pixels = new unsigned char[static_cast<std::size_t>(w) * h * 3];
    for (int i = 0; i < w * h; ++i) {
        t.pixels[3 * i] = r;
        t.pixels[3 * i + 1] = g;
        t.pixels[3 * i + 2] = b;
    }
}

// The application's light: white, ambient 1, attenuation (1, 0.01, 0.001).
inline RAYTR::LightSource WhiteLight(VECTOR position, float ambient = 1.0f) {
    RAYTR::LightSource light;
    light.SetColour(255, 255, 255);
    light.ambient = ambient;
    light.position = position;
    light.a0 = 1.0f;
    light.a1 = 0.01f;
    light.a2 = 0.001f;
    return light;
}

inline MATRIX Translation(float x, float y, float z) { return MATRIX::Translation(x, y, z); }

}  // namespace redowl_test
