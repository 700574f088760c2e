#pragma once
// Reader of binary 3DS scene files: the whole file is read into memory and its chunk tree walked
// with a cursor. Meshes become LMesh records (vertices, faces, mapping coordinates and smooth
// per-vertex normals), light objects LLight records. Failure is a false result, never a throw.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace LOAD_3DS {

struct LPoint3 {
    float x, y, z;
};
struct LUV {
    float u, v;
};
struct LFace {
    int a, b, c;  // vertex indices
};
struct LChunkHeader {
    std::uint16_t id = 0;
    std::int32_t start = 0;  // offset just past the 6-byte header
    std::int32_t end = 0;    // offset just past the chunk
};
// A face with its corner data, as GetFaceFull gives it.
struct LTri {
    LPoint3 vertices[3];
    LPoint3 normals[3];
    LUV uv[3];
    LPoint3 normal;  // normalise(cross(B - C, B - A))
};

// Three-float helpers in single precision.
LPoint3 Add(const LPoint3& a, const LPoint3& b);
LPoint3 Subtract(const LPoint3& a, const LPoint3& b);
float Length(const LPoint3& a);  // sqrt((x*x + y*y) + z*z)
LPoint3 Normalise(const LPoint3& a);  // unchanged when the length is 0
LPoint3 Cross(const LPoint3& a, const LPoint3& b);

// A material of the file's material blocks (0xAFFF): its name, its diffuse colour (0xA020) and
// the file name of its first texture map (0xA200 / 0xA300).
struct LMaterial {
    std::string name;
    bool hasDiffuse = false;
    float diffuse[3] = {0.0f, 0.0f, 0.0f};  // red, green, blue in 0..1
    std::string texture;                     // empty for none
    bool hasSpecular = false;
    float specular[3] = {0.0f, 0.0f, 0.0f};  // the highlight's colour
    float shininess = 0.0f;                  // glossiness 0..1 (the exponent is 100 times it)
    float shininessStrength = 0.0f;          // the highlight's strength 0..1
    float transparency = 0.0f;               // 0 opaque .. 1 clear
    float reflection = 0.0f;                 // a reflection map's amount 0..1
    float selfIllumination = 0.0f;           // 0..1 of the diffuse colour glows
};

class LObject {
public:
    LObject() = default;
    LObject(const LObject&) = delete;
    LObject& operator=(const LObject&) = delete;
    virtual ~LObject() = default;
    virtual void SetName(const char* text);
    // Copies min(name size, maximum) characters with strncpy semantics; returns that count.
    virtual int GetName(char* buffer, int maximum) const;

    const std::string& Name() const { return name; }

protected:
    std::string name;
    int nameSize = 0;  // length + 1 once set
};

class LMesh : public LObject {
public:
    LMesh();
    ~LMesh() override;

    virtual int GetVertexCount() const;
    virtual int GetUVCount() const;
    virtual int GetNormalCount() const;
    virtual int GetFaceCount() const;
    virtual int GetTriangleCount() const;  // the face count again
    // Element i; (0,0,0) when i is not below the count; a negative i reads element 0.
    virtual LPoint3 GetVertex(int i) const;
    virtual LPoint3 GetNormal(int i) const;
    virtual LUV GetUV(int i) const;
    virtual void AddVertex(float x, float y, float z);
    virtual void AddNormal(float x, float y, float z);
    virtual void AddUV(float u, float v);
    virtual void Clear();
    virtual void AddFace(int a, int b, int c);
    virtual LFace GetFace(int i) const;
    virtual LTri GetFaceFull(int i) const;
    virtual const float* GetAxes() const;
    virtual void SetUseAxes(int flag);
    virtual void SetAxes(const float axes[12]);
    // For each vertex, the normalised sum (vertex j ascending, then face ascending) of the face
    // normals of every face touching any vertex j within 0.0001 on each axis.
    virtual void CalcNormals();

    // Reserves room for appends (no change to the counts).
    void Reserve(std::size_t vertices, std::size_t faces, std::size_t uvs);

    // Smoothing groups of the faces (chunk 0x4150): a bit mask per face, 0 for faces of no group
    // and for faces whose chunk gave none. Nothing of the reader's own normals depends on them.
    bool HasSmoothingGroups() const { return !smoothing.empty(); }
    std::uint32_t GetSmoothingGroup(int face) const {
        return face >= 0 && std::size_t(face) < smoothing.size() ? smoothing[std::size_t(face)] : 0u;
    }
    void SetSmoothingGroup(int face, std::uint32_t groups);

