#include "loaders/import.h"

#include <assimp/DefaultIOSystem.h>
#include <assimp/IOStream.hpp>
#include <assimp/IOSystem.hpp>
#include <assimp/Importer.hpp>
#include <assimp/ProgressHandler.hpp>
#include <assimp/material.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <utility>

namespace LOAD_3DS {

namespace {

namespace fs = std::filesystem;

// Largest model taken, in vertices and in faces (the face corners are 32-bit signed).
constexpr std::size_t kMaxVertices = std::size_t(1) << 30;
constexpr std::size_t kMaxFaces = std::size_t(1) << 29;
// Nodes visited at most: a node graph that repeats meshes beyond this is refused.
constexpr std::size_t kMaxNodeVisits = std::size_t(1) << 20;

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Records the files assimp opens, and opens them as the default system does.
class RecordingIO : public Assimp::DefaultIOSystem {
public:
    std::vector<std::string>* record = nullptr;
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        Assimp::IOStream* s = Assimp::DefaultIOSystem::Open(file, mode);
        if (s && record) record->push_back(file);
        return s;
    }
};

class Progress : public Assimp::ProgressHandler {
public:
    std::function<void(float)> callback;
    bool Update(float share) override {
        if (callback && share >= 0.0f) callback(std::min(share, 1.0f));
        return true;  // never cancel
    }
};

// One importer per thread: building one registers every format's reader, which would cost more
// than reading a small file.
struct ThreadImporter {
    Assimp::Importer importer;
    RecordingIO* io = new RecordingIO;
    Progress* progress = new Progress;
    ThreadImporter() {
        importer.SetIOHandler(io);             // owned by the importer
        importer.SetProgressHandler(progress);  // likewise
    }
};
ThreadImporter& Importer() {
    thread_local ThreadImporter importer;
    return importer;
}

// Post-processing: polygons into triangles, mapping coordinates made where the file maps by
// projection and carried through its texture transforms. Vertices are joined here, not by
// assimp (whose joining step costs more than the whole import of a large file).
constexpr unsigned kSteps = aiProcess_Triangulate | aiProcess_GenUVCoords | aiProcess_TransformUVCoords;

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

void Colour(const aiColor4D& c, float out[3]) {
    out[0] = std::isfinite(c.r) ? std::clamp(c.r, 0.0f, 1.0f) : 0.0f;
    out[1] = std::isfinite(c.g) ? std::clamp(c.g, 0.0f, 1.0f) : 0.0f;
    out[2] = std::isfinite(c.b) ? std::clamp(c.b, 0.0f, 1.0f) : 0.0f;
}

FileMaterial ConvertMaterial(const aiScene& scene, const aiMaterial& m, bool factorTints, bool madeUp) {
    FileMaterial out;
    aiString name;
    if (m.Get(AI_MATKEY_NAME, name) == AI_SUCCESS) out.name = name.C_Str();
    aiColor4D c;
    // The material assimp makes for a file that has none (STL, OBJ without MTL: named so; PLY
    // without a material element: unnamed and white) keeps the plain clay colour, as faces of
    // no material in a 3DS file do.
    const bool made = madeUp || out.name == AI_DEFAULT_MATERIAL_NAME;
    if (!made && (m.Get(AI_MATKEY_BASE_COLOR, c) == AI_SUCCESS || m.Get(AI_MATKEY_COLOR_DIFFUSE, c) == AI_SUCCESS))
        Colour(c, out.diffuse);
    aiString path;
    if (m.GetTexture(aiTextureType_BASE_COLOR, 0, &path) == AI_SUCCESS ||
        m.GetTexture(aiTextureType_DIFFUSE, 0, &path) == AI_SUCCESS) {
        out.texture = path.C_Str();
        if (factorTints) std::copy(out.diffuse, out.diffuse + 3, out.tint);
        if (const aiTexture* t = scene.GetEmbeddedTexture(path.C_Str()); t && t->pcData) {
            if (t->mHeight == 0) {
                const auto* bytes = reinterpret_cast<const unsigned char*>(t->pcData);
                out.embedded.assign(bytes, bytes + t->mWidth);
            } else if (t->mWidth <= 16384 && t->mHeight <= 16384) {
                out.embeddedWidth = int(t->mWidth);
                out.embeddedHeight = int(t->mHeight);
                out.embedded.resize(std::size_t(t->mWidth) * t->mHeight * 3);
                for (std::size_t i = 0; i < std::size_t(t->mWidth) * t->mHeight; ++i) {
                    out.embedded[3 * i] = t->pcData[i].r;
                    out.embedded[3 * i + 1] = t->pcData[i].g;
                    out.embedded[3 * i + 2] = t->pcData[i].b;
                }
            }
            if (out.texture.empty() || out.texture[0] == '*') out.texture = "embedded image " + out.texture;
        }
    }
    return out;
}

// Joins vertices equal in position, normal and mapping coordinate (bit for bit): files that
// store every face corner apart (OBJ, STL) then share their vertices as indexed files do.
// An open-addressing table over the new vertices; linear time.
class VertexJoiner {
public:
    explicit VertexJoiner(std::size_t expected) {
        std::size_t size = 16;
        while (size < expected * 2) size <<= 1;
        slots_.assign(size, kEmpty);
    }
    // The index of an equal vertex already in out from `first` on, or of v appended to out.
    std::uint32_t Add(ImportedModel& out, std::size_t first, const LPoint3& p, const LPoint3& n, const LUV& uv) {
        std::uint32_t words[8];
        std::memcpy(words, &p, 12);
        std::memcpy(words + 3, &n, 12);
        std::memcpy(words + 6, &uv, 8);
        std::uint64_t h = 0x9E3779B97F4A7C15ull;
        for (std::uint32_t w : words) h = (h ^ w) * 0xBF58476D1CE4E5B9ull, h ^= h >> 31;
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t s = std::size_t(h) & mask;; s = (s + 1) & mask) {
            if (slots_[s] == kEmpty) {
                const std::uint32_t index = std::uint32_t(out.positions.size());
                slots_[s] = index;
                out.positions.push_back(p);
                out.normals.push_back(n);
                out.uvs.push_back(uv);
                return index;
            }
            const std::uint32_t at = slots_[s];
            if (at >= first && std::memcmp(&out.positions[at], &p, 12) == 0 && std::memcmp(&out.normals[at], &n, 12) == 0 &&
                std::memcmp(&out.uvs[at], &uv, 8) == 0)
                return at;
        }
    }

private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    std::vector<std::uint32_t> slots_;
};

