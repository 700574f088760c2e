#pragma once
// Smooth per-vertex normals by position, as the 3DS reader defines them: the normal of vertex i
// is the normalised sum, over every vertex j (ascending) whose position is within 0.0001 of i's
// on each axis, of the normals of the faces that have j as a corner (ascending, once per face).
// Positions are bucketed on a lattice so that only neighbouring cells are compared, and vertices
// at bit-identical positions share one sum, so the cost is near linear for ordinary meshes.

#include <cstddef>
#include <vector>

#include "loaders/l3ds.h"

namespace LOAD_3DS {

// Whether two coordinates count as the same position on one axis.
inline bool NearOnAxis(float a, float b) { return (a - b < 0 ? -(a - b) : a - b) < 0.0001; }

// Face normal normalise(cross(B - C, B - A)); corners beyond the vertex list read as the origin,
// negative corners as vertex 0.
LPoint3 FaceNormal(const std::vector<LPoint3>& vertices, const LFace& face);

// Work allowed per vertex for summing in the definition's order (see SmoothNormals): thousands
// of times what real models need, and small enough that a file of 65,535 vertices finishes in
// well under a second whatever its positions.
constexpr std::size_t kExactWorkPerVertex = 2048;

// One normal per vertex; faces whose corners lie outside the vertex list touch no vertex there.
// Each sum takes exactly the faces the definition names. They are added in the definition's
// order (bit for bit its result) wherever a position's comparisons and face additions stay
// within exactWorkPerVertex for each vertex of the positions that have the same matches (a
// cluster of distinct positions all within 0.0001 of each other is summed once for all of
// them). Only a crowded cluster - more matches than its vertices allow, or a shared corner of
// very many faces - goes over; there each matching vertex's faces are first summed in
// ascending order, and those per-vertex sums are then added in double precision by a range
// tree. The result can then differ from the definition's by the rounding of its single-precision
// running sum: a few units in the last place of each component, more only where the face
// normals nearly cancel. The time stays O(n log^2 n) for the tree plus its queries.
std::vector<LPoint3> SmoothNormals(const std::vector<LPoint3>& vertices, const std::vector<LFace>& faces,
                                   std::size_t exactWorkPerVertex = kExactWorkPerVertex);

}  // namespace LOAD_3DS
