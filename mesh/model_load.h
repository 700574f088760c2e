#pragma once
// Loading a model with the per-model choices of release.cgf: which meshes of the file, how the
// vertex normals are smoothed, whose materials it wears, and where the model is placed. 3DS
// files go through our reader, every other format through assimp (loaders/import.h). The
// placement is written into the vertices, so the grid, the bounds and the drawing all see the
// placed model, and a transform set afterwards (the fixed translations of models 0 and 2) acts
// on top of it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "loaders/import.h"
#include "loaders/l3ds.h"
#include "loaders/up_axis.h"
#include "mesh/mesh.h"

namespace ORVA_GRAPHICS {

using LOAD_3DS::UpAxis;
enum class Smoothing { Position, Groups };
// Fixed: the one texture of record 0 over the whole model (the fixed or the model's own BMP).
// File: the file's materials, their colours and textures, triangle by triangle.
enum class Materials { Fixed, File };
// Front: faces are seen from the side they wind counter-clockwise to (and the file's two-sided
// materials from both). Both: every face from both sides (mesh/winding.h).
enum class Sides { Front, Both };

struct ModelOptions {
    // > 0: the box's largest side is scaled to this many units and its midpoint moved to the
    // origin. 0: the file's size and place.
    float fit = 0.0f;
    // The file's axis that is turned to +y (LOAD_3DS::TurnUpright): Z, (x, y, z) -> (x, z, -y),
    // stands a model drawn z-up upright with its front (-y in the file) facing the camera.
    UpAxis up = UpAxis::Y;
    // After the turn and the fit: the model moved along y so that the lowest corner of its
    // faces lies at floorY (its own coordinates, before any transform of the model's).
    bool onFloor = false;
    float floorY = 0.0f;
    // Added to every position after the turn, the fit and the move onto the floor.
    float offset[3] = {0.0f, 0.0f, 0.0f};
    // 3DS files: false the first mesh only; true every mesh of the file, each in the file's
    // coordinates. Every other format keeps every mesh.
    bool allMeshes = false;
    // Position: the reader's normals (faces meeting at a position are smoothed together).
    // Groups: as the author made them. 3DS: a face shares a corner normal only with faces whose
    // smoothing groups intersect its own; faces of no group stay flat (a mesh without a
    // smoothing-group chunk keeps Position). Other formats: the file's own normals, where its
    // meshes have them.
    Smoothing smoothing = Smoothing::Position;
    Materials materials = Materials::Fixed;
    // Normals computed from the positions (where the file's are not used): below 0, the 3DS
    // reader's smoothing by position; from 0 to 180, smooth only across edges where faces meet
    // at no more than this many degrees (loaders/crease.h), so that sharp edges stay sharp.
    float crease = -1.0f;
    Sides sides = Sides::Front;

    bool IsDefault() const {
        return fit == 0.0f && up == UpAxis::Y && !onFloor && offset[0] == 0.0f && offset[1] == 0.0f &&
               offset[2] == 0.0f && !allMeshes && smoothing == Smoothing::Position && materials == Materials::Fixed &&
               crease < 0.0f && sides == Sides::Front;
    }
};

struct ModelLoadInfo {
    int meshesInFile = 0;
    int meshesUsed = 0;
    long long droppedPrimitives = 0;  // points and lines left out
    long long nonFinite = 0;          // triangles left out for a corner that is not a finite point
    long long replacedNormals = 0;    // file normals of zero length or not finite, replaced
    int materials = 0;                // with Materials::File: the materials used
    int textures = 0;                 // textures loaded
    // Lines for the load report: each texture that could not be had, and why; faces that use
    // under a tenth of the file's vertices.
    std::vector<std::string> notes;
};

// Stage and share done (0 to 1) of a load, for a progress display.
using LoadProgress = std::function<void(const char* stage, float share)>;

// Whether a file is read by our 3DS reader: a name ending in .3ds (in any letter case, so that
// its failures are the reader's L3DS_Error messages), or a file that begins with the 3DS main
// chunk's id, 0x4D4D, whatever its name.
bool Is3DSFile(const std::string& fileName);

// Fills mesh from the model file as options say. A 3DS file that fails throws L3DS_Error with
// the messages of MESH::LoadFrom3DS ("Can not load ", "There are no meshes in ", "There are no
// vertices in ", "Face index out of range in " followed by the file name); another format
// throws File_Error ("Can not load FILE: reason", "There are no triangles in FILE"). The mesh
// then keeps what it held. With default options a 3DS file gives exactly what LoadFrom3DS
// makes of it. With Materials::File the triangles are sorted by material (stable) and the
// textures are read into records 1, 2, ... (not uploaded: see MESH::UploadNewTextures); a
// texture that cannot be found or read is a note, and its material keeps its colour.
ModelLoadInfo LoadModel(Mesh& mesh, const std::string& fileName, const ModelOptions& options,
                        const LoadProgress& progress = {});

// The same for a model already imported from fileName (its textures are looked up beside it).
ModelLoadInfo LoadImportedModel(Mesh& mesh, LOAD_3DS::ImportedModel&& model, const std::string& fileName,
                                const ModelOptions& options);

// Normals of the three corners of every face (3 per face, in face order) by smoothing groups:
// the normal at corner k of face f is the normalised sum of the face normals of f and of every
// face g touching a vertex at the same position (bit for bit) with groups[f] & groups[g] != 0,
// each face once. A face of group 0 gets its own face normal at all corners.
std::vector<LOAD_3DS::LPoint3> GroupCornerNormals(const std::vector<LOAD_3DS::LPoint3>& positions,
                                                  const std::vector<LOAD_3DS::LFace>& faces,
                                                  const std::vector<std::uint32_t>& groups);

}  // namespace ORVA_GRAPHICS