// One instance of mesh m, placed by the node transform T; false when the model grows too large.
bool AppendMesh(const aiMesh& m, const aiMatrix4x4& T, unsigned materialCount, ImportedModel& out) {
    if (!m.mVertices || m.mNumVertices == 0 || !m.mFaces) return true;
    // Faces with three corners only: points and lines are left out.
    std::size_t triangles = 0;
    for (unsigned f = 0; f < m.mNumFaces; ++f) triangles += m.mFaces[f].mNumIndices == 3 ? 1 : 0;
    out.dropped += (long long)(m.mNumFaces - triangles);
    if (triangles == 0) return true;
    if (out.positions.size() + m.mNumVertices > kMaxVertices || out.faces.size() + triangles > kMaxFaces) return false;

    // Normals are carried by the inverse transpose of the transform's linear part.
    aiMatrix3x3 N(T);
    N.Inverse().Transpose();
    const bool hasNormals = m.mNormals != nullptr;
    const bool hasUVs = m.mTextureCoords[0] != nullptr;
    const std::uint32_t material = m.mMaterialIndex < materialCount ? m.mMaterialIndex : 0u;
    const std::size_t first = out.positions.size();
    // A mesh of more vertices than faces stores its corners apart: join them.
    const bool join = m.mNumVertices > m.mNumFaces;
    std::unique_ptr<VertexJoiner> joiner(join ? new VertexJoiner(m.mNumVertices) : nullptr);
    std::vector<std::uint32_t> remap(join ? m.mNumVertices : 0);
    if (!join) {
        out.positions.reserve(first + m.mNumVertices);
        out.normals.reserve(first + m.mNumVertices);
        out.uvs.reserve(first + m.mNumVertices);
    }
    for (unsigned v = 0; v < m.mNumVertices; ++v) {
        const aiVector3D p = T * m.mVertices[v];
        LPoint3 n{0.0f, 0.0f, 0.0f};
        if (hasNormals) {
            aiVector3D q = N * m.mNormals[v];
            const float l = q.Length();
            if (l > 0.0f && std::isfinite(l)) q /= l;
            n = {q.x, q.y, q.z};
        }
        const LUV uv = hasUVs ? LUV{m.mTextureCoords[0][v].x, m.mTextureCoords[0][v].y} : LUV{0.0f, 0.0f};
        if (join) {
            remap[v] = joiner->Add(out, first, {p.x, p.y, p.z}, n, uv);
        } else {
            out.positions.push_back({p.x, p.y, p.z});
            out.normals.push_back(n);
            out.uvs.push_back(uv);
        }
    }
    out.fileNormal.resize(out.positions.size(), hasNormals ? 1 : 0);
    out.faces.reserve(out.faces.size() + triangles);
    out.faceMaterials.reserve(out.faces.size() + triangles);
    for (unsigned f = 0; f < m.mNumFaces; ++f) {
        const aiFace& face = m.mFaces[f];
        if (face.mNumIndices != 3 || !face.mIndices) continue;
        int c[3];
        bool finite = true;
        for (int k = 0; k < 3; ++k) {
            const unsigned i = face.mIndices[k];
            if (i >= m.mNumVertices) return false;  // a corner outside its mesh: malformed
            c[k] = int(join ? remap[i] : first + i);
            const LPoint3& p = out.positions[std::size_t(c[k])];
            finite = finite && std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z);
        }
        if (!finite) {
            ++out.nonFinite;
            continue;
        }
        out.faces.push_back({c[0], c[1], c[2]});
        out.faceMaterials.push_back(material);
    }
    return true;
}

}  // namespace

