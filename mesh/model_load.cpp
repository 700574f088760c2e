#include "mesh/model_load.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <unordered_map>

#include "errors/errors.h"
#include "loaders/crease.h"
#include "loaders/image.h"
#include "loaders/image_decode.h"
#include "loaders/import.h"
#include "loaders/normals.h"
#include "loaders/obj_material_files.h"
#include "loaders/safe_open.h"
#include "mesh/winding.h"

namespace ORVA_GRAPHICS {

using LOAD_3DS::LFace;
using LOAD_3DS::LPoint3;
using LOAD_3DS::LUV;

namespace {

// A position as its three bit patterns; -0 counts as +0.
struct PositionKey {
    std::uint32_t x, y, z;
    bool operator==(const PositionKey&) const = default;
};
struct PositionHash {
    std::size_t operator()(const PositionKey& k) const {
        std::uint64_t h = k.x * 0x9E3779B97F4A7C15ull;
        h ^= (h >> 29) + k.y * 0xBF58476D1CE4E5B9ull;
        h ^= (h >> 31) + k.z * 0x94D049BB133111EBull;
        return std::size_t(h ^ (h >> 32));
    }
};
std::uint32_t Bits(float v) {
    if (v == 0.0f) v = 0.0f;
    std::uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

// The merged geometry before it becomes a mesh: one normal and one mapping coordinate per
// vertex, faces indexing the merged vertices, and (for the file's materials) one material per
// face.
struct Geometry {
    std::vector<LPoint3> positions;
    std::vector<LPoint3> normals;
    std::vector<LUV> uvs;
    std::vector<LFace> faces;
    std::vector<std::uint32_t> faceMaterials;  // empty, or one index of materials per face
    std::vector<LOAD_3DS::FileMaterial> materials;
};

// Appends mesh m with the reader's normals.
void AppendAsRead(Geometry& g, const LOAD_3DS::LMesh& m) {
    const int base = int(g.positions.size());
    for (int i = 0; i < m.GetVertexCount(); ++i) {
        g.positions.push_back(m.GetVertex(i));
        g.normals.push_back(m.GetNormal(i));
        g.uvs.push_back(m.GetUV(i));
    }
    for (int t = 0; t < m.GetFaceCount(); ++t) {
        const LFace f = m.GetFace(t);
        g.faces.push_back({base + f.a, base + f.b, base + f.c});
    }
}

// Appends a mesh with one normal per face corner (3 per face). A vertex whose corners have
// several normals is split into one copy per distinct normal; corners with equal normals keep
// sharing one vertex, and vertices no face uses are left out.
void AppendWithCornerNormals(Geometry& g, const std::vector<LPoint3>& positions, const std::vector<LUV>& uvs,
                             const std::vector<LFace>& faces, const std::vector<LPoint3>& corner) {
    // head[v]: the newest copy of vertex v (or -1); next[copy - base]: the copy made before it.
    const int base = int(g.positions.size());
    std::vector<int> head(positions.size(), -1), next;
    auto vertexFor = [&](int v, const LPoint3& n) {
        for (int c = head[std::size_t(v)]; c >= 0; c = next[std::size_t(c - base)]) {
            const LPoint3& have = g.normals[std::size_t(c)];
            if (have.x == n.x && have.y == n.y && have.z == n.z) return c;
        }
        const int c = int(g.positions.size());
        g.positions.push_back(positions[std::size_t(v)]);
        g.normals.push_back(n);
        g.uvs.push_back(std::size_t(v) < uvs.size() ? uvs[std::size_t(v)] : LUV{0.0f, 0.0f});
        next.push_back(head[std::size_t(v)]);
        head[std::size_t(v)] = c;
        return c;
    };
    for (std::size_t t = 0; t < faces.size(); ++t)
        g.faces.push_back({vertexFor(faces[t].a, corner[3 * t]), vertexFor(faces[t].b, corner[3 * t + 1]),
                           vertexFor(faces[t].c, corner[3 * t + 2])});
}

// The positions, mapping coordinates and faces of a 3DS mesh.
void MeshArrays(const LOAD_3DS::LMesh& m, std::vector<LPoint3>& positions, std::vector<LUV>& uvs,
                std::vector<LFace>& faces) {
    positions.resize(std::size_t(m.GetVertexCount()));
    uvs.resize(positions.size());
    for (int i = 0; i < m.GetVertexCount(); ++i) {
        positions[std::size_t(i)] = m.GetVertex(i);
        uvs[std::size_t(i)] = m.GetUV(i);
    }
    faces.resize(std::size_t(m.GetFaceCount()));
    for (int t = 0; t < m.GetFaceCount(); ++t) faces[std::size_t(t)] = m.GetFace(t);
}

// Appends mesh m with smoothing-group normals.
void AppendByGroups(Geometry& g, const LOAD_3DS::LMesh& m) {
    std::vector<LPoint3> positions;
    std::vector<LUV> uvs;
    std::vector<LFace> faces;
    MeshArrays(m, positions, uvs, faces);
    std::vector<std::uint32_t> groups(faces.size());
    for (int t = 0; t < m.GetFaceCount(); ++t) groups[std::size_t(t)] = m.GetSmoothingGroup(t);
    AppendWithCornerNormals(g, positions, uvs, faces, GroupCornerNormals(positions, faces, groups));
}

// Appends mesh m with normals smoothed within the crease angle.
void AppendByCrease(Geometry& g, const LOAD_3DS::LMesh& m, float crease) {
    std::vector<LPoint3> positions;
    std::vector<LUV> uvs;
    std::vector<LFace> faces;
    MeshArrays(m, positions, uvs, faces);
    AppendWithCornerNormals(g, positions, uvs, faces, LOAD_3DS::CreaseNormals(positions, faces, crease));
}

// How many of a model's vertices its faces use. Under a tenth is a load-report line: the file's
// faces were most likely not all read (a face element its reader does not know), or it holds
// mostly stray points.
struct VertexUse {
    std::size_t vertices = 0, used = 0;
    void Add(std::size_t count, const std::vector<LFace>& faces) {
        std::vector<bool> seen(count, false);
        for (const LFace& f : faces)
            for (int v : {f.a, f.b, f.c})
                if (v >= 0 && std::size_t(v) < count && !seen[std::size_t(v)]) seen[std::size_t(v)] = true, ++used;
        vertices += count;
    }
    void Note(ModelLoadInfo& info) const {
        if (used * 10 < vertices)
            info.notes.push_back("its faces use " + std::to_string(used) + " of its " + std::to_string(vertices) +
                                 " vertices (under 10%): faces of the file may not have been read");
    }
};

void Place(Geometry& g, const ModelOptions& o) {
    if (o.up != UpAxis::Y) {
        // A quarter or half turn: the file's up axis becomes +y. A rotation keeps the windings.
        const LOAD_3DS::AxisTurn turn = LOAD_3DS::TurnUpright(o.up);
        for (LPoint3& p : g.positions) p = LOAD_3DS::Apply(turn, p);
        for (LPoint3& n : g.normals) n = LOAD_3DS::Apply(turn, n);
    }
    if (o.fit > 0.0f && !g.positions.empty()) {
        LPoint3 lo = g.positions[0], hi = g.positions[0];
        for (const LPoint3& p : g.positions) {
            lo = {std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z)};
            hi = {std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z)};
        }
        const float side = std::max({hi.x - lo.x, hi.y - lo.y, hi.z - lo.z});
        // A model of no extent (one point) is only centred.
        const float scale = side > 0.0f ? o.fit / side : 1.0f;
        const LPoint3 c{(lo.x + hi.x) * 0.5f, (lo.y + hi.y) * 0.5f, (lo.z + hi.z) * 0.5f};
        for (LPoint3& p : g.positions) p = {(p.x - c.x) * scale, (p.y - c.y) * scale, (p.z - c.z) * scale};
    }
    if (o.onFloor && !g.faces.empty()) {
        // The lowest corner of a face (a vertex no face uses does not hold the model up).
        float lowest = std::numeric_limits<float>::infinity();
        for (const LFace& f : g.faces)
            for (int v : {f.a, f.b, f.c}) lowest = std::min(lowest, g.positions[std::size_t(v)].y);
        if (std::isfinite(lowest))
            for (LPoint3& p : g.positions) p.y += o.floorY - lowest;
    }
    for (LPoint3& p : g.positions) p = {p.x + o.offset[0], p.y + o.offset[1], p.z + o.offset[2]};
}

}  // namespace

