#pragma once
// Every model format that assimp reads (OBJ with its MTL, PLY, STL, glTF 2.0 and GLB, FBX,
// Collada, DirectX .x, ASE, LightWave, Blender, ...), as one triangle list: polygons cut into
// triangles, every mesh of the file placed by its node's transform (each instance of it),
// points and lines dropped, and each face with its material.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "loaders/file_material.h"
#include "loaders/l3ds.h"
#include "loaders/model_images.h"
#include "loaders/up_axis.h"

struct aiScene;

namespace LOAD_3DS {

// Largest model taken, in vertices and in faces (the face corners are 32-bit signed).
inline constexpr std::size_t kMaxImportVertices = std::size_t(1) << 30;
inline constexpr std::size_t kMaxImportFaces = std::size_t(1) << 29;

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
    // The up axis the file declares for the coordinates above (loaders/up_axis.h:
    // kUpUndeclared or DeclaredUp(axis)).
    std::uint8_t declaredUp = kUpUndeclared;
    // The textures, decoded by the import helper (the materials' image indices point here), and
    // its notes on them for the load report. With imagesDecoded, these are all the textures
    // there are: nothing is looked up or decoded for the model in the viewer.
    std::vector<ModelImage> images;
    std::vector<std::string> notes;
    bool imagesDecoded = false;
};

struct ImportRequest {
    // Called now and then while the file is read, with the share done (0 to 1).
    std::function<void(float)> progress;
    // When set, receives every file the import opened inside the model's folder (the model,
    // its MTL, its buffers, ...).
    std::vector<std::string>* filesRead = nullptr;
    // The reading's time on the clock; 0: 15 s plus 2 s for each MB of the file.
    std::chrono::milliseconds timeLimit{0};
};

// What a scene's conversion needs to know of the file it came from.
struct SceneKind {
    bool factorTints = false;      // glTF: a base colour factor multiplies the texture
    bool materialsMadeUp = false;  // the file defines no materials: assimp's own are not the author's
    // Where the up axis comes from: the scene's metadata (FBX: UpAxis and UpAxisSign); +y
    // (glTF by its definition, Collada and ASE because assimp's readers turn them upright);
    // or nowhere (OBJ, STL, PLY, ...: the viewer guesses).
    enum class Up { kUndeclared, kMetadata, kY } up = Up::kUndeclared;
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

// Reads the file with the import helper (ImportHelperPath), a process of its own that runs
// assimp under a memory limit (4 GiB plus 64 bytes for each byte of the file, at most half of the
// machine's memory), confined to reading the model's folder, under a processor-time
// limit and a deadline on the clock (request.timeLimit), and dies with the caller; its reply is
// checked as untrusted input. False with a one-line message in *error: "Can not load FILE:
// reason" when assimp refuses the file, when the helper cannot be started, dies (a reader that
// crashes ends the helper, not the caller), runs out of time or sends a malformed reply; "There
// are no triangles in FILE" when the file holds none. The helper is gone when this returns.
bool ImportModel(const std::string& file, ImportedModel& out, std::string* error, const ImportRequest& request = {});
// The import helper: redowl-import in the folder of the running program, or the program set
// with SetImportHelper ("" restores the default).
std::string ImportHelperPath();
void SetImportHelper(const std::string& program);
// A one-entry store, so that a model measured for a scene's configuration is not read twice:
// Keep stores a model read from file, Take hands it over (and forgets it) when file is the
// same path and the file has not changed since.
void KeepImported(const std::string& file, ImportedModel&& model);
bool TakeImported(const std::string& file, ImportedModel& out);

}  // namespace LOAD_3DS