// Every mesh instance of the node tree, each placed by the product of its nodes' transforms.
bool ConvertScene(const aiScene& scene, const SceneKind& kind, ImportedModel& out, std::string* error,
                  const std::string& name) {
    out = ImportedModel{};
    out.meshesInFile = int(std::min<unsigned>(scene.mNumMeshes, unsigned(std::numeric_limits<int>::max())));
    for (unsigned i = 0; i < scene.mNumMaterials; ++i)
        out.materials.push_back(scene.mMaterials[i]
                                    ? ConvertMaterial(scene, *scene.mMaterials[i], kind.factorTints, kind.materialsMadeUp)
                                    : FileMaterial{});
    if (out.materials.empty()) out.materials.emplace_back();
    const unsigned materialCount = unsigned(out.materials.size());

    std::vector<std::pair<const aiNode*, aiMatrix4x4>> stack;
    if (scene.mRootNode) stack.push_back({scene.mRootNode, scene.mRootNode->mTransformation});
    std::size_t visits = 0;
    bool ok = true;
    std::vector<bool> used(scene.mNumMeshes, false);
    while (!stack.empty() && ok) {
        auto [node, T] = stack.back();
        stack.pop_back();
        if (++visits > kMaxNodeVisits) return Fail(error, "Can not load " + name + ": its node tree is too large");
        for (unsigned k = 0; k < node->mNumMeshes && ok; ++k) {
            const unsigned mesh = node->mMeshes[k];
            if (mesh >= scene.mNumMeshes || !scene.mMeshes[mesh]) continue;
            const std::size_t before = out.faces.size();
            ok = AppendMesh(*scene.mMeshes[mesh], T, materialCount, out);
            if (out.faces.size() > before && !used[mesh]) {
                used[mesh] = true;
                ++out.meshesUsed;
            }
        }
        for (unsigned c = node->mNumChildren; c-- > 0;)
            if (node->mChildren[c]) stack.push_back({node->mChildren[c], T * node->mChildren[c]->mTransformation});
    }
    if (!ok) return Fail(error, "Can not load " + name + ": its meshes are too large or malformed");
    if (out.faces.empty()) return Fail(error, "There are no triangles in " + name);
    return true;
}

