#include "loaders/l3ds.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "loaders/normals.h"
#include "loaders/provided_files.h"

namespace LOAD_3DS {

namespace {
constexpr std::uint16_t kMain = 0x4D4D;
constexpr std::uint16_t kEditor = 0x3D3D;
constexpr std::uint16_t kObject = 0x4000;
constexpr std::uint16_t kTriMesh = 0x4100;
constexpr std::uint16_t kVertices = 0x4110;
constexpr std::uint16_t kFaces = 0x4120;
constexpr std::uint16_t kSmoothing = 0x4150;  // child of kFaces
constexpr std::uint16_t kMapping = 0x4140;
constexpr std::uint16_t kAxes = 0x4160;
constexpr std::uint16_t kLight = 0x4600;
constexpr std::uint16_t kColour = 0x0010;
constexpr std::uint16_t kSpotlight = 0x4610;
constexpr std::uint16_t kFaceMaterial = 0x4130;  // child of kFaces
constexpr std::uint16_t kMaterialBlock = 0xAFFF;
constexpr std::uint16_t kMaterialName = 0xA000;
constexpr std::uint16_t kDiffuse = 0xA020;
constexpr std::uint16_t kSpecular = 0xA030;
constexpr std::uint16_t kShininess = 0xA040;
constexpr std::uint16_t kShininessStrength = 0xA041;
constexpr std::uint16_t kTransparency = 0xA050;
constexpr std::uint16_t kSelfIllumination = 0xA084;
constexpr std::uint16_t kReflectionMap = 0xA220;
constexpr std::uint16_t kPercentInt = 0x0030;
constexpr std::uint16_t kPercentFloat = 0x0031;
constexpr std::uint16_t kTextureMap = 0xA200;
constexpr std::uint16_t kMapFile = 0xA300;
constexpr std::uint16_t kColourFloat = 0x0010;
constexpr std::uint16_t kColourBytes = 0x0011;
constexpr std::uint16_t kColourBytesGamma = 0x0012;
constexpr std::uint16_t kColourFloatGamma = 0x0013;
}  // namespace

LPoint3 Add(const LPoint3& a, const LPoint3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
LPoint3 Subtract(const LPoint3& a, const LPoint3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
float Length(const LPoint3& a) { return std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }
LPoint3 Normalise(const LPoint3& a) {
    const float l = Length(a);
    if (l == 0.0f) return a;
    return {a.x / l, a.y / l, a.z / l};
}
LPoint3 Cross(const LPoint3& a, const LPoint3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// ---------------------------------------------------------------- LObject

void LObject::SetName(const char* text) {
    name = text ? text : "";
    nameSize = int(name.size()) + 1;
}

int LObject::GetName(char* buffer, int maximum) const {
    if (!buffer || maximum <= 0 || nameSize == 0) return 0;
    const int n = std::min(nameSize, maximum);
    std::strncpy(buffer, name.c_str(), std::size_t(n));
    return n;
}

// ---------------------------------------------------------------- LMesh

LMesh::LMesh() { Clear(); }
LMesh::~LMesh() = default;

int LMesh::GetVertexCount() const { return int(vertices.size()); }
int LMesh::GetUVCount() const { return int(uvs.size()); }
int LMesh::GetNormalCount() const { return int(normals.size()); }
int LMesh::GetFaceCount() const { return int(faces.size()); }
int LMesh::GetTriangleCount() const { return int(faces.size()); }

namespace {
// Element i of a list: a negative i reads element 0, an i at or past the count (or any i of an
// empty list) the zero value.
template <class V>
typename V::value_type At(const V& list, int i) {
    if (list.empty() || i >= int(list.size())) return typename V::value_type{};
    return list[std::size_t(std::max(i, 0))];
}
}  // namespace

LPoint3 LMesh::GetVertex(int i) const { return At(vertices, i); }
LPoint3 LMesh::GetNormal(int i) const { return At(normals, i); }
LUV LMesh::GetUV(int i) const { return At(uvs, i); }
LFace LMesh::GetFace(int i) const { return At(faces, i); }

void LMesh::AddVertex(float x, float y, float z) { vertices.push_back({x, y, z}); }
void LMesh::AddNormal(float x, float y, float z) { normals.push_back({x, y, z}); }
void LMesh::AddUV(float u, float v) { uvs.push_back({u, v}); }
void LMesh::AddFace(int a, int b, int c) { faces.push_back({a, b, c}); }

void LMesh::SetSmoothingGroup(int face, std::uint32_t groups) {
    if (face < 0 || face >= int(faces.size())) return;
    if (smoothing.size() < faces.size()) smoothing.resize(faces.size(), 0u);
    smoothing[std::size_t(face)] = groups;
}

void LMesh::SetFaceMaterial(int face, const std::string& material) {
    if (face < 0 || face >= int(faces.size())) return;
    auto it = std::find(materialNames.begin(), materialNames.end(), material);
    if (it == materialNames.end()) it = materialNames.insert(materialNames.end(), material);
    if (faceMaterials.size() < faces.size()) faceMaterials.resize(faces.size(), -1);
    faceMaterials[std::size_t(face)] = int(it - materialNames.begin());
}

void LMesh::Reserve(std::size_t v, std::size_t f, std::size_t t) {
    vertices.reserve(v);
    faces.reserve(f);
    uvs.reserve(t);
}

void LMesh::Clear() {
    vertices = {};
    normals = {};
    uvs = {};
    faces = {};
    smoothing = {};
    materialNames = {};
    faceMaterials = {};
    static const float identity[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    std::memcpy(axes, identity, sizeof axes);
    useAxes = 0;
}

LTri LMesh::GetFaceFull(int i) const {
    const LFace f = GetFace(i);
    LTri t;
    const int corners[3] = {f.a, f.b, f.c};
    for (int k = 0; k < 3; ++k) {
        t.vertices[k] = GetVertex(corners[k]);
        t.normals[k] = GetNormal(corners[k]);
        t.uv[k] = GetUV(corners[k]);
    }
    const LPoint3& A = t.vertices[0];
    const LPoint3& B = t.vertices[1];
    const LPoint3& C = t.vertices[2];
    t.normal = Normalise(Cross(Subtract(B, C), Subtract(B, A)));
    return t;
}

const float* LMesh::GetAxes() const { return axes; }
void LMesh::SetUseAxes(int flag) { useAxes = flag; }
void LMesh::SetAxes(const float a[12]) { std::memcpy(axes, a, sizeof axes); }

void LMesh::CalcNormals() {
    if (vertices.empty()) return;
    normals = SmoothNormals(vertices, faces);
}

// ---------------------------------------------------------------- LLight

LLight::LLight() { Clear(); }
void LLight::Clear() {
    position = {0.0f, 0.0f, 0.0f};
    colour = {0.0f, 0.0f, 0.0f};
    spotlight = false;
}

// ---------------------------------------------------------------- L3DS

L3DS::~L3DS() { Release(); }

int L3DS::GetMeshCount() const { return int(meshes.size()); }
int L3DS::GetLightCount() const { return int(lights.size()); }
LMesh* L3DS::GetMesh(int index) {
    if (index < 0 || index >= int(meshes.size())) return nullptr;
    return meshes[std::size_t(index)];
}
LLight* L3DS::GetLight(int index) {
    if (index < 0 || index >= int(lights.size())) return nullptr;
    return lights[std::size_t(index)];
}

LMesh* L3DS::AddMesh() {
    auto m = std::make_unique<LMesh>();
    meshes.push_back(m.get());
    return m.release();
}
LLight* L3DS::AddLight() {
    auto l = std::make_unique<LLight>();
    lights.push_back(l.get());
    return l.release();
}

void L3DS::Release() {
    for (LMesh* m : meshes) delete m;
    for (LLight* l : lights) delete l;
    meshes.clear();
    lights.clear();
    materials.clear();
    buffer = {};
    size = 0;
    cursor = 0;
    endOfData = false;
    loaded = false;
    malformed = false;
}

bool L3DS::LoadFromFile(const std::string& fileName) {
    if (loaded) Release();
    // Read the whole file with one read; an empty or short file fails.
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file(OpenFile(fileName, "rb"));
    if (!file) return false;
    std::FILE* f = file.get();
    if (std::fseek(f, 0, SEEK_END) != 0) return false;
    const long length = std::ftell(f);
    // The cursor arithmetic is 32-bit signed: larger files are refused rather than misread.
    if (length <= 0 || length > std::numeric_limits<std::int32_t>::max() - 16) return false;
    if (std::fseek(f, 0, SEEK_SET) != 0) return false;
    std::vector<unsigned char> bytes;
    try {
        bytes.resize(std::size_t(length));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (std::fread(bytes.data(), bytes.size(), 1, f) != 1) return false;
    file.reset();
    buffer = std::move(bytes);
    size = std::int32_t(length);
    cursor = 0;
    loaded = true;
    const bool ok = ParseScene();
    buffer = {};
    size = 0;
    return ok;
}

bool L3DS::LoadFromMemory(const void* data, std::size_t n) {
    if (loaded) Release();
    if (!data || n == 0 || n > std::size_t(std::numeric_limits<std::int32_t>::max() - 16)) return false;
    const auto* p = static_cast<const unsigned char*>(data);
    buffer.assign(p, p + n);
    size = std::int32_t(n);
    cursor = 0;
    loaded = true;
    const bool ok = ParseScene();
    buffer = {};
    size = 0;
    return ok;
}

bool L3DS::CanRead(std::int32_t n) const {
    return !buffer.empty() && size != 0 && std::int64_t(cursor) + n <= std::int64_t(size);
}

std::uint16_t L3DS::ReadU16() {
    if (!CanRead(2)) {
        endOfData = true;
        return 0;
    }
    const unsigned char* p = buffer.data() + cursor;
    cursor += 2;
    return std::uint16_t(p[0] | p[1] << 8);
}

std::int32_t L3DS::ReadI32() {
    if (!CanRead(4)) {
        endOfData = true;
        return 0;
    }
    const unsigned char* p = buffer.data() + cursor;
    cursor += 4;
    return std::int32_t(std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
                        std::uint32_t(p[3]) << 24);
}

char L3DS::ReadByte() {
    if (!CanRead(1)) {
        endOfData = true;
        return 0;
    }
    return char(buffer[std::size_t(cursor++)]);
}

float L3DS::ReadF32() {
    if (!CanRead(4)) {
        endOfData = true;
        return 0.0f;
    }
    float value;
    std::memcpy(&value, buffer.data() + cursor, 4);
    cursor += 4;
    return value;
}

void L3DS::ReadCString(char* out, int& length, int maximum) {
    length = 0;
    if (buffer.empty() || size == 0 || cursor >= size) {
        endOfData = true;
        return;
    }
    // Characters up to the terminator; at the limit the character just read is lost.
    while (true) {
        const char c = ReadByte();
        if (c == 0) break;  // the terminator, or the end of the data
        if (length >= maximum - 1) break;
        out[length++] = c;
    }
    if (maximum > 0) out[length] = 0;
}

void L3DS::SeekTo(std::int32_t offset, int origin) {
    std::int64_t target = cursor;
    if (origin == SEEK_START)
        target = offset;
    else if (origin == SEEK_CURSOR)
        target = std::int64_t(cursor) + offset;
    if (target < 0) target = 0;
    endOfData = false;
    if (target >= size) target = std::int64_t(size) - 1;
    cursor = std::int32_t(std::max<std::int64_t>(target, 0));
}

std::int32_t L3DS::Position() const { return cursor; }

LChunkHeader L3DS::ReadChunkHeader() {
    LChunkHeader h;
    const std::int32_t before = Position();
    h.id = ReadU16();
    const std::int32_t length = ReadI32();
    h.start = Position();
    // Computed wide: a huge length must not wrap to an end before the start.
    const std::int64_t end = std::int64_t(h.start) + length - 6;
    h.end = std::int32_t(std::clamp<std::int64_t>(end, std::numeric_limits<std::int32_t>::min(),
                                                  std::numeric_limits<std::int32_t>::max()));
    headerCut = h.start != before + 6;
    return h;
}

bool L3DS::Usable(const LChunkHeader& h) {
    // A header cut off by the end of the data ends the walk (the file was truncated: what was
    // read is kept). A chunk shorter than its own header would lead the walk back: the file is
    // malformed and its load fails.
    if (headerCut) return false;
    if (h.end < h.start) {
        malformed = true;
        return false;
    }
    return true;
}

void L3DS::SkipToChunkEnd(const LChunkHeader& chunk) { SeekTo(chunk.end, SEEK_START); }

bool L3DS::FindSubChunk(LChunkHeader& target, const LChunkHeader& parent) {
    if (Position() >= parent.end) return false;
    LChunkHeader h = ReadChunkHeader();
    while (true) {
        if (!Usable(h)) return false;
        if (h.id == target.id) break;
        if (h.end > parent.end) break;
        SkipToChunkEnd(h);
        if (h.end >= parent.end) break;
        h = ReadChunkHeader();
    }
    if (h.id != target.id) return false;
    target.start = h.start;
    target.end = h.end;
    return true;
}

bool L3DS::ParseScene() {
    malformed = false;
    // 1. The main chunk must come first.
    SeekTo(0, SEEK_START);
    const LChunkHeader main = ReadChunkHeader();
    if (main.id != kMain || !Usable(main)) return false;
    // 2. The editor data among its children.
    LChunkHeader editor;
    editor.id = kEditor;
    if (!FindSubChunk(editor, main)) return false;
    // The material blocks among the editor's children, then (from the editor's start again)
    // the objects, whose faces name the materials.
    const std::int32_t editorStart = Position();
    LChunkHeader block;
    block.id = kMaterialBlock;
    for (bool more = FindSubChunk(block, editor); more && !headerCut;) {
        ParseMaterial(block);
        SkipToChunkEnd(block);
        const std::int32_t before = Position();
        block = LChunkHeader{};
        block.id = kMaterialBlock;
        more = FindSubChunk(block, editor) && Position() > before;
    }
    malformed = false;  // a damaged material costs the material, not the load
    SeekTo(editorStart, SEEK_START);
    // 3. Every object chunk among the editor's children.
    LChunkHeader object;
    object.id = kObject;
    bool found = FindSubChunk(object, editor);
    while (found && !malformed) {
        // 4. Name, then the first sub-object chunk decides the kind.
        int length = 0;
        ReadCString(objectName, length, 99);
        objectName[length] = 0;
        const LChunkHeader kind = ReadChunkHeader();
        if (Usable(kind)) {
            if (kind.id == kTriMesh)
                ParseMeshObject(object);
            else if (kind.id == kLight)
                ParseLightObject(object);
        }
        if (malformed) break;
        SkipToChunkEnd(object);
        // The walk only goes forward: an object that ends where it started ends it.
        const std::int32_t before = Position();
        object = LChunkHeader{};
        object.id = kObject;
        found = FindSubChunk(object, editor) && Position() > before;
    }
    return !malformed;
}

namespace {
// Bytes of the chunk left after the cursor, within the chunk's claimed end.
std::int64_t Remaining(const LChunkHeader& h, std::int32_t cursor) { return std::int64_t(h.end) - cursor; }
}  // namespace

void L3DS::ParseMeshObject(const LChunkHeader& object) {
    // 1. A mesh named after its object.
    LMesh* mesh = AddMesh();
    mesh->SetName(objectName);
    // 2. Children up to the end of the object chunk.
    LChunkHeader h = ReadChunkHeader();
    while (Usable(h) && h.end <= object.end) {
        switch (h.id) {
            case kVertices: {
                const std::uint16_t n = ReadU16();
                // A count its own chunk cannot hold marks the file malformed.
                if (Remaining(h, Position()) < std::int64_t(n) * 12) {
                    malformed = true;
                    return;
                }
                for (unsigned i = 0; i < n; ++i) {
                    const float x = ReadF32(), y = ReadF32(), z = ReadF32();
                    mesh->AddVertex(x, y, z);
                }
                break;
            }
            case kFaces: {
                const std::uint16_t n = ReadU16();
                if (Remaining(h, Position()) < std::int64_t(n) * 8) {
                    malformed = true;
                    return;
                }
                const int firstFace = mesh->GetFaceCount();
                for (unsigned i = 0; i < n; ++i) {
                    const unsigned a = ReadU16(), b = ReadU16(), c = ReadU16();
                    ReadU16();  // flags
                    mesh->AddFace(int(a), int(b), int(c));
                }
                ReadFaceChildren(h, *mesh, firstFace, n);
                break;
            }
            case kMapping: {
                const std::uint16_t n = ReadU16();
                if (Remaining(h, Position()) < std::int64_t(n) * 8) {
                    malformed = true;
                    return;
                }
                for (unsigned i = 0; i < n; ++i) {
                    const float u = ReadF32(), v = ReadF32();
                    mesh->AddUV(u, v);
                }
                break;
            }
            case kAxes: {
                float axes[12];
                for (float& a : axes) a = ReadF32();
                mesh->SetAxes(axes);
                break;
            }
            default:
                break;
        }
        SkipToChunkEnd(h);
        if (h.end >= object.end) break;
        h = ReadChunkHeader();
    }
    // 3. Smooth normals by position.
    mesh->CalcNormals();
}

void L3DS::ReadFaceChildren(const LChunkHeader& faceChunk, LMesh& mesh, int firstFace, unsigned count) {
    // Children of the face chunk follow its faces; the smoothing groups are one 32-bit mask per
    // face of this chunk, a face material its name, a count and the faces (of this chunk) that
    // have it. Only whole headers and whole values inside the face chunk are read, and nothing
    // here marks the file malformed: a damaged child costs the groups or the material, not the
    // load.
    while (std::int64_t(Position()) + 6 <= faceChunk.end) {
        const LChunkHeader child = ReadChunkHeader();
        if (headerCut || child.end < child.start || child.end > faceChunk.end) return;
        if (child.id == kSmoothing) {
            const std::int64_t whole = std::min<std::int64_t>(count, Remaining(child, Position()) / 4);
            for (std::int64_t k = 0; k < whole; ++k)
                mesh.SetSmoothingGroup(firstFace + int(k), std::uint32_t(ReadI32()));
        } else if (child.id == kFaceMaterial) {
            char name[100];
            int length = 0;
            ReadCString(name, length, int(sizeof name));
            name[length] = 0;
            const std::int64_t n = std::min<std::int64_t>(ReadU16(), Remaining(child, Position()) / 2);
            for (std::int64_t k = 0; k < n && !endOfData; ++k) {
                const unsigned face = ReadU16();
                if (face < count) mesh.SetFaceMaterial(firstFace + int(face), name);
            }
        }
        SkipToChunkEnd(child);
        if (child.end >= faceChunk.end) return;
    }
}

namespace {
float Unit(float v) { return v >= 0.0f && v <= 1.0f ? v : (v > 1.0f ? 1.0f : 0.0f); }  // NaN reads 0
}  // namespace

void L3DS::ParseMaterial(const LChunkHeader& block) {
    LMaterial material;
    int colourRank = 0;  // 2: a linear colour read, 1: only a gamma-corrected one
    // The children of `parent` from the cursor, each handed to visit with the cursor past its
    // header, and the walk moved to its end after; a damaged child ends the walk.
    auto children = [this](const LChunkHeader& parent, auto&& visit) {
        while (std::int64_t(Position()) + 6 <= parent.end) {
            const LChunkHeader child = ReadChunkHeader();
            if (headerCut || child.end < child.start || child.end > parent.end) return;
            visit(child);
            SkipToChunkEnd(child);
            if (child.end >= parent.end) return;
        }
    };
    // A colour chunk's value into rgb (linear colours before gamma-corrected ones); true once read.
    auto colour = [&](const LChunkHeader& c, float rgb[3], int& rank) {
        bool read = false;
        children(c, [&](const LChunkHeader& v) {
            const bool linear = v.id == kColourFloat || v.id == kColourBytes;
            const int r = linear ? 2 : 1;
            if (r <= rank) return;
            if (v.id == kColourFloat || v.id == kColourFloatGamma) {
                if (Remaining(v, Position()) < 12) return;
                for (int k = 0; k < 3; ++k) rgb[k] = Unit(ReadF32());
            } else if (v.id == kColourBytes || v.id == kColourBytesGamma) {
                if (Remaining(v, Position()) < 3) return;
                for (int k = 0; k < 3; ++k) rgb[k] = float(static_cast<unsigned char>(ReadByte())) / 255.0f;
            } else {
                return;
            }
            rank = r;
            read = true;
        });
        return read;
    };
    // A percentage chunk's value (an int16 or a float of percent) as 0..1.
    auto percent = [&](const LChunkHeader& c, float& out) {
        children(c, [&](const LChunkHeader& v) {
            if (v.id == kPercentInt && Remaining(v, Position()) >= 2) {
                out = Unit(float(std::int16_t(ReadU16())) / 100.0f);
            } else if (v.id == kPercentFloat && Remaining(v, Position()) >= 4) {
                out = Unit(ReadF32() / 100.0f);
            }
        });
    };
    int specularRank = 0;
    children(block, [&](const LChunkHeader& c) {
        if (c.id == kMaterialName) {
            char name[100];
            int length = 0;
            ReadCString(name, length, int(sizeof name));
            name[length] = 0;
            material.name = name;
        } else if (c.id == kDiffuse) {
            material.hasDiffuse = colour(c, material.diffuse, colourRank) || material.hasDiffuse;
        } else if (c.id == kSpecular) {
            material.hasSpecular = colour(c, material.specular, specularRank) || material.hasSpecular;
        } else if (c.id == kShininess) {
            percent(c, material.shininess);
        } else if (c.id == kShininessStrength) {
            percent(c, material.shininessStrength);
        } else if (c.id == kTransparency) {
            percent(c, material.transparency);
        } else if (c.id == kSelfIllumination) {
            percent(c, material.selfIllumination);
        } else if (c.id == kReflectionMap) {
            percent(c, material.reflection);
        } else if (c.id == kTextureMap) {
            children(c, [&](const LChunkHeader& v) {
                if (v.id != kMapFile) return;
                char name[256];
                int length = 0;
                ReadCString(name, length, int(sizeof name));
                name[length] = 0;
                material.texture = name;
            });
        }
    });
    materials.push_back(std::move(material));
}

void L3DS::ParseLightObject(const LChunkHeader& object) {
    // The light's position, then its colour and spotlight among the children.
    LLight* light = AddLight();
    light->SetName(objectName);
    const float x = ReadF32(), y = ReadF32(), z = ReadF32();
    light->SetPosition({x, y, z});
    if (Position() >= object.end) return;
    LChunkHeader h = ReadChunkHeader();
    while (Usable(h) && h.end <= object.end) {
        if (h.id == kColour) {
            const float r = ReadF32(), g = ReadF32(), b = ReadF32();
            light->SetColour({r, g, b});
        } else if (h.id == kSpotlight) {
            const float tx = ReadF32(), ty = ReadF32(), tz = ReadF32();
            light->SetSpotlight(true);
            light->SetTarget({tx, ty, tz});
            light->SetHotspot(ReadF32());
            light->SetFalloff(ReadF32());
        }
        SkipToChunkEnd(h);
        if (h.end >= object.end) break;
        h = ReadChunkHeader();
    }
}

}  // namespace LOAD_3DS