std::vector<LPoint3> GroupCornerNormals(const std::vector<LPoint3>& positions, const std::vector<LFace>& faces,
                                        const std::vector<std::uint32_t>& groups) {
    // Per position, the sum of the face normals of each distinct group mask among the faces
    // touching it. A corner then adds the sums of the masks that intersect its face's: the same
    // faces as a pairwise search, in time linear in the corners for ordinary files.
    struct MaskSum {
        std::uint32_t mask;
        LPoint3 sum;
    };
    std::unordered_map<PositionKey, int, PositionHash> ids;
    ids.reserve(positions.size());
    std::vector<int> positionOf(positions.size());
    for (std::size_t v = 0; v < positions.size(); ++v) {
        const LPoint3& p = positions[v];
        positionOf[v] = ids.emplace(PositionKey{Bits(p.x), Bits(p.y), Bits(p.z)}, int(ids.size())).first->second;
    }
    std::vector<std::vector<MaskSum>> sums(ids.size());
    std::vector<std::size_t> lastFace(ids.size(), faces.size());  // each face once per position
    std::vector<LPoint3> faceNormals(faces.size());
    for (std::size_t f = 0; f < faces.size(); ++f) {
        faceNormals[f] = LOAD_3DS::FaceNormal(positions, faces[f]);
        const std::uint32_t mask = f < groups.size() ? groups[f] : 0u;
        if (mask == 0) continue;
        for (int v : {faces[f].a, faces[f].b, faces[f].c}) {
            const int id = positionOf[std::size_t(v)];
            if (lastFace[std::size_t(id)] == f) continue;
            lastFace[std::size_t(id)] = f;
            std::vector<MaskSum>& list = sums[std::size_t(id)];
            auto it = std::find_if(list.begin(), list.end(), [&](const MaskSum& s) { return s.mask == mask; });
            if (it == list.end()) list.push_back({mask, faceNormals[f]});
            else it->sum = LOAD_3DS::Add(it->sum, faceNormals[f]);
        }
    }
    std::vector<LPoint3> corners(faces.size() * 3);
    for (std::size_t f = 0; f < faces.size(); ++f) {
        const std::uint32_t mask = f < groups.size() ? groups[f] : 0u;
        const int vs[3] = {faces[f].a, faces[f].b, faces[f].c};
        for (int k = 0; k < 3; ++k) {
            if (mask == 0) {
                corners[3 * f + k] = faceNormals[f];
                continue;
            }
            LPoint3 sum{0.0f, 0.0f, 0.0f};
            for (const MaskSum& s : sums[std::size_t(positionOf[std::size_t(vs[k])])])
                if (s.mask & mask) sum = LOAD_3DS::Add(sum, s.sum);
            corners[3 * f + k] = LOAD_3DS::Normalise(sum);
        }
    }
    return corners;
}