SceneKind KindOf(const std::string& file) {
    SceneKind kind;
    const std::string e = Lower(fs::path(file).extension().string());
    kind.factorTints = e == ".gltf" || e == ".glb";
    if (e == ".ply") {
        // A PLY file defines materials only in an element of its header; without one, the
        // material assimp hands over is its own (unnamed, white).
        std::string header(1 << 16, '\0');
        std::FILE* f = std::fopen(file.c_str(), "rb");
        header.resize(f ? std::fread(header.data(), 1, header.size(), f) : 0);
        if (f) std::fclose(f);
        header.resize(std::min(header.size(), header.find("end_header")));
        kind.materialsMadeUp = header.find("\nelement material") == std::string::npos &&
                               header.find("\relement material") == std::string::npos;
    }
    return kind;
}

namespace {

struct Kept {
    std::string file;
    fs::file_time_type time;
    std::uintmax_t size = 0;
    ImportedModel model;
    bool full = false;
};
Kept& Store() {
    static Kept kept;
    return kept;
}

}  // namespace

bool IsImportFormat(const std::string& file) {
    const std::string ext = Lower(fs::path(file).extension().string());
    if (ext.empty() || ext == ".3ds") return false;
    return Importer().importer.IsExtensionSupported(ext);
}

std::string ImportExtensions() {
    std::string list;
    Importer().importer.GetExtensionList(list);
    return list;
}

// The import in this process.
static bool ImportInProcess(const std::string& file, ImportedModel& out, std::string* error,
                            const ImportRequest& request) {
    ThreadImporter& t = Importer();
    t.io->record = request.filesRead;
    t.progress->callback = request.progress;
    const aiScene* scene = t.importer.ReadFile(file, kSteps);
    t.io->record = nullptr;
    t.progress->callback = nullptr;
    if (!scene) {
        std::string why = t.importer.GetErrorString();
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
        return Fail(error, "Can not load " + file + (why.empty() ? std::string() : ": " + why));
    }
    const bool ok = ConvertScene(*scene, KindOf(file), out, error, file);
    t.importer.FreeScene();
    return ok;
}

// ---- The import in a child process ---------------------------------------------------------
// assimp's readers crash or abort on some malformed files (found by the fuzz target: a PLY
// whose reader aborts, an ASE whose reader reads through a wild pointer). The viewer must
// survive any file, so the reading happens in a child process, which sends the triangle list
// back through a pipe; a child that dies is a refusal with a message, not the viewer's end.

namespace {

class PipeWriter {
public:
    explicit PipeWriter(int fd) : fd_(fd) {}
    ~PipeWriter() { Flush(); }
    void Bytes(const void* data, std::size_t n) {
        const auto* p = static_cast<const unsigned char*>(data);
        if (buffer_.size() + n > kChunk) Flush();
        if (n >= kChunk) return Write(p, n);
        buffer_.insert(buffer_.end(), p, p + n);
    }
    template <class T>
    void Value(const T& v) { Bytes(&v, sizeof v); }
    void Text(const std::string& t) {
        Value(std::uint64_t(t.size()));
        Bytes(t.data(), t.size());
    }
    template <class T>
    void Array(const std::vector<T>& v) {
        Value(std::uint64_t(v.size()));
        Bytes(v.data(), v.size() * sizeof(T));
    }
    void Flush() {
        if (!buffer_.empty()) Write(buffer_.data(), buffer_.size());
        buffer_.clear();
    }

private:
    static constexpr std::size_t kChunk = 1 << 16;
    void Write(const unsigned char* p, std::size_t n) {
        while (n > 0) {
            const ssize_t k = ::write(fd_, p, n);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) _exit(3);  // the viewer went away
            p += k;
            n -= std::size_t(k);
        }
    }
    int fd_;
    std::vector<unsigned char> buffer_;
};

