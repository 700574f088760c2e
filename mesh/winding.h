#pragma once
// Which way a mesh's faces wind, and making the faces a file means to be seen from both sides.
//
// A mesh is closed when its triangles, with corners joined where their positions are equal (bit
// for bit, -0 as +0), use every edge once in each direction and none is degenerate; its faces
// then wind outward when the volume they enclose is positive (counter-clockwise seen from
// outside), inward when it is negative. A scan exported inside out is closed and inward: its
// faces are turned at load, so rays (which hit front faces only) and the preview see it.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "loaders/l3ds.h"

namespace ORVA_GRAPHICS {

enum class Closure { Open, Outward, Inward };

// positions: x, y, z of vertex i at xyz[i * stride] (stride in floats, at least 3); corners:
// three vertex indices per face. Linear in the faces (a hash of the positions, a radix sort of
// the edges). A corner out of range or a position that is not finite makes the mesh Open.
Closure SurfaceClosure(const float* xyz, std::size_t stride, std::size_t vertexCount, const std::uint32_t* corners,
                       std::size_t faceCount);

// When the faces close a surface that winds inward: each face turned (corners b and c
// exchanged) and each vertex normal that then points against the faces around it reversed
// (normals smoothed from the inward faces point inward; a file's own may already point out).
// True when they were turned. found, when given, receives the faces' closure as they are left
// (Outward after a turn).
bool TurnInwardFaces(const std::vector<LOAD_3DS::LPoint3>& positions, std::vector<LOAD_3DS::LFace>& faces,
                     std::vector<LOAD_3DS::LPoint3>& normals, Closure* found = nullptr);

// Makes the marked faces two-sided: for each, a copy wound the other way over copies of its
// vertices whose normals are reversed, appended after the others (faceMaterials, when it has one
// entry per face, grows along). Rays and the preview's culling then see both sides with the
// one-sided rules they have. Returns the faces added.
std::size_t AddBackFaces(std::vector<LOAD_3DS::LPoint3>& positions, std::vector<LOAD_3DS::LPoint3>& normals,
                         std::vector<LOAD_3DS::LUV>& uvs, std::vector<LOAD_3DS::LFace>& faces,
                         std::vector<std::uint32_t>& faceMaterials, const std::vector<bool>& marked);

}  // namespace ORVA_GRAPHICS