bool Is3DSFile(const std::string& fileName) {
    std::string ext = std::filesystem::path(fileName).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".3ds") return true;
    // A 3DS file begins with its main chunk, id 0x4D4D little-endian, whatever its name.
    unsigned char id[2] = {0, 0};
    if (std::FILE* f = LOAD_3DS::OpenRegularStream(fileName, LOAD_3DS::ImpliedFolder(fileName), nullptr)) {
        const std::size_t got = std::fread(id, 1, sizeof id, f);
        std::fclose(f);
        return got == sizeof id && id[0] == 0x4D && id[1] == 0x4D;
    }
    return false;
}

namespace {

// The 3DS file's meshes as options say, with the reader's materials when asked for.
ModelLoadInfo Read3DS(Geometry& g, const std::string& fileName, const ModelOptions& options) {
    using TIRN_ERROR::L3DS_Error;
    LOAD_3DS::L3DS reader;
    if (!reader.LoadFromFile(fileName)) throw L3DS_Error("Can not load " + fileName);
    ModelLoadInfo info;
    info.meshesInFile = reader.GetMeshCount();
    if (info.meshesInFile <= 0) throw L3DS_Error("There are no meshes in " + fileName);

    // The meshes used: the first, or every mesh that has vertices.
    std::vector<const LOAD_3DS::LMesh*> used;
    for (int i = 0; i < (options.allMeshes ? info.meshesInFile : 1); ++i) {
        const LOAD_3DS::LMesh* m = reader.GetMesh(i);
        if (m->GetVertexCount() > 0 || !options.allMeshes) used.push_back(m);
    }
    if (used.empty() || used[0]->GetVertexCount() <= 0) throw L3DS_Error("There are no vertices in " + fileName);
    // Every corner must name a vertex of its own mesh: the triangles point into the vertices.
    for (const LOAD_3DS::LMesh* m : used) {
        const int V = m->GetVertexCount();
        for (int t = 0; t < m->GetFaceCount(); ++t) {
            const LFace f = m->GetFace(t);
            if (f.a < 0 || f.a >= V || f.b < 0 || f.b >= V || f.c < 0 || f.c >= V)
                throw L3DS_Error("Face index out of range in " + fileName);
        }
    }
    info.meshesUsed = int(used.size());

    VertexUse use;
    for (const LOAD_3DS::LMesh* m : used) {
        std::vector<LFace> faces(std::size_t(m->GetFaceCount()));
        for (int t = 0; t < m->GetFaceCount(); ++t) faces[std::size_t(t)] = m->GetFace(t);
        use.Add(std::size_t(m->GetVertexCount()), faces);
        if (options.smoothing == Smoothing::Groups && m->HasSmoothingGroups())
            AppendByGroups(g, *m);
        else if (options.crease >= 0.0f)
            AppendByCrease(g, *m, options.crease);
        else
            AppendAsRead(g, *m);
    }
    use.Note(info);
    if (options.materials == Materials::File) {
        // The file's materials by name; faces of no material, or of a name the file does not
        // define, get the plain material after them.
        for (int k = 0; k < reader.GetMaterialCount(); ++k) {
            const LOAD_3DS::LMaterial& lm = *reader.GetMaterial(k);
            LOAD_3DS::FileMaterial fm;
            fm.name = lm.name;
            if (lm.hasDiffuse) std::copy(lm.diffuse, lm.diffuse + 3, fm.diffuse);
            fm.texture = lm.texture;
            if (lm.hasSpecular) LOAD_3DS::SetPhongHighlight(fm, lm.specular, lm.shininessStrength, 100.0f * lm.shininess);
            fm.opacity = 1.0f - lm.transparency;
            fm.mirror = lm.reflection;
            for (int k = 0; k < 3; ++k) fm.emission[k] = lm.diffuse[k] * lm.selfIllumination;
            g.materials.push_back(std::move(fm));
        }
        const std::uint32_t plain = std::uint32_t(g.materials.size());
        bool plainUsed = false;
        for (const LOAD_3DS::LMesh* m : used) {
            std::vector<std::uint32_t> byName;  // the mesh's material names as material indices
            for (const std::string& name : m->MaterialNames()) {
                std::uint32_t index = plain;
                for (int k = reader.GetMaterialCount(); k-- > 0;)
                    if (reader.GetMaterial(k)->name == name) index = std::uint32_t(k);
                byName.push_back(index);
            }
            for (int t = 0; t < m->GetFaceCount(); ++t) {
                const int named = m->GetFaceMaterial(t);
                const std::uint32_t index = named >= 0 && std::size_t(named) < byName.size() ? byName[std::size_t(named)] : plain;
                plainUsed = plainUsed || index == plain;
                g.faceMaterials.push_back(index);
            }
        }
        if (plainUsed) g.materials.emplace_back();
    }
    return info;
}

// Any other format, through assimp (or the model kept from measuring it).
ModelLoadInfo ReadImported(Geometry& g, const std::string& fileName, const ModelOptions& options,
                           const LoadProgress& progress);

// An imported model as geometry: smooth normals where the file's are not used.
ModelLoadInfo FromImported(Geometry& g, LOAD_3DS::ImportedModel& model, const ModelOptions& options,
                           const LoadProgress& progress) {
    ModelLoadInfo info;
    info.meshesInFile = model.meshesInFile;
    info.meshesUsed = model.meshesUsed;
    info.droppedPrimitives = model.dropped;
    info.nonFinite = model.nonFinite;
    if (progress) progress("normals", 0.0f);
    VertexUse use;
    use.Add(model.positions.size(), model.faces);
    use.Note(info);
    // The file's normals where its meshes have them and the author's are asked for; computed
    // normals everywhere else.
    const bool fileNormals = options.smoothing == Smoothing::Groups;
    const std::size_t V = model.positions.size();
    // A file normal of no direction (zero length, or not finite) would shade black and poison the
    // settling picture: such a vertex takes the normal computed from its faces instead.
    long long replaced = 0;
    for (std::size_t v = 0; v < V && fileNormals; ++v) {
        const LPoint3& n = model.normals[v];
        const float length2 = n.x * n.x + n.y * n.y + n.z * n.z;
        if (model.fileNormal[v] && !(length2 > 1e-20f && std::isfinite(length2))) {
            model.fileNormal[v] = 0;
            ++replaced;
        }
    }
    if (replaced > 0)
        info.notes.push_back(std::to_string(replaced) + " file normal" + (replaced == 1 ? "" : "s") +
                             " of zero length or not finite: replaced by normals from the faces");
    info.replacedNormals = replaced;
    bool allFromFile = fileNormals;
    for (std::size_t v = 0; v < V && allFromFile; ++v) allFromFile = model.fileNormal[v] != 0;
    if (!allFromFile && options.crease >= 0.0f) {
        // Within the crease angle, corner by corner: vertices split where their corners differ.
        std::vector<LPoint3> corner = LOAD_3DS::CreaseNormals(model.positions, model.faces, options.crease);
        for (std::size_t c = 0; c < corner.size() && fileNormals; ++c) {
            const LFace& f = model.faces[c / 3];
            const int v = c % 3 == 0 ? f.a : c % 3 == 1 ? f.b : f.c;
            if (model.fileNormal[std::size_t(v)]) corner[c] = model.normals[std::size_t(v)];
        }
        AppendWithCornerNormals(g, model.positions, model.uvs, model.faces, corner);
    } else {
        if (!allFromFile) {
            std::vector<LPoint3> smooth = LOAD_3DS::SmoothNormals(model.positions, model.faces);
            for (std::size_t v = 0; v < V; ++v)
                if (!fileNormals || !model.fileNormal[v]) model.normals[v] = smooth[v];
        }
        g.positions = std::move(model.positions);
        g.normals = std::move(model.normals);
        g.uvs = std::move(model.uvs);
        g.faces = std::move(model.faces);
    }
    if (options.materials == Materials::File) {
        g.faceMaterials = std::move(model.faceMaterials);
        g.materials = std::move(model.materials);
    }
    return info;
}

ModelLoadInfo ReadImported(Geometry& g, const std::string& fileName, const ModelOptions& options,
                           const LoadProgress& progress) {
    LOAD_3DS::ImportedModel model;
    if (!LOAD_3DS::TakeImported(fileName, model)) {
        LOAD_3DS::ImportRequest request;
        if (progress) request.progress = [&progress](float share) { progress("reading", share); };
        std::string error;
        if (!LOAD_3DS::ImportModel(fileName, model, &error, request)) throw TIRN_ERROR::File_Error(error);
    }
    ModelLoadInfo info = FromImported(g, model, options, progress);
    // An OBJ's material files that are not there, which the import passes over in silence.
    if (options.materials == Materials::File)
        for (std::string& note : LOAD_3DS::MaterialFileNotes(fileName)) info.notes.push_back(std::move(note));
    return info;
}

// The file's materials on the mesh: triangles sorted by material (stable), one batch per run,
// each texture looked up beside the model and read into a record of its own (one record per
// file, however many materials name it).
void ApplyFileMaterials(Mesh& mesh, Geometry& g, const std::string& fileName, ModelLoadInfo& info,
                        const LoadProgress& progress) {
    const std::size_t F = g.faces.size();
    const std::size_t M = std::max<std::size_t>(g.materials.size(), 1);
    if (g.materials.empty()) g.materials.emplace_back();
    // Counting sort of the faces by material.
    std::vector<std::size_t> start(M + 1, 0);
    for (std::size_t f = 0; f < F; ++f) ++start[std::min<std::size_t>(g.faceMaterials[f], M - 1) + 1];
    for (std::size_t m = 0; m < M; ++m) start[m + 1] += start[m];
    std::vector<std::size_t> order(F);
    {
        std::vector<std::size_t> fill(start.begin(), start.end() - 1);
        for (std::size_t f = 0; f < F; ++f) order[fill[std::min<std::size_t>(g.faceMaterials[f], M - 1)]++] = f;
    }
    std::vector<LFace> faces(F);
    for (std::size_t k = 0; k < F; ++k) faces[k] = g.faces[order[k]];
    g.faces = std::move(faces);

    // Textures, then the materials that use them.
    if (progress) progress("textures", 0.0f);
    const std::string folder = std::filesystem::path(fileName).parent_path().string();
    mesh.textures.resize(1);
    std::map<std::string, int> records;  // file (or embedded name) -> record
    std::vector<Material> materials;
    // The record of one texture of a material (its alpha channel as grey with alpha), read once
    // per file and kind however many materials name it; -1 when it cannot be had (a note says why).
    const auto recordOf = [&](const LOAD_3DS::FileTexture& t, const std::string& what, bool alpha) -> int {
        const bool embedded = !t.embedded.empty();
        const std::string found = embedded ? t.texture : LOAD_3DS::FindTextureFile(folder, t.texture);
        if (found.empty()) {
            info.notes.push_back("texture " + t.texture + " of " + what + " not found; its colour is used");
            return -1;
        }
        const std::string key = alpha ? found + "\n(alpha)" : found;
        if (auto it = records.find(key); it != records.end()) return it->second;
        TEXTURE record;
        std::string error;
        bool ok = true;
        if (embedded && t.embeddedWidth > 0) {
            // Raw red, green, blue pixels (no alpha), top row first, as many as the size says.
            ok = !alpha && t.embeddedWidth <= LOAD_3DS::kMaxImageSide && t.embeddedHeight > 0 &&
                 t.embeddedHeight <= LOAD_3DS::kMaxImageSide &&
                 t.embedded.size() == std::size_t(t.embeddedWidth) * std::size_t(t.embeddedHeight) * 3;
            error = found + " is not the image its size says";
            if (ok) {
                const std::size_t row = std::size_t(t.embeddedWidth) * 3;
                record.width = t.embeddedWidth;
                record.height = t.embeddedHeight;
                record.fileName = found;
                record.pixels = new unsigned char[row * std::size_t(t.embeddedHeight)];
                for (int y = 0; y < t.embeddedHeight; ++y)
                    std::memcpy(record.pixels + std::size_t(t.embeddedHeight - 1 - y) * row,
                                t.embedded.data() + std::size_t(y) * row, row);
            }
        } else {
            std::vector<unsigned char> file;
            const std::vector<unsigned char>* bytes = &t.embedded;
            if (!embedded) {
                ok = LOAD_3DS::ReadImageBytesInside(folder, found, file, &error);
                bytes = &file;
            }
            LOAD_3DS::DecodedImage image;
            ok = ok && LOAD_3DS::DecodeImage(bytes->data(), bytes->size(), found, image, &error);
            if (ok && alpha && !image.hasAlpha) ok = false;
            if (ok) LOAD_3DS::ToTexture(image, found, record, alpha);
        }
        int index = -1;
        if (ok) {
            index = int(mesh.textures.size());
            mesh.textures.push_back(std::move(record));
            ++info.textures;
        } else if (!alpha) {
            info.notes.push_back("texture of " + what + ": " + error + "; its colour is used");
        }
        records[key] = index;
        return index;
    };
    for (std::size_t m = 0; m < M; ++m) {
        const LOAD_3DS::FileMaterial& fm = g.materials[m];
        Material out;
        out.name = fm.name;
        std::copy(fm.diffuse, fm.diffuse + 3, out.diffuse);
        std::copy(fm.tint, fm.tint + 3, out.tint);
        out.described = true;
        static_cast<LOAD_3DS::SurfaceReflection&>(out) = fm;
        const std::string what = "material " + (fm.name.empty() ? std::to_string(m) : fm.name);
        LOAD_3DS::FileTexture base{fm.texture, fm.embedded, fm.embeddedWidth, fm.embeddedHeight};
        if (!base.Empty()) {
            out.texture = recordOf(base, what, false);
            if (fm.baseAlpha && out.texture >= 0) out.maps[kOpacityMap] = recordOf(base, what, true);
        }
        for (int k = 0; k < kMapCount; ++k)
            if (!fm.maps[k].Empty() && out.maps[k] < 0) out.maps[k] = recordOf(fm.maps[k], what, false);
        materials.push_back(std::move(out));
    }
    mesh.materials = std::move(materials);
    mesh.BindMaterialImages();

    // Per-triangle materials and the batches, in the sorted order.
    mesh.triangleMaterials.resize(F);
    mesh.batches.clear();
    for (std::size_t m = 0; m < M; ++m) {
        if (start[m + 1] == start[m]) continue;
        ++info.materials;
        mesh.batches.push_back({std::uint32_t(m), std::uint32_t(start[m]), std::uint32_t(start[m + 1] - start[m])});
        std::fill(mesh.triangleMaterials.begin() + std::ptrdiff_t(start[m]),
                  mesh.triangleMaterials.begin() + std::ptrdiff_t(start[m + 1]), std::uint32_t(m));
    }
}

}  // namespace