class PipeReader {
public:
    PipeReader(int fd, std::chrono::steady_clock::time_point deadline) : fd_(fd), deadline_(deadline) {}
    bool timedOut = false;
    bool Bytes(void* data, std::size_t n) {
        auto* p = static_cast<unsigned char*>(data);
        while (n > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
            pollfd wait{fd_, POLLIN, 0};
            const int ready = left.count() > 0 ? ::poll(&wait, 1, int(std::min<long long>(left.count(), 1000))) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready == 0) {
                if (std::chrono::steady_clock::now() < deadline_) continue;
                timedOut = true;
                return false;
            }
            const ssize_t k = ::read(fd_, p, n);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return false;
            p += k;
            n -= std::size_t(k);
        }
        return true;
    }
    template <class T>
    bool Value(T& v) { return Bytes(&v, sizeof v); }
    bool Text(std::string& t) {
        std::uint64_t n = 0;
        if (!Value(n) || n > (std::uint64_t(1) << 32)) return false;
        t.resize(std::size_t(n));
        return Bytes(t.data(), t.size());
    }
    template <class T>
    bool Array(std::vector<T>& v) {
        std::uint64_t n = 0;
        if (!Value(n) || n > (std::uint64_t(1) << 34) / sizeof(T)) return false;
        v.resize(std::size_t(n));
        return Bytes(v.data(), v.size() * sizeof(T));
    }

private:
    int fd_;
    std::chrono::steady_clock::time_point deadline_;
};

constexpr char kProgress = 'P';
// The child's limits: memory beyond what it holds at the fork (plus 64 bytes for each byte of
// the file), and time (plus a few seconds for each MB of the file).
constexpr unsigned long long kChildMemory = 4ull << 30;
constexpr std::chrono::seconds kChildSeconds{15};
constexpr int kChildSecondsPerMB = 2;
constexpr char kResult = 'R';

void SendModel(PipeWriter& w, bool ok, const std::string& error, const ImportedModel& m,
               const std::vector<std::string>& read) {
    w.Value(kResult);
    w.Value(ok);
    w.Text(error);
    w.Array(m.positions);
    w.Array(m.normals);
    w.Array(m.fileNormal);
    w.Array(m.uvs);
    w.Array(m.faces);
    w.Array(m.faceMaterials);
    w.Value(std::uint64_t(m.materials.size()));
    for (const FileMaterial& f : m.materials) {
        w.Text(f.name);
        w.Value(f.diffuse);
        w.Value(f.tint);
        w.Text(f.texture);
        w.Array(f.embedded);
        w.Value(f.embeddedWidth);
        w.Value(f.embeddedHeight);
    }
    w.Value(m.meshesInFile);
    w.Value(m.meshesUsed);
    w.Value(m.dropped);
    w.Value(m.nonFinite);
    w.Value(std::uint64_t(read.size()));
    for (const std::string& f : read) w.Text(f);
    w.Flush();
}

bool ReceiveModel(PipeReader& r, bool& ok, std::string& error, ImportedModel& m, std::vector<std::string>& read) {
    if (!r.Value(ok) || !r.Text(error) || !r.Array(m.positions) || !r.Array(m.normals) || !r.Array(m.fileNormal) ||
        !r.Array(m.uvs) || !r.Array(m.faces) || !r.Array(m.faceMaterials))
        return false;
    std::uint64_t n = 0;
    if (!r.Value(n) || n > (1u << 24)) return false;
    m.materials.resize(std::size_t(n));
    for (FileMaterial& f : m.materials)
        if (!r.Text(f.name) || !r.Value(f.diffuse) || !r.Value(f.tint) || !r.Text(f.texture) || !r.Array(f.embedded) ||
            !r.Value(f.embeddedWidth) || !r.Value(f.embeddedHeight))
            return false;
    if (!r.Value(m.meshesInFile) || !r.Value(m.meshesUsed) || !r.Value(m.dropped) || !r.Value(m.nonFinite) || !r.Value(n) ||
        n > (1u << 20))
        return false;
    read.resize(std::size_t(n));
    for (std::string& f : read)
        if (!r.Text(f)) return false;
    // What the parent relies on: one entry of each per vertex, one material per face, corners
    // inside the vertex list, material indices inside the list.
    const std::size_t V = m.positions.size();
    if (m.normals.size() != V || m.fileNormal.size() != V || m.uvs.size() != V || m.faceMaterials.size() != m.faces.size())
        return false;
    for (const LFace& f : m.faces)
        if (f.a < 0 || f.b < 0 || f.c < 0 || std::size_t(f.a) >= V || std::size_t(f.b) >= V || std::size_t(f.c) >= V) return false;
    for (std::uint32_t k : m.faceMaterials)
        if (k >= m.materials.size()) return false;
    return true;
}

}  // namespace

