#pragma once
// Writes binary 3DS files: named mesh objects (vertices, faces, mapping coordinates) and light
// objects inside the 0x4D4D / 0x3D3D wrapper. ChunkWriter builds arbitrary chunk trees, which the
// tests use for deliberately broken files.

#include <cstdint>
#include <string>
#include <vector>

#include "loaders/l3ds.h"

namespace LOAD_3DS {

// Appends little-endian values; Begin/End bracket a chunk and patch its length on End.
class ChunkWriter {
public:
    void Begin(std::uint16_t id);
    void End();
    void U16(std::uint16_t v);
    void I32(std::int32_t v);
    void F32(float v);
    void CString(const std::string& s);  // with its terminator
    void Raw(const void* data, std::size_t n);

    std::vector<unsigned char> bytes;

private:
    std::vector<std::size_t> open;  // offsets of chunk headers not yet ended
};

struct WriterMesh {
    std::string name;
    std::vector<LPoint3> vertices;
    std::vector<LFace> faces;  // corners written as unsigned 16-bit
    std::vector<LUV> uvs;      // none: no 0x4140 chunk
    std::vector<std::uint32_t> smoothing;  // none: no 0x4150 chunk; else one mask per face
    std::string material;                  // empty: no 0x4130 chunk; else every face wears it
};

// A material block (0xAFFF): its name, colours, highlight and diffuse texture.
struct WriterMaterial {
    std::string name;
    LPoint3 diffuse{1.0f, 1.0f, 1.0f};
    LPoint3 specular{0.0f, 0.0f, 0.0f};
    int glossiness = 0;  // percent (the Phong exponent is this value)
    int strength = 0;    // percent of the highlight
    std::string texture;  // empty: no texture map
};

struct WriterLight {
    std::string name;
    LPoint3 position{0.0f, 0.0f, 0.0f};
    LPoint3 colour{1.0f, 1.0f, 1.0f};
    bool spotlight = false;
    LPoint3 target{0.0f, 0.0f, 0.0f};
    float hotspot = 0.0f;
    float falloff = 0.0f;
};

// Writes one mesh object (0x4000 with name and 0x4100 children) into w.
void WriteMeshObject(ChunkWriter& w, const WriterMesh& mesh);
void WriteLightObject(ChunkWriter& w, const WriterLight& light);

// The bytes of a whole file: materials first, then meshes, then lights. A mesh of more than 65,535 vertices or
// faces (the file's 16-bit limit per object) is split into several objects when its corners all
// name its vertices; otherwise the result is empty when a mesh holds more than 65535 vertices,
// faces or mapping coordinates, or a face corner does not fit 16 bits.
std::vector<unsigned char> Encode3DS(const std::vector<WriterMesh>& meshes,
                                     const std::vector<WriterLight>& lights = {},
                                     const std::vector<WriterMaterial>& materials = {});

// Writes Encode3DS to path; false when the scene cannot be encoded or the file written.
bool Write3DS(const std::string& path, const std::vector<WriterMesh>& meshes,
              const std::vector<WriterLight>& lights = {});

}  // namespace LOAD_3DS
