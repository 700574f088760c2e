#pragma once
// Writes binary little-endian PLY files (vertex positions as float x, y, z; faces as a uchar
// count and int corners): the format of large scanned models, for the big-model tests and
// benchmarks, which make their files rather than keep them in the tree.

#include <string>
#include <vector>

#include "loaders/l3ds_writer.h"

namespace LOAD_3DS {

// The bytes of the file: mesh.vertices and mesh.faces (its mapping coordinates are not written).
std::vector<unsigned char> EncodePLY(const WriterMesh& mesh);
// Writes EncodePLY to path; false when the file cannot be written.
bool WritePLY(const std::string& path, const WriterMesh& mesh);

// The big test model: the demo's torus knot finely subdivided, 2 * segments * sides triangles
// ((segments + 1) * (sides + 1) vertices). segments 2000, sides 500: 2,000,000 triangles, a
// 38 MB file.
WriterMesh MakeBigKnot(int segments = 2000, int sides = 500);

}  // namespace LOAD_3DS
