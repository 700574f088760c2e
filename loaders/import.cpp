#include "loaders/import.h"

#include <assimp/Importer.hpp>
#include <assimp/material.h>
#include <assimp/scene.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
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

#include "loaders/assimp_material.h"
#include "loaders/folder_paths.h"
#include "loaders/image.h"
#include "loaders/import_reply.h"

namespace LOAD_3DS {

namespace {

namespace fs = std::filesystem;

// Largest model taken, in vertices and in faces (the face corners are 32-bit signed).
constexpr std::size_t kMaxVertices = kMaxImportVertices;
constexpr std::size_t kMaxFaces = kMaxImportFaces;
// Nodes visited at most: a node graph that repeats meshes beyond this is refused.
constexpr std::size_t kMaxNodeVisits = std::size_t(1) << 20;

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// One importer per thread for the questions about formats: building one registers every
// format's reader. Nothing in this process reads a model file with it (see ImportModel).
Assimp::Importer& FormatImporter() {
    thread_local Assimp::Importer importer;
    return importer;
}

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
        FileTexture t = TextureOf(scene, path);
        out.texture = std::move(t.texture);
        out.embedded = std::move(t.embedded);
        out.embeddedWidth = t.embeddedWidth;
        out.embeddedHeight = t.embeddedHeight;
        if (factorTints) std::copy(out.diffuse, out.diffuse + 3, out.tint);
    }
    // How it reflects (loaders/assimp_material.h); a made-up material stays matte.
    if (!made) ReadReflection(scene, m, out);
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

// The up axis the scene declares, as its kind says where to find it. FBX files name it in
// their global settings (UpAxis 0, 1 or 2 for x, y, z; UpAxisSign 1 or -1), which assimp
// hands on as metadata without turning the scene.
std::uint8_t DeclaredUpOf(const aiScene& scene, const SceneKind& kind) {
    if (kind.up == SceneKind::Up::kY) return DeclaredUp(UpAxis::Y);
    if (kind.up != SceneKind::Up::kMetadata || !scene.mMetaData) return kUpUndeclared;
    std::int32_t axis = -1, sign = 1;
    if (!scene.mMetaData->Get("UpAxis", axis) || axis < 0 || axis > 2) return kUpUndeclared;
    if (scene.mMetaData->HasKey("UpAxisSign") && (!scene.mMetaData->Get("UpAxisSign", sign) || (sign != 1 && sign != -1)))
        return kUpUndeclared;
    static constexpr UpAxis kPositive[3] = {UpAxis::X, UpAxis::Y, UpAxis::Z};
    static constexpr UpAxis kNegative[3] = {UpAxis::NegX, UpAxis::NegY, UpAxis::NegZ};
    return DeclaredUp(sign > 0 ? kPositive[axis] : kNegative[axis]);
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
    out.declaredUp = DeclaredUpOf(scene, kind);
    return true;
}

SceneKind KindOf(const std::string& file) {
    SceneKind kind;
    const std::string e = Lower(fs::path(file).extension().string());
    kind.factorTints = e == ".gltf" || e == ".glb";
    if (e == ".fbx") kind.up = SceneKind::Up::kMetadata;
    if (e == ".gltf" || e == ".glb" || e == ".dae" || e == ".zae" || e == ".ase" || e == ".ask") kind.up = SceneKind::Up::kY;
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
    return FormatImporter().IsExtensionSupported(ext);
}

std::string ImportExtensions() {
    std::string list;
    FormatImporter().GetExtensionList(list);
    return list;
}

// ---- The import in the helper process -----------------------------------------------------
// assimp's readers crash, abort or loop on some malformed files (found by the fuzz target: a
// PLY whose reader aborts, an ASE whose reader reads through a wild pointer), and a reader
// that follows a wild pointer may write anything before it dies. So no model file but 3DS is
// read in the viewer's process: the import helper (redowl-import, beside the viewer) reads it
// under a memory and a processor-time limit and sends the triangle list on its standard
// output, and the viewer takes that reply as untrusted input (loaders/import_reply.h). A helper
// that dies, hangs or sends nonsense is a refusal with a message, never the viewer's end.

namespace {

// The helper's limits: memory beyond what it holds at its start (4 GiB, plus 64 bytes for each
// byte of the file), and time, on the processor and on the clock (15 s, plus 2 s for each MB).
constexpr std::uint64_t kHelperMemory = std::uint64_t(4) << 30;
constexpr std::uint64_t kHelperMemoryPerFileByte = 64;
constexpr std::chrono::seconds kHelperSeconds{15};
constexpr std::uint64_t kHelperSecondsPerMB = 2;
constexpr const char* kHelperName = "redowl-import";

// The helper's memory for a file of `bytes` bytes: 4 GiB plus 64 bytes for each of its bytes,
// but never more than half of the machine's memory (the helper holds itself to that too).
std::uint64_t HelperMemory(std::uint64_t bytes) {
    const std::uint64_t formula = kHelperMemory + kHelperMemoryPerFileByte * std::min<std::uint64_t>(bytes, std::uint64_t(1) << 40);
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return formula;
    return std::min(formula, std::uint64_t(pages) * std::uint64_t(page) / 2);
}

std::string& HelperOverride() {
    static std::string program;
    return program;
}

// The helper process: started in a process group of its own, and on every way out of the
// viewer's read loop killed (with anything it started) and reaped.
class HelperProcess {
public:
    HelperProcess() = default;
    ~HelperProcess() { End(); }
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // Starts program with args, its standard output a pipe whose reading end is Output() and
    // its standard input empty. False with the reason in *why.
    bool Start(const std::string& program, const std::vector<std::string>& args, std::string* why) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return *why = std::strerror(errno), false;
        posix_spawn_file_actions_t actions;
        posix_spawnattr_t attributes;
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclosefrom_np(&actions, 3);  // nothing else of the viewer's
        // Its own group, every signal at its default and none blocked, whatever the viewer set.
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int failed = ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(fds[1]);
        if (failed != 0) {
            ::close(fds[0]);
            pid_ = -1;
            return *why = std::strerror(failed), false;
        }
        out_ = fds[0];
        return true;
    }