bool ImportModel(const std::string& file, ImportedModel& out, std::string* error, const ImportRequest& request) {
    int fds[2];
    if (::pipe(fds) != 0) return ImportInProcess(file, out, error, request);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return ImportInProcess(file, out, error, request);
    }
    if (pid == 0) {
        // The child: read, send, end without running the parent's exit handlers. Its memory
        // beyond what it holds now is limited, so that a reader that believes a count in a
        // broken header fails instead of taking the machine's memory.
        ::close(fds[0]);
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        std::error_code ec;
        const std::uintmax_t size = fs::file_size(file, ec);
        const rlim_t budget = rlim_t(kChildMemory) + (ec ? 0 : rlim_t(64) * size);
        const rlimit limit{rlim_t(pages) * rlim_t(::sysconf(_SC_PAGESIZE)) + budget, RLIM_INFINITY};
        if (pages > 0) ::setrlimit(RLIMIT_AS, &limit);
        PipeWriter w(fds[1]);
        ImportRequest child;
        std::vector<std::string> read;
        child.filesRead = &read;
        child.progress = [&w](float share) {
            w.Value(kProgress);
            w.Value(share);
            w.Flush();
        };
        ImportedModel model;
        std::string why;
        const bool ok = ImportInProcess(file, model, &why, child);
        SendModel(w, ok, why, model, read);
        ::close(fds[1]);
        _exit(0);
    }
    ::close(fds[1]);
    // The reader's time: generous for the file's size, but bounded, so that a reader caught in
    // a loop by a broken file does not hang the viewer.
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    const auto deadline = std::chrono::steady_clock::now() + kChildSeconds +
                          std::chrono::seconds(ec ? 0 : std::uintmax_t(kChildSecondsPerMB) * (size >> 20));
    PipeReader r(fds[0], deadline);
    bool received = false, ok = false;
    std::string why;
    std::vector<std::string> read;
    ImportedModel model;
    for (char kind = 0; r.Value(kind);) {
        if (kind == kProgress) {
            float share = 0.0f;
            if (!r.Value(share)) break;
            if (request.progress && share >= 0.0f && share <= 1.0f) request.progress(share);
        } else {
            received = kind == kResult && ReceiveModel(r, ok, why, model, read);
            break;
        }
    }
    ::close(fds[0]);
    if (r.timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!received) {
        const std::string how = r.timedOut ? "its reader did not finish in time"
                                : WIFSIGNALED(status) ? "its reader failed (signal " + std::to_string(WTERMSIG(status)) + ")"
                                                      : "its reader failed";
        return Fail(error, "Can not load " + file + ": " + how);
    }
    if (!ok) return Fail(error, why);
    if (request.filesRead) request.filesRead->insert(request.filesRead->end(), read.begin(), read.end());
    out = std::move(model);
    return true;
}

void KeepImported(const std::string& file, ImportedModel&& model) {
    Kept& k = Store();
    std::error_code ec;
    k.file = file;
    k.time = fs::last_write_time(file, ec);
    k.size = fs::file_size(file, ec);
    k.full = !ec;
    k.model = std::move(model);
}

bool TakeImported(const std::string& file, ImportedModel& out) {
    Kept& k = Store();
    if (!k.full || k.file != file) return false;
    std::error_code ec;
    const bool same = fs::last_write_time(file, ec) == k.time && !ec && fs::file_size(file, ec) == k.size && !ec;
    k.full = false;
    if (same) out = std::move(k.model);
    k.model = ImportedModel{};
    return same;
}

}  // namespace LOAD_3DS
