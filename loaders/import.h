#pragma once
// Every model format that assimp reads (OBJ with its MTL, PLY, STL, glTF 2.0 and GLB, FBX,
// Collada, DirectX .x, ASE, LightWave, Blender, ...), as one triangle list: polygons cut into
// triangles, every mesh of the file placed by its node's transform (each instance of it),
// points and lines dropped, and each face with its material.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "loaders/file_material.h"
#include "loaders/l3ds.h"

struct aiScene;

namespace LOAD_3DS {

struct ImportedModel {
    std::vector<LPoint3> positions;
    // One per vertex: the file's normal where its mesh has normals (fileNormal[v] = 1), else 0.
    std::vector<LPoint3> normals;
    std::vector<std::uint8_t> fileNormal;
    std::vector<LUV> uvs;  // one per vertex; (0, 0) where the mesh has no mapping coordinates
    std::vector<LFace> faces;
    std::vector<std::uint32_t> faceMaterials;  // one per face, an index of materials
    std::vector<FileMaterial> materials;
    int meshesInFile = 0;   // meshes of the file
    int meshesUsed = 0;     // mesh instances that gave triangles
    long long dropped = 0;  // points and lines left out
    long long nonFinite = 0;  // triangles left out for a corner that is not a finite point
};

struct ImportRequest {
    // Called now and then while the file is read, with the share done (0 to 1).
    std::function<void(float)> progress;
    // When set, receives every file the import opened (the model, its MTL, its buffers, ...).
    std::vector<std::string>* filesRead = nullptr;
};

// What a scene's conversion needs to know of the file it came from.
struct SceneKind {
    bool factorTints = false;      // glTF: a base colour factor multiplies the texture
    bool materialsMadeUp = false;  // the file defines no materials: assimp's own are not the author's
};
SceneKind KindOf(const std::string& file);

// The scene assimp read, as one triangle list: every mesh instance of its node tree placed by
// its nodes' transforms, the materials converted (embedded images copied). False with the
// message "Can not load NAME: ..." or "There are no triangles in NAME". Any scene is taken
// safely, whatever its indices, counts and values.
bool ConvertScene(const aiScene& scene, const SceneKind& kind, ImportedModel& out, std::string* error,
                  const std::string& name);

// Whether the file is of a format assimp reads (by its extension; .3ds files go to our reader).
bool IsImportFormat(const std::string& file);
// The extensions assimp reads, as "*.obj;*.ply;...".
std::string ImportExtensions();

// Reads the file. False with a one-line message in *error: "Can not load FILE: reason" when
// assimp refuses it (or its reader fails: the reading runs in a child process, so a reader
// that crashes on a malformed file ends that process, not the caller), "There are no
// triangles in FILE" when it holds none.
bool ImportModel(const std::string& file, ImportedModel& out, std::string* error, const ImportRequest& request = {});
// A one-entry store, so that a model measured for a scene's configuration is not read twice:
// Keep stores a model read from file, Take hands it over (and forgets it) when file is the
// same path and the file has not changed since.
void KeepImported(const std::string& file, ImportedModel&& model);
bool TakeImported(const std::string& file, ImportedModel& out);

}  // namespace LOAD_3DS
