#pragma once
// The entry points the fuzz targets drive, shared with the regression test that replays every
// kept input: arbitrary bytes become a configuration file, a 3DS file or a BMP file and go
// through the same readers the viewer uses. Each entry returns an empty text when every
// invariant held, otherwise a description of the broken one. An expected refusal is a
// TIRN_ERROR exception whose box the recorder catches; anything else that escapes (another
// exception type, a crash, a sanitizer report) is a finding.

#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/accumulation.h"
#include "app/config.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "loaders/l3ds.h"
#include "loaders/normals.h"
#include "loaders/texture.h"
#include "mesh/mesh.h"
#include "mesh/model_load.h"
#include "loaders/bmp_writer.h"
#include "loaders/import.h"
#include "loaders/import_reply.h"
#include "loaders/l3ds_writer.h"
#include "loaders/ply_reader.h"

#include <assimp/material.h>
#include <assimp/scene.h>

namespace redowl_fuzz {

// A scratch file of this process in memory-backed storage (the readers only take file names).
inline std::string ScratchPath(const char* tag) {
    static const std::string dir = [] {
        return ::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp");
    }();
    return dir + "/redowl-fuzz-" + std::to_string(::getpid()) + "-" + tag;
}

// Writes the bytes to path; false when the file cannot be written whole.
inline bool WriteScratch(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = size == 0 || std::fwrite(data, size, 1, f) == 1;
    return std::fclose(f) == 0 && ok;
}

// Removes the scratch file when the entry ends, whatever way it ends.
struct Scratch {
    std::string path;
    explicit Scratch(const char* tag) : path(ScratchPath(tag)) {}
    ~Scratch() { std::remove(path.c_str()); }
};

// Expected refusals show exactly one box with the caption of their class.
inline std::string CheckOneBox(const TIRN_ERROR::BoxRecorder& recorder, const char* caption) {
    const auto boxes = recorder.Boxes();
    if (boxes.size() != 1) return "expected one box, saw " + std::to_string(boxes.size());
    if (boxes[0].first != caption) return "box caption '" + boxes[0].first + "', expected '" + caption + "'";
    return {};
}

// ------------------------------------------------------------------------- configuration

// Reads the bytes as release.cgf, then looks up every key it stored and the keys start-up and
// scene assembly read.
inline std::string ConfigInput(const std::uint8_t* data, std::size_t size) {
    TIRN_ERROR::BoxRecorder recorder;
    Scratch file("release.cgf");
    if (!WriteScratch(file.path, data, size)) return {};  // no room to write: nothing to test
    CONFIG::Lexer lexer;
    // An existing file is never refused, whatever it holds.
    lexer.ReadFile(file.path);
    if (!recorder.Boxes().empty()) return "a readable configuration file showed a box";
    for (const auto& [key, value] : lexer.Entries()) {
        if (lexer.GetString(key) != value) return "GetString differs from the stored value of '" + key + "'";
        (void)lexer.GetInt(key);
        (void)lexer.GetFloat(key);
    }
    for (const char* key : {"win.width", "win.height", "tracer.regular_grid.algoritm_type",
                            "tracer.regular_grid.cub_less_elem_times", "scene.N_models", "scene.model0",
                            "scene.model0_do_trace", "tracer.threads_num", "tracer.use_zbuffer_values"}) {
        (void)lexer.GetInt(key);
        (void)lexer.GetFloat(key);
    }
    // The settling keys: accepted values or a refusal with its box, nothing else.
    recorder.Clear();
    try {
        const WIN_NMS::SettleKeys keys = WIN_NMS::ReadSettleKeys(lexer);
        if (!(keys.lightRadius >= 0.0f) || keys.maxSamples < 1) return "settling keys out of their ranges";
    } catch (const TIRN_ERROR::Error&) {
        if (recorder.Boxes().size() != 1) return "a refused settling key showed no box";
    }
    return {};
}

// ------------------------------------------------------------------------- 3DS models

namespace detail {

inline bool SameBits(const LOAD_3DS::LPoint3& a, const LOAD_3DS::LPoint3& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// What a parsed mesh must satisfy whatever the bytes were.
inline std::string CheckReaderMesh(LOAD_3DS::LMesh& mesh) {
    const int V = mesh.GetVertexCount();
    if (V > 0 && mesh.GetNormalCount() != V) return "normal count differs from the vertex count";
    if (mesh.GetTriangleCount() != mesh.GetFaceCount()) return "triangle and face counts differ";
    char name[100];
    if (mesh.GetName(name, int(sizeof name)) > int(sizeof name)) return "GetName copied past its maximum";
    for (int f = 0; f < mesh.GetFaceCount(); ++f) {
        const LOAD_3DS::LFace face = mesh.GetFace(f);
        if (face.a < 0 || face.a > 65535 || face.b < 0 || face.b > 65535 || face.c < 0 || face.c > 65535)
            return "a face corner is not a 16-bit value";
        (void)mesh.GetFaceFull(f);
    }
    // The bounded path of the smooth normals on the same geometry, every position taken as
    // crowded: it sums the same faces, so a not-a-number term shows in the same normals. Only
    // on small meshes: that path is the slow one (O(n log^2 n) in double sums), and on meshes of
    // thousands of vertices it took nearly all of every run (34 runs a second instead of
    // thousands).
    if (V > 0 && V <= 256) {
        std::vector<LOAD_3DS::LPoint3> vertices(std::size_t(V), LOAD_3DS::LPoint3{});
        std::vector<LOAD_3DS::LFace> faces;
        for (int i = 0; i < V; ++i) vertices[std::size_t(i)] = mesh.GetVertex(i);
        for (int f = 0; f < mesh.GetFaceCount(); ++f) faces.push_back(mesh.GetFace(f));
        const auto bounded = LOAD_3DS::SmoothNormals(vertices, faces, 0);
        if (bounded.size() != vertices.size()) return "the bounded normals have another count";
        auto nan = [](const LOAD_3DS::LPoint3& p) { return std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z); };
        for (int i = 0; i < V; ++i)
            if (nan(bounded[std::size_t(i)]) != nan(mesh.GetNormal(i)))
                return "the bounded normals disagree on not-a-number at vertex " + std::to_string(i);
    }
    return {};
}

}  // namespace detail

// Reads the bytes as a 3DS file two ways: the reader from memory, and MESH::LoadFrom3DS from a
// file, which either refuses with one L3DS_Error box or builds the reader's first mesh with
// triangles that all point into its own vertex array. The loaded mesh is then bounded and
// given flat normals, as scene assembly and the grid would.
inline std::string ModelInput(Mesh& mesh, const std::uint8_t* data, std::size_t size) {
    TIRN_ERROR::BoxRecorder recorder;
    Scratch file("model.3ds");
    if (!WriteScratch(file.path, data, size)) return {};

    // The reader on the bytes in memory; MESH::LoadFrom3DS below reads the same bytes from the
    // file, so the two paths must agree.
    LOAD_3DS::L3DS reader;
    const bool readerOk = reader.LoadFromMemory(data, size);
    if (!recorder.Boxes().empty()) return "the reader showed a box";
    if (readerOk) {
        for (int m = 0; m < reader.GetMeshCount(); ++m)
            if (std::string e = detail::CheckReaderMesh(*reader.GetMesh(m)); !e.empty()) return e;
        for (int l = 0; l < reader.GetLightCount(); ++l) {
            char name[100];
            (void)reader.GetLight(l)->GetName(name, int(sizeof name));
        }
    }

    try {
        mesh.LoadFrom3DS(file.path);
    } catch (const TIRN_ERROR::L3DS_Error&) {
        if (std::string e = CheckOneBox(recorder, "L3DS_Error: "); !e.empty()) return e;
        // "Can not load" exactly when the reader refused the same bytes in memory; otherwise
        // the file holds no usable first mesh.
        const bool cannotLoad = recorder.Boxes()[0].second.rfind("Can not load ", 0) == 0;
        if (cannotLoad == readerOk) return "MESH::LoadFrom3DS and the reader disagree on whether the bytes load";
        return {};
    }
    if (!recorder.Boxes().empty()) return "a mesh that loaded showed a box";
    if (!readerOk) return "MESH::LoadFrom3DS accepted bytes the reader refused";
    if (mesh.vertexCount == 0 || !mesh.vertices) return "a loaded mesh has no vertices";
    // The mesh is the reader's first mesh, value for value.
    LOAD_3DS::LMesh& first = *reader.GetMesh(0);
    if (int(mesh.vertexCount) != first.GetVertexCount() || int(mesh.triangleCount) != first.GetFaceCount())
        return "the mesh's counts differ from the reader's first mesh";
    for (unsigned i = 0; i < mesh.vertexCount; ++i) {
        const ORVA_GRAPHICS::VERTEX& v = mesh.vertices[i];
        const LOAD_3DS::LPoint3 p{v.position.x, v.position.y, v.position.z};
        const LOAD_3DS::LPoint3 n{v.normal.x, v.normal.y, v.normal.z};
        if (!detail::SameBits(p, first.GetVertex(int(i))) || !detail::SameBits(n, first.GetNormal(int(i))))
            return "vertex " + std::to_string(i) + " differs between the file and memory loads";
    }
    if (mesh.indexCount != 3 * mesh.triangleCount) return "index count is not three per triangle";
    for (unsigned t = 0; t < mesh.triangleCount; ++t) {
        const ORVA_GRAPHICS::Triangle& tri = mesh.triangles[t];
        const unsigned* ix = mesh.indices + 3 * t;
        for (int k = 0; k < 3; ++k)
            if (ix[k] >= mesh.vertexCount) return "an index reaches past the vertex array";
        if (tri.A != mesh.vertices + ix[0] || tri.B != mesh.vertices + ix[1] || tri.C != mesh.vertices + ix[2])
            return "a triangle corner does not point at its indexed vertex";
    }
    mesh.ComputeBoundingBox();
    mesh.ComputeBoundingSphere();
    mesh.ComputeFlatNormals();
    return {};
}

// ------------------------------------------------------------------------- other formats

// The formats the import target feeds to assimp, chosen by the first byte of the input. (The
// reading runs in a child process: a reader that crashes or aborts is a refusal.) Not OFF:
// assimp's OFF reader allocates step by step what the header's vertex count claims (a 310-byte
// file grew a process past 2 GB), which would take the machine's memory, not end a process.
inline const char* const kImportFormats[] = {"obj", "ply", "stl", "gltf", "glb", "dae", "x", "ase", "fbx"};

// What every model that loaded must hold: triangles whose corners are their indexed vertices,
// one material per triangle, batches covering the triangles in order, images bound to records.
inline std::string CheckLoadedMesh(Mesh& mesh) {
    if (mesh.triangleCount == 0 || mesh.vertexCount == 0) return "a loaded model has no triangles";
    if (mesh.indexCount != 3 * mesh.triangleCount) return "index count is not three per triangle";
    for (unsigned t = 0; t < mesh.triangleCount; ++t) {
        const unsigned* ix = mesh.indices + 3 * t;
        for (int k = 0; k < 3; ++k)
            if (ix[k] >= mesh.vertexCount) return "an index reaches past the vertex array";
        const ORVA_GRAPHICS::Triangle& tri = mesh.triangles[t];
        if (tri.A != mesh.vertices + ix[0] || tri.B != mesh.vertices + ix[1] || tri.C != mesh.vertices + ix[2])
            return "a triangle corner does not point at its indexed vertex";
        if (mesh.MaterialOf(&tri) == nullptr) return "a triangle has no material";
    }
    if (mesh.triangleMaterials.size() != mesh.triangleCount) return "not one material per triangle";
    std::uint32_t next = 0;
    for (const ORVA_GRAPHICS::MaterialBatch& b : mesh.batches) {
        if (b.firstTriangle != next || b.triangleCount == 0 || b.material >= mesh.materials.size())
            return "the batches do not cover the triangles in order";
        for (std::uint32_t t = b.firstTriangle; t < b.firstTriangle + b.triangleCount; ++t)
            if (mesh.triangleMaterials[t] != b.material) return "a triangle's material differs from its batch's";
        next += b.triangleCount;
    }
    if (next != mesh.triangleCount) return "the batches do not cover every triangle";
    for (const ORVA_GRAPHICS::Material& m : mesh.materials) {
        if ((m.texture >= 0) != (m.image != nullptr)) return "a material's image is not bound to its record";
        if (m.image && (!m.image->pixels || m.image->width <= 0 || m.image->height <= 0)) return "a bound image is empty";
    }
    mesh.ComputeBoundingBox();
    mesh.ComputeBoundingSphere();
    return {};
}

// Reads the bytes after the first as a model file of the format the first byte picks, through
// the viewer's load with the file's materials (assimp's reader, our walk of its meshes, smooth
// or file normals, the material sort and the texture lookup beside the file): either it
// refuses with one File_Error box, or the mesh it builds is whole: every corner inside the
// vertex array, one material per triangle, batches covering the triangles in order, images
// bound to records of the mesh.
inline std::string ImportInput(Mesh& mesh, const std::uint8_t* data, std::size_t size) {
    if (size == 0) return {};
    TIRN_ERROR::BoxRecorder recorder;
    const char* format = kImportFormats[data[0] % (sizeof kImportFormats / sizeof kImportFormats[0])];
    Scratch file((std::string("import.") + format).c_str());
    if (!WriteScratch(file.path, data + 1, size - 1)) return {};
    ORVA_GRAPHICS::ModelOptions options;
    options.materials = ORVA_GRAPHICS::Materials::File;
    options.smoothing = (data[0] >> 7) ? ORVA_GRAPHICS::Smoothing::Groups : ORVA_GRAPHICS::Smoothing::Position;
    options.crease = (data[0] & 0x40) ? 40.0f : -1.0f;
    try {
        ORVA_GRAPHICS::LoadModel(mesh, file.path, options);
    } catch (const TIRN_ERROR::File_Error&) {
        return CheckOneBox(recorder, "File_Error: ");
    }
    if (!recorder.Boxes().empty()) return "a model that loaded showed a box";
    return CheckLoadedMesh(mesh);
}

// The bytes as a scene that an assimp reader might hand over, built directly: meshes of any
// counts, indices (in range or not), non-finite values, mapping coordinates and normals or none;
// materials with colours, names and texture paths (embedded images, compressed or raw texels);
// a node tree whose nodes name any mesh index. Our conversion and the load behind it must take
// every such scene safely. No reader runs here, so this target does thousands of runs a second
// where the file target (whose readers run in a child process) does tens.
class SceneBytes {
public:
    SceneBytes(const std::uint8_t* data, std::size_t size) : d_(data), n_(size) {}
    std::uint8_t Byte() { return at_ < n_ ? d_[at_++] : 0; }
    std::uint32_t U16() { return Byte() | std::uint32_t(Byte()) << 8; }
    float Float() {  // raw bits one time in eight (NaN, infinities, huge), small values otherwise
        const std::uint8_t kind = Byte();
        if ((kind & 7) == 7) {
            std::uint32_t bits = U16() | U16() << 16;
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        return (float(kind) - 128.0f) / 16.0f;
    }
    std::string Text(std::size_t most) {
        std::string t;
        for (std::size_t k = Byte() % (most + 1); k > 0; --k) t.push_back(char(Byte()));
        return t;
    }

private:
    const std::uint8_t* d_;
    std::size_t n_;
    std::size_t at_ = 0;
};

inline aiNode* SceneNode(SceneBytes& in, unsigned meshes, int depth) {
    auto* node = new aiNode;
    aiMatrix4x4& m = node->mTransformation;
    if (in.Byte() & 1)
        for (float* f : {&m.a1, &m.a2, &m.a3, &m.a4, &m.b1, &m.b2, &m.b3, &m.b4, &m.c1, &m.c2, &m.c3, &m.c4})
            *f = in.Float();
    node->mNumMeshes = in.Byte() % 4;
    node->mMeshes = node->mNumMeshes ? new unsigned[node->mNumMeshes] : nullptr;
    for (unsigned k = 0; k < node->mNumMeshes; ++k) node->mMeshes[k] = in.Byte() % (meshes + 1);  // the last: none
    node->mNumChildren = depth < 3 ? in.Byte() % 3 : 0;
    node->mChildren = node->mNumChildren ? new aiNode*[node->mNumChildren] : nullptr;
    for (unsigned k = 0; k < node->mNumChildren; ++k) {
        node->mChildren[k] = SceneNode(in, meshes, depth + 1);
        node->mChildren[k]->mParent = node;
    }
    return node;
}

inline std::string SceneInput(Mesh& mesh, const std::uint8_t* data, std::size_t size) {
    SceneBytes in(data, size);
    const std::uint8_t flags = in.Byte();
    aiScene scene;
    scene.mNumMeshes = 1 + in.Byte() % 4;
    scene.mMeshes = new aiMesh*[scene.mNumMeshes];
    for (unsigned i = 0; i < scene.mNumMeshes; ++i) {
        auto* m = scene.mMeshes[i] = new aiMesh;
        m->mNumVertices = in.Byte() % 64;
        m->mVertices = new aiVector3D[m->mNumVertices];
        const std::uint8_t parts = in.Byte();
        if (parts & 1) m->mNormals = new aiVector3D[m->mNumVertices];
        if (parts & 2) {
            m->mTextureCoords[0] = new aiVector3D[m->mNumVertices];
            m->mNumUVComponents[0] = 2;
        }
        for (unsigned v = 0; v < m->mNumVertices; ++v) {
            m->mVertices[v] = aiVector3D(in.Float(), in.Float(), in.Float());
            if (m->mNormals) m->mNormals[v] = aiVector3D(in.Float(), in.Float(), in.Float());
            if (m->mTextureCoords[0]) m->mTextureCoords[0][v] = aiVector3D(in.Float(), in.Float(), 0.0f);
        }
        m->mNumFaces = in.Byte() % 32;
        m->mFaces = new aiFace[m->mNumFaces];
        for (unsigned f = 0; f < m->mNumFaces; ++f) {
            aiFace& face = m->mFaces[f];
            face.mNumIndices = in.Byte() % 5;  // points, lines, triangles and polygons
            face.mIndices = face.mNumIndices ? new unsigned[face.mNumIndices] : nullptr;
            for (unsigned k = 0; k < face.mNumIndices; ++k)
                face.mIndices[k] = (in.Byte() & 0xF0) == 0xF0 ? in.U16() | in.U16() << 16  // mostly out of range
                                                               : in.Byte() % (m->mNumVertices + 1);
            m->mPrimitiveTypes |= face.mNumIndices == 1 ? aiPrimitiveType_POINT
                                  : face.mNumIndices == 2 ? aiPrimitiveType_LINE
                                  : face.mNumIndices == 3 ? aiPrimitiveType_TRIANGLE
                                                          : aiPrimitiveType_POLYGON;
        }
        m->mMaterialIndex = in.Byte() % 4;  // 0 to 3: beyond the materials at times
    }
    scene.mNumMaterials = in.Byte() % 3;
    scene.mMaterials = scene.mNumMaterials ? new aiMaterial*[scene.mNumMaterials] : nullptr;
    for (unsigned i = 0; i < scene.mNumMaterials; ++i) {
        auto* mat = scene.mMaterials[i] = new aiMaterial;
        const aiString name(in.Text(12));
        mat->AddProperty(&name, AI_MATKEY_NAME);
        const aiColor4D colour(in.Float(), in.Float(), in.Float(), 1.0f);
        if (in.Byte() & 1)
            mat->AddProperty(&colour, 1, AI_MATKEY_BASE_COLOR);
        else
            mat->AddProperty(&colour, 1, AI_MATKEY_COLOR_DIFFUSE);
        if (in.Byte() & 1) {
            const aiString path((in.Byte() & 1) ? "*" + std::to_string(in.Byte() % 3) : in.Text(24));
            mat->AddProperty(&path, AI_MATKEY_TEXTURE_DIFFUSE(0));
        }
    }
    scene.mNumTextures = in.Byte() % 3;
    scene.mTextures = scene.mNumTextures ? new aiTexture*[scene.mNumTextures] : nullptr;
    for (unsigned i = 0; i < scene.mNumTextures; ++i) {
        auto* t = scene.mTextures[i] = new aiTexture;
        if (in.Byte() & 1) {  // a compressed image: its bytes, mWidth of them
            const std::string bytes = in.Text(255);
            t->mWidth = unsigned(bytes.size());
            t->mHeight = 0;
            t->pcData = new aiTexel[(bytes.size() + sizeof(aiTexel) - 1) / sizeof(aiTexel) + 1];
            std::memcpy(t->pcData, bytes.data(), bytes.size());
        } else {  // raw texels
            t->mWidth = in.Byte() % 9;
            t->mHeight = 1 + in.Byte() % 8;  // 0 would mean compressed bytes, mWidth of them
            t->pcData = new aiTexel[std::size_t(t->mWidth) * t->mHeight + 1];
            for (std::size_t k = 0; k < std::size_t(t->mWidth) * t->mHeight; ++k)
                t->pcData[k] = aiTexel{in.Byte(), in.Byte(), in.Byte(), 255};
        }
    }
    scene.mRootNode = SceneNode(in, scene.mNumMeshes, 0);

    TIRN_ERROR::BoxRecorder recorder;
    LOAD_3DS::SceneKind kind;
    kind.factorTints = flags & 1;
    kind.materialsMadeUp = flags & 2;
    LOAD_3DS::ImportedModel model;
    std::string error;
    if (!LOAD_3DS::ConvertScene(scene, kind, model, &error, "scene.gltf")) {
        if (error.rfind("Can not load scene.gltf", 0) != 0 && error != "There are no triangles in scene.gltf")
            return "a refused scene says '" + error + "'";
        return {};
    }
    if (model.faces.size() != model.faceMaterials.size()) return "not one material per face";
    const auto outside = [&](int v) { return v < 0 || std::size_t(v) >= model.positions.size(); };
    for (const LOAD_3DS::LFace& f : model.faces)
        if (outside(f.a) || outside(f.b) || outside(f.c)) return "a converted face reaches past the vertices";
    for (std::uint32_t m : model.faceMaterials)
        if (m >= model.materials.size()) return "a converted face names no material";
    ORVA_GRAPHICS::ModelOptions options;
    options.materials = ORVA_GRAPHICS::Materials::File;
    options.smoothing = (flags & 4) ? ORVA_GRAPHICS::Smoothing::Groups : ORVA_GRAPHICS::Smoothing::Position;
    options.crease = (flags & 8) ? float(flags >> 4) * 12.0f : -1.0f;
    Scratch folder("scene.gltf");  // textures are looked up beside it (none is there)
    try {
        ORVA_GRAPHICS::LoadImportedModel(mesh, std::move(model), folder.path, options);
    } catch (const TIRN_ERROR::File_Error&) {
        return CheckOneBox(recorder, "File_Error: ");
    }
    if (!recorder.Boxes().empty()) return "a converted scene that loaded showed a box";
    return CheckLoadedMesh(mesh);
}

// ------------------------------------------------------------------------- the import helper's reply

// A reply's bytes as the helper sends them: a progress message, then the result.
inline std::vector<unsigned char> EncodeReply(const LOAD_3DS::ImportReply& reply) {
    std::vector<unsigned char> bytes;
    {
        LOAD_3DS::ReplyWriter w([&](const void* p, std::size_t n) {
            bytes.insert(bytes.end(), static_cast<const unsigned char*>(p), static_cast<const unsigned char*>(p) + n);
        });
        w.Progress(0.25f);
        w.Result(reply);
    }
    return bytes;
}

// A whole reply for a mesh: its faces in turn of three materials (a 2 x 2 image with its alpha
// as a second image, the same image again, a colour with a texture that was not found), the
// file's normals or none, and the helper's note.
inline LOAD_3DS::ImportReply ReplyOf(const LOAD_3DS::WriterMesh& mesh, bool fileNormals) {
    using namespace LOAD_3DS;
    ImportReply r;
    r.ok = true;
    ImportedModel& m = r.model;
    const std::size_t V = mesh.vertices.size();
    m.positions = mesh.vertices;
    m.normals.assign(V, LPoint3{0.0f, 0.0f, 1.0f});
    m.fileNormal.assign(V, fileNormals ? 1 : 0);
    m.uvs = mesh.uvs.size() == V ? mesh.uvs : std::vector<LUV>(V, LUV{0.0f, 0.0f});
    m.faces = mesh.faces;
    for (std::size_t f = 0; f < m.faces.size(); ++f) m.faceMaterials.push_back(std::uint32_t(f % 3));
    m.images = {{"embedded image *0", 2, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}},
                {"embedded image *0 (alpha)", 2, 2, std::vector<unsigned char>(12, 128)}};
    FileMaterial raw, again, plain;
    raw.name = "raw";
    raw.texture = "embedded image *0";
    raw.image = 0;
    raw.baseAlpha = true;
    raw.alphaImage = 1;
    again.name = "again";
    again.texture = "embedded image *0";
    again.image = 0;
    again.maps[3].texture = "embedded image *0";
    again.maps[3].image = 0;
    plain.name = "plain";
    plain.diffuse[1] = 0.5f;
    plain.texture = "wood.png";
    m.materials = {raw, again, plain};
    m.notes = {"texture wood.png of material plain not found; its colour is used"};
    m.meshesInFile = m.meshesUsed = 1;
    r.filesRead = {"model.obj", "model.mtl"};
    return r;
}

// Reads the bytes as the import helper's reply, as the viewer reads the helper's pipe (the
// helper runs assimp on a file the user opened, so its reply may be anything): the reader ends
// it as whole, cut short or malformed, never sizing an array beyond the cap; a whole reply's
// model then goes through the viewer's load with the file's materials (embedded images
// included) and must give a whole mesh.
inline std::string ReplyInput(Mesh& mesh, const std::uint8_t* data, std::size_t size) {
    // A cap near the inputs' sizes, so that the cap's rule is met too.
    constexpr std::uint64_t kCap = 1 << 16;
    LOAD_3DS::MemorySource source(data, size);
    LOAD_3DS::ReplyReader reader(source, kCap);
    LOAD_3DS::ImportReply reply;
    bool shareOutside = false;
    const LOAD_3DS::ReplyEnd end = reader.Read(reply, [&](float share) { shareOutside |= !(share >= 0.0f && share <= 1.0f); });
    if (shareOutside) return "a progress share outside [0, 1] was passed on";
    if (reader.BytesRead() > size) return "the reader counted more bytes than there were";
    const LOAD_3DS::ImportedModel& m = reply.model;
    std::uint64_t held = m.positions.capacity() * sizeof(LOAD_3DS::LPoint3) + m.normals.capacity() * sizeof(LOAD_3DS::LPoint3) +
                         m.uvs.capacity() * sizeof(LOAD_3DS::LUV) + m.faces.capacity() * sizeof(LOAD_3DS::LFace) +
                         m.faceMaterials.capacity() * 4 + m.fileNormal.capacity() +
                         m.materials.capacity() * sizeof(LOAD_3DS::FileMaterial) + reply.filesRead.capacity() * sizeof(std::string);
    const auto text = [](const std::string& t) { return t.capacity() > 15 ? t.capacity() : 0; };
    for (const LOAD_3DS::FileMaterial& f : m.materials) {
        held += text(f.name) + text(f.texture);
        for (const LOAD_3DS::FileTexture& t : f.maps) held += text(t.texture);
    }
    held += m.images.capacity() * sizeof(LOAD_3DS::ModelImage) + m.notes.capacity() * sizeof(std::string);
    for (const LOAD_3DS::ModelImage& i : m.images) held += text(i.name) + i.pixels.capacity();
    for (const std::string& n : m.notes) held += text(n);
    for (const std::string& f : reply.filesRead) held += text(f);
    if (held > kCap) return "the reader holds more than its cap";
    if (end != LOAD_3DS::ReplyEnd::kComplete || !reply.ok) return {};
    for (const std::string& f : reply.filesRead)
        if (f.find('\0') != std::string::npos) return "a text with a NUL was taken";
    TIRN_ERROR::BoxRecorder recorder;
    ORVA_GRAPHICS::ModelOptions options;
    options.materials = ORVA_GRAPHICS::Materials::File;
    options.smoothing = (size & 1) ? ORVA_GRAPHICS::Smoothing::Groups : ORVA_GRAPHICS::Smoothing::Position;
    Scratch folder("reply.obj");  // textures are looked up beside it (none is there)
    try {
        ORVA_GRAPHICS::LoadImportedModel(mesh, std::move(reply.model), folder.path, options);
    } catch (const TIRN_ERROR::File_Error&) {
        return CheckOneBox(recorder, "File_Error: ");
    }
    if (!recorder.Boxes().empty()) return "a whole reply's model showed a box";
    return CheckLoadedMesh(mesh);
}

// ------------------------------------------------------------------------- PLY files of ours

// Reads the bytes as a PLY file with our reader (the one the import helper uses for files of
// triangle strips): either it refuses with the viewer's message, or the model it gives has
// every corner inside its vertices, one normal, flag and mapping coordinate per vertex and one
// material per face; that model then loads whole (normals within a crease angle, or the file's).
inline std::string PlyInput(Mesh& mesh, const std::uint8_t* data, std::size_t size) {
    LOAD_3DS::ImportedModel model;
    std::string error;
    const bool declares = LOAD_3DS::PlyDeclaresStrips(data, size);
    (void)declares;
    if (!LOAD_3DS::ReadPly(data, size, "fuzz.ply", model, &error)) {
        if (error.rfind("Can not load fuzz.ply: ", 0) != 0 && error != "There are no triangles in fuzz.ply")
            return "a refused file says '" + error + "'";
        return {};
    }
    const std::size_t V = model.positions.size();
    if (model.normals.size() != V || model.fileNormal.size() != V || model.uvs.size() != V)
        return "not one normal, flag and mapping coordinate per vertex";
    if (model.faces.empty() || model.faceMaterials.size() != model.faces.size() || model.materials.size() != 1)
        return "not one material per face";
    for (const LOAD_3DS::LFace& f : model.faces)
        for (int v : {f.a, f.b, f.c})
            if (v < 0 || std::size_t(v) >= V) return "a face reaches past the vertices";
    TIRN_ERROR::BoxRecorder recorder;
    ORVA_GRAPHICS::ModelOptions options;
    options.materials = ORVA_GRAPHICS::Materials::File;
    options.smoothing = (size & 1) ? ORVA_GRAPHICS::Smoothing::Groups : ORVA_GRAPHICS::Smoothing::Position;
    options.crease = (size & 2) ? 40.0f : -1.0f;
    Scratch folder("fuzz.ply");
    try {
        ORVA_GRAPHICS::LoadImportedModel(mesh, std::move(model), folder.path, options);
    } catch (const TIRN_ERROR::File_Error&) {
        return CheckOneBox(recorder, "File_Error: ");
    }
    if (!recorder.Boxes().empty()) return "a PLY model that loaded showed a box";
    return CheckLoadedMesh(mesh);
}

// ------------------------------------------------------------------------- BMP images

// Reads the bytes as a BMP file into the texture record: either it loads (1) and holds
// width * height pixels, or it refuses with one Image_File_Error box.
inline std::string ImageInput(TEXTURE& texture, const std::uint8_t* data, std::size_t size) {
    TIRN_ERROR::BoxRecorder recorder;
    Scratch file("image.bmp");
    if (!WriteScratch(file.path, data, size)) return {};
    int result = 0;
    try {
        result = texture.LoadBMP(file.path.c_str());
    } catch (const TIRN_ERROR::Image_File_Error&) {
        return CheckOneBox(recorder, "Image_File_Error: ");
    }
    if (result != 1) return "LoadBMP returned " + std::to_string(result);
    if (!recorder.Boxes().empty()) return "an image that loaded showed a box";
    if (texture.width <= 0 || texture.height <= 0 || !texture.pixels) return "a loaded image has no pixels";
    const std::size_t n = std::size_t(texture.width) * std::size_t(texture.height) * 3;
    // A loaded image never holds more pixel bytes than the file had after its headers.
    if (size < 54 || n > size - 54) return "a loaded image holds more pixels than its file";
    // Touch the first and last pixel byte (the sanitizer checks the bounds).
    volatile unsigned char first = texture.pixels[0], last = texture.pixels[n - 1];
    (void)first;
    (void)last;
    return {};
}

}  // namespace redowl_fuzz