    int Output() const { return out_; }

    // Whether the helper ends by itself before deadline (it is then left unreaped, so that its
    // group can still be named safely).
    bool EndsBy(std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            ::usleep(2000);
        }
    }

    // Kills the helper's group and reaps the helper; its wait status.
    int End() {
        if (out_ >= 0) ::close(out_);
        out_ = -1;
        if (pid_ <= 0) return status_;
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);  // should it have left its group
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int status_ = 0;
};

// The helper's standard output, read until the deadline.
class PipeSource : public ByteSource {
public:
    PipeSource(int fd, std::chrono::steady_clock::time_point deadline) : fd_(fd), deadline_(deadline) {}
    bool timedOut = false;
    std::size_t Read(void* data, std::size_t n) override {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
            if (left.count() <= 0) return timedOut = true, 0;
            pollfd wait{fd_, POLLIN, 0};
            const int ready = ::poll(&wait, 1, int(std::min<long long>(left.count(), 1000)));
            if (ready < 0 && errno != EINTR) return 0;
            if (ready <= 0) continue;
            const ssize_t k = ::read(fd_, data, n);
            if (k < 0 && errno == EINTR) continue;
            return k > 0 ? std::size_t(k) : 0;
        }
    }

private:
    int fd_;
    std::chrono::steady_clock::time_point deadline_;
};

// Why a helper that sent no whole reply failed, from its wait status.
std::string HelperFailure(int status) {
    if (WIFSIGNALED(status)) {
        if (WTERMSIG(status) == SIGXCPU) return "its reader did not finish in time";
        return "its reader failed (signal " + std::to_string(WTERMSIG(status)) + ")";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        return "its reader failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
    return "its reader ended without a reply";
}

}  // namespace

void SetImportHelper(const std::string& program) { HelperOverride() = program; }

std::string ImportHelperPath() {
    if (!HelperOverride().empty()) return HelperOverride();
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(kHelperName) : (self.parent_path() / kHelperName).string();
}

bool ImportModel(const std::string& file, ImportedModel& out, std::string* error, const ImportRequest& request) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    const std::uint64_t bytes = ec ? 0 : std::uint64_t(size);
    const std::uint64_t memory = HelperMemory(bytes);
    const std::chrono::milliseconds limit =
        request.timeLimit.count() > 0 ? request.timeLimit
                                      : std::chrono::milliseconds(kHelperSeconds) +
                                            std::chrono::seconds(kHelperSecondsPerMB * std::min<std::uint64_t>(bytes >> 20, 1u << 20));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string program = ImportHelperPath();
    const std::string cpuSeconds = std::to_string((limit.count() + 999) / 1000);

    HelperProcess helper;
    std::string why;
    if (!helper.Start(program, {"--memory", std::to_string(memory), "--cpu-seconds", cpuSeconds, "--parent",
                                std::to_string(::getpid()), "--", file},
                      &why))
        return Fail(error, "Can not load " + file + ": the import helper " + program + " cannot be started (" + why + ")");
    PipeSource source(helper.Output(), deadline);
    // The reply cannot hold more than the helper may: the cap is its memory limit.
    ReplyReader reader(source, memory);
    ImportReply reply;
    const ReplyEnd end = reader.Read(reply, [&request](float share) {
        if (request.progress) request.progress(share);
    });
    if (end == ReplyEnd::kComplete) {
        helper.End();
    } else if (end == ReplyEnd::kMalformed) {
        helper.End();
        return Fail(error, "Can not load " + file + ": its reader sent a malformed reply");
    } else {
        const bool byItself = !source.timedOut && helper.EndsBy(deadline);
        const int status = helper.End();
        return Fail(error, "Can not load " + file + ": " + (byItself ? HelperFailure(status) : "its reader did not finish in time"));
    }
    if (!reply.ok) return Fail(error, reply.message);
    if (request.filesRead) {
        // Paths as data: only files inside the model's folder are passed on.
        const fs::path folder = fs::path(file).parent_path();
        for (const std::string& f : reply.filesRead)
            if (const fs::path rel = RelativeInside(folder, f); !rel.empty()) request.filesRead->push_back((folder / rel).string());
    }
    out = std::move(reply.model);
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
