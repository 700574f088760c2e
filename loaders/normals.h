#pragma once
// Smooth per-vertex normals by position, as the 3DS reader defines them: the normal of vertex i
// is the normalised sum, over every vertex j (ascending) whose position is within 0.0001 of i's
// on each axis, of the normals of the faces that have j as a corner (ascending, once per face).
// Positions are bucketed on a lattice so that only neighbouring cells are compared, and vertices
// at bit-identical positions share one sum, so the cost is near linear for ordinary meshes.

#include <cstdint>
#include <vector>

#include "loaders/l3ds.h"

namespace LOAD_3DS {

// Whether two coordinates count as the same position on one axis.
inline bool NearOnAxis(float a, float b) { return (a - b < 0 ? -(a - b) : a - b) < 0.0001; }

// Face normal normalise(cross(B - C, B - A)); corners beyond the vertex list read as the origin,
// negative corners as vertex 0.
LPoint3 FaceNormal(const std::vector<LPoint3>& vertices, const LFace& face);

// One normal per vertex; faces whose corners lie outside the vertex list touch no vertex there.
std::vector<LPoint3> SmoothNormals(const std::vector<LPoint3>& vertices, const std::vector<LFace>& faces);

// The same with a bound on the position comparisons. The work grows with the square of the
// number of distinct positions crowded within 0.0001 of each other, which only a hostile file
// has; past maxComparisons the result is emptied and false returned.
bool SmoothNormals(const std::vector<LPoint3>& vertices, const std::vector<LFace>& faces, std::vector<LPoint3>& result,
                   std::uint64_t maxComparisons);

// The bound the reader uses: about a second of work, thousands of times what real models need.
constexpr std::uint64_t kMaxNormalComparisons = 300'000'000;

}  // namespace LOAD_3DS