namespace {

// The geometry placed and made the mesh's, with the file's materials looked up beside fileName.
void Finish(Mesh& mesh, Geometry& g, ModelLoadInfo& info, const std::string& fileName, const ModelOptions& options,
            const LoadProgress& progress) {
    Place(g, options);
    // A closed surface wound inside out is turned (a model in its file's materials: the scenes'
    // own sky domes face inward on purpose); faces meant to be seen from both sides get back
    // faces of their own.
    if (options.materials == Materials::File && TurnInwardFaces(g.positions, g.faces, g.normals))
        info.notes.push_back("faces wind inwards: turned");
    std::vector<bool> both(g.faces.size(), options.sides == Sides::Both);
    if (options.materials == Materials::File && g.faceMaterials.size() == g.faces.size())
        for (std::size_t f = 0; f < g.faces.size(); ++f)
            both[f] = both[f] || (g.faceMaterials[f] < g.materials.size() && g.materials[g.faceMaterials[f]].twoSided);
    AddBackFaces(g.positions, g.normals, g.uvs, g.faces, g.faceMaterials, both);

    const unsigned V = unsigned(g.positions.size());
    const unsigned F = unsigned(g.faces.size());
    // The materials first (they sort the faces); the mesh's own arrays change only after them.
    const bool file = options.materials == Materials::File;
    std::unique_ptr<Mesh> staged(file ? new Mesh : nullptr);
    if (file) ApplyFileMaterials(*staged, g, fileName, info, progress);
    mesh.Allocate(V, 3u * F, F);
    for (unsigned i = 0; i < V; ++i) {
        VERTEX& out = mesh.vertices[i];
        out.position.x = g.positions[i].x;
        out.position.y = g.positions[i].y;
        out.position.z = g.positions[i].z;
        out.normal.x = g.normals[i].x;
        out.normal.y = g.normals[i].y;
        out.normal.z = g.normals[i].z;
        out.u = g.uvs[i].u;
        out.v = g.uvs[i].v;
    }
    for (unsigned t = 0; t < F; ++t) {
        const LFace& f = g.faces[t];
        mesh.indices[3 * t] = unsigned(f.a);
        mesh.indices[3 * t + 1] = unsigned(f.b);
        mesh.indices[3 * t + 2] = unsigned(f.c);
        mesh.triangles[t].A = mesh.vertices + f.a;
        mesh.triangles[t].B = mesh.vertices + f.b;
        mesh.triangles[t].C = mesh.vertices + f.c;
    }
    if (file) {
        // Record 0 (the fixed texture, already given) stays; the file's records follow it.
        mesh.textures.resize(1);
        mesh.textures.reserve(staged->textures.size());
        for (std::size_t k = 1; k < staged->textures.size(); ++k) mesh.textures.push_back(staged->textures[k]);
        mesh.materials = std::move(staged->materials);
        mesh.triangleMaterials = std::move(staged->triangleMaterials);
        mesh.batches = std::move(staged->batches);
        mesh.BindMaterialImages();
    } else {
        mesh.UseFixedMaterial();
    }
}

}  // namespace

ModelLoadInfo LoadModel(Mesh& mesh, const std::string& fileName, const ModelOptions& options,
                        const LoadProgress& progress) {
    Geometry g;
    ModelLoadInfo info = Is3DSFile(fileName) ? Read3DS(g, fileName, options) : ReadImported(g, fileName, options, progress);
    Finish(mesh, g, info, fileName, options, progress);
    return info;
}

ModelLoadInfo LoadImportedModel(Mesh& mesh, LOAD_3DS::ImportedModel&& model, const std::string& fileName,
                                const ModelOptions& options) {
    Geometry g;
    ModelLoadInfo info = FromImported(g, model, options, {});
    Finish(mesh, g, info, fileName, options, {});
    return info;
}

}  // namespace ORVA_GRAPHICS