    // Face materials (chunk 0x4130): the material names in the order the mesh names them, and
    // for each face the index of its name there, -1 for a face the file gives none. Empty when
    // the mesh names no material.
    const std::vector<std::string>& MaterialNames() const { return materialNames; }
    int GetFaceMaterial(int face) const {
        return face >= 0 && std::size_t(face) < faceMaterials.size() ? faceMaterials[std::size_t(face)] : -1;
    }
    void SetFaceMaterial(int face, const std::string& material);

protected:
    int useAxes = 0;
    std::vector<LPoint3> vertices;
    std::vector<LPoint3> normals;
    std::vector<LUV> uvs;
    std::vector<LFace> faces;
    std::vector<std::uint32_t> smoothing;  // empty, or one mask per face
    std::vector<std::string> materialNames;
    std::vector<int> faceMaterials;        // empty, or one index of materialNames (or -1) per face
    float axes[12];
};

class LLight : public LObject {
public:
    LLight();
    virtual void Clear();
    virtual void SetPosition(const LPoint3& p) { position = p; }
    virtual LPoint3 GetPosition() const { return position; }
    virtual void SetColour(const LPoint3& c) { colour = c; }
    virtual LPoint3 GetColour() const { return colour; }
    virtual void SetSpotlight(bool flag) { spotlight = flag; }
    virtual bool IsSpotlight() const { return spotlight; }
    virtual void SetTarget(const LPoint3& t) { target = t; }
    virtual LPoint3 GetTarget() const { return target; }
    virtual void SetHotspot(float h) { hotspot = h; }
    virtual float GetHotspot() const { return hotspot; }
    virtual void SetFalloff(float f) { falloff = f; }
    virtual float GetFalloff() const { return falloff; }

protected:
    LPoint3 position{0.0f, 0.0f, 0.0f};
    LPoint3 colour{0.0f, 0.0f, 0.0f};
    bool spotlight = false;
    LPoint3 target{0.0f, 0.0f, 0.0f};
    float hotspot = 0.0f;
    float falloff = 0.0f;
};

class L3DS {
public:
    enum { SEEK_START = 0, SEEK_CURSOR = 1 };

    L3DS() = default;
    L3DS(const L3DS&) = delete;
    L3DS& operator=(const L3DS&) = delete;
    virtual ~L3DS();
    // True when the file was read whole and its chunk tree is a usable 3DS scene.
    virtual bool LoadFromFile(const std::string& fileName);
    virtual int GetMeshCount() const;
    virtual int GetLightCount() const;
    virtual LMesh* GetMesh(int index);
    virtual LLight* GetLight(int index);

    // The same as LoadFromFile on bytes already in memory (copied).
    bool LoadFromMemory(const void* data, std::size_t size);

    // The file's materials, in file order.
    int GetMaterialCount() const { return int(materials.size()); }
    const LMaterial* GetMaterial(int index) const {
        return index >= 0 && index < int(materials.size()) ? &materials[std::size_t(index)] : nullptr;
    }

protected:
    virtual void ParseLightObject(const LChunkHeader& object);
    virtual void ParseMeshObject(const LChunkHeader& object);
    virtual LChunkHeader ReadChunkHeader();
    virtual bool FindSubChunk(LChunkHeader& target, const LChunkHeader& parent);
    virtual void SkipToChunkEnd(const LChunkHeader& chunk);
    virtual bool ParseScene();
    virtual LMesh* AddMesh();
    virtual LLight* AddLight();
    virtual void Release();
    virtual std::uint16_t ReadU16();
    virtual std::int32_t ReadI32();
    virtual char ReadByte();
    virtual float ReadF32();
    virtual void ReadCString(char* buffer, int& length, int maximum);
    virtual void SeekTo(std::int32_t offset, int origin);
    virtual std::int32_t Position() const;

    // The children of a face chunk whose `count` faces were appended from firstFace on (the
    // smoothing groups and the face materials); the cursor is just past those faces.
    void ReadFaceChildren(const LChunkHeader& faceChunk, LMesh& mesh, int firstFace, unsigned count);
    // A material block (0xAFFF); the cursor is just past its header.
    void ParseMaterial(const LChunkHeader& block);

    // Whether n more bytes can be read at the cursor (up to and including the last byte).
    bool CanRead(std::int32_t n) const;
    // Whether a header just read can be walked: read whole and not ending before its start.
    bool Usable(const LChunkHeader& h);

    char objectName[100] = {};
    std::vector<LLight*> lights;
    std::vector<LMesh*> meshes;
    std::vector<LMaterial> materials;
    bool endOfData = false;
    std::vector<unsigned char> buffer;
    std::int32_t size = 0;
    std::int32_t cursor = 0;
    bool loaded = false;
    bool headerCut = false;  // the last header could not be read whole
    // Set when the chunk tree is malformed (a chunk ends before its start, or a count claims
    // more entries than its chunk holds); the load then fails.
    bool malformed = false;
};

}  // namespace LOAD_3DS
