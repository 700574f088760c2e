#pragma once
// Loading a 3DS model with the per-model choices of release.cgf: which meshes of the file, how
// the vertex normals are smoothed, and where the model is placed. The placement is written into
// the vertices, so the grid, the bounds and the drawing all see the placed model, and a
// transform set afterwards (the fixed translations of models 0 and 2) acts on top of it.

#include <cstdint>
#include <string>
#include <vector>

#include "loaders/l3ds.h"
#include "mesh/mesh.h"

namespace ORVA_GRAPHICS {

enum class UpAxis { Y, Z };
enum class Smoothing { Position, Groups };

struct ModelOptions {
    // > 0: the box's largest side is scaled to this many units and its midpoint moved to the
    // origin. 0: the file's size and place.
    float fit = 0.0f;
    // Z: the file's z axis is turned to +y, (x, y, z) -> (x, z, -y), so that a model drawn z-up
    // stands upright and its front (-y in the file) faces the camera.
    UpAxis up = UpAxis::Y;
    // Added to every position after the turn and the fit.
    float offset[3] = {0.0f, 0.0f, 0.0f};
    // false: the first mesh only; true: every mesh of the file, each in the file's coordinates.
    bool allMeshes = false;
    // Position: the reader's normals (faces meeting at a position are smoothed together).
    // Groups: a face shares a corner normal only with faces whose smoothing groups intersect its
    // own; faces of no group stay flat. A mesh without a smoothing-group chunk keeps Position.
    Smoothing smoothing = Smoothing::Position;

    bool IsDefault() const {
        return fit == 0.0f && up == UpAxis::Y && offset[0] == 0.0f && offset[1] == 0.0f && offset[2] == 0.0f &&
               !allMeshes && smoothing == Smoothing::Position;
    }
};

struct ModelLoadInfo {
    int meshesInFile = 0;
    int meshesUsed = 0;
};

// Fills mesh from the 3DS file as options say. Throws L3DS_Error with the messages of
// MESH::LoadFrom3DS ("Can not load ", "There are no meshes in ", "There are no vertices in ",
// "Face index out of range in " followed by the file name); the mesh then keeps what it held.
// With default options the mesh is exactly what LoadFrom3DS makes of the file.
ModelLoadInfo LoadModel(Mesh& mesh, const std::string& fileName, const ModelOptions& options);

// Normals of the three corners of every face (3 per face, in face order) by smoothing groups:
// the normal at corner k of face f is the normalised sum of the face normals of f and of every
// face g touching a vertex at the same position (bit for bit) with groups[f] & groups[g] != 0,
// each face once. A face of group 0 gets its own face normal at all corners.
std::vector<LOAD_3DS::LPoint3> GroupCornerNormals(const std::vector<LOAD_3DS::LPoint3>& positions,
                                                  const std::vector<LOAD_3DS::LFace>& faces,
                                                  const std::vector<std::uint32_t>& groups);

}  // namespace ORVA_GRAPHICS
