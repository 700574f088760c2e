#pragma once
// Smooth normals that keep sharp edges sharp: at each corner of a face the normals of the faces
// around the corner's position are averaged, but only those that turn away from the face's own
// normal by at most a crease angle. A machined part (faces meeting at 90 degrees) keeps flat
// sides and crisp edges; a scan or a finely divided curved surface (neighbours a few degrees
// apart) is shaded smoothly across its triangles.

#include <cstddef>
#include <vector>

#include "loaders/l3ds.h"

namespace LOAD_3DS {

// The crease angle a model opened in its own materials gets unless its configuration says
// otherwise, in degrees.
inline constexpr float kDefaultCreaseDegrees = 40.0f;

// Positions shared by more faces than this are averaged over groups of faces of nearly one
// direction (cells of about 3 degrees) instead of face by face, so that a point where thousands
// of faces meet costs thousands of steps, not millions; the crease is then decided to within
// about a cell.
inline constexpr std::size_t kCreaseExactFaces = 256;

// One normal per face corner (3 per face, in face order). A corner's normal is the normalised
// sum, over the faces around its position (the same bits, -0 counted as +0) whose normals make
// at most creaseDegrees with its own face's, of each face's unit normal weighted by the face's
// angle at that position (Thuermer and Wuethrich, 1998). A face of no area (or whose corners
// are not finite points) has no normal: it adds nothing, and its corners get the plain mean of
// the faces around them (0, 0, 0 when there are none). Corners outside the vertex list count as
// the origin. Linear in the corners where positions are shared by few faces.
std::vector<LPoint3> CreaseNormals(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces,
                                   float creaseDegrees);

}  // namespace LOAD_3DS
