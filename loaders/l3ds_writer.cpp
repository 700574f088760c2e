#include "loaders/l3ds_writer.h"

#include <cstring>

#include "loaders/bmp_writer.h"

namespace LOAD_3DS {

void ChunkWriter::Begin(std::uint16_t id) {
    open.push_back(bytes.size());
    U16(id);
    I32(0);  // patched by End
}

void ChunkWriter::End() {
    if (open.empty()) return;
    const std::size_t at = open.back();
    open.pop_back();
    const std::uint32_t length = std::uint32_t(bytes.size() - at);
    for (int k = 0; k < 4; ++k) bytes[at + 2 + std::size_t(k)] = std::uint8_t(length >> (8 * k));
}

void ChunkWriter::U16(std::uint16_t v) {
    bytes.push_back(std::uint8_t(v));
    bytes.push_back(std::uint8_t(v >> 8));
}

void ChunkWriter::I32(std::int32_t v) {
    const std::uint32_t u = std::uint32_t(v);
    for (int k = 0; k < 4; ++k) bytes.push_back(std::uint8_t(u >> (8 * k)));
}

void ChunkWriter::F32(float v) {
    std::uint32_t u;
    std::memcpy(&u, &v, 4);
    I32(std::int32_t(u));
}

void ChunkWriter::CString(const std::string& s) {
    Raw(s.c_str(), s.size() + 1);
}

void ChunkWriter::Raw(const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    bytes.insert(bytes.end(), p, p + n);
}

void WriteMeshObject(ChunkWriter& w, const WriterMesh& mesh) {
    w.Begin(0x4000);
    w.CString(mesh.name);
    w.Begin(0x4100);
    // Vertices.
    w.Begin(0x4110);
    w.U16(std::uint16_t(mesh.vertices.size()));
    for (const LPoint3& p : mesh.vertices) {
        w.F32(p.x);
        w.F32(p.y);
        w.F32(p.z);
    }
    w.End();
    // Faces with zero flags.
    w.Begin(0x4120);
    w.U16(std::uint16_t(mesh.faces.size()));
    for (const LFace& f : mesh.faces) {
        w.U16(std::uint16_t(f.a));
        w.U16(std::uint16_t(f.b));
        w.U16(std::uint16_t(f.c));
        w.U16(0);
    }
    if (!mesh.smoothing.empty()) {
        w.Begin(0x4150);
        for (std::size_t i = 0; i < mesh.faces.size(); ++i) w.I32(std::int32_t(i < mesh.smoothing.size() ? mesh.smoothing[i] : 0u));
        w.End();
    }
    w.End();
    // Mapping coordinates when there are any.
    if (!mesh.uvs.empty()) {
        w.Begin(0x4140);
        w.U16(std::uint16_t(mesh.uvs.size()));
        for (const LUV& t : mesh.uvs) {
            w.F32(t.u);
            w.F32(t.v);
        }
        w.End();
    }
    w.End();
    w.End();
}

void WriteLightObject(ChunkWriter& w, const WriterLight& light) {
    w.Begin(0x4000);
    w.CString(light.name);
    w.Begin(0x4600);
    w.F32(light.position.x);
    w.F32(light.position.y);
    w.F32(light.position.z);
    w.Begin(0x0010);
    w.F32(light.colour.x);
    w.F32(light.colour.y);
    w.F32(light.colour.z);
    w.End();
    if (light.spotlight) {
        w.Begin(0x4610);
        w.F32(light.target.x);
        w.F32(light.target.y);
        w.F32(light.target.z);
        w.F32(light.hotspot);
        w.F32(light.falloff);
        w.End();
    }
    w.End();
    w.End();
}

std::vector<unsigned char> Encode3DS(const std::vector<WriterMesh>& meshes, const std::vector<WriterLight>& lights) {
    for (const WriterMesh& m : meshes) {
        if (m.vertices.size() > 0xFFFF || m.faces.size() > 0xFFFF || m.uvs.size() > 0xFFFF) return {};
        for (const LFace& f : m.faces)
            for (int k : {f.a, f.b, f.c})
                if (k < 0 || k > 0xFFFF) return {};
    }
    ChunkWriter w;
    w.Begin(0x4D4D);
    // Version chunk, as exporters write it.
    w.Begin(0x0002);
    w.I32(3);
    w.End();
    w.Begin(0x3D3D);
    for (const WriterMesh& m : meshes) WriteMeshObject(w, m);
    for (const WriterLight& l : lights) WriteLightObject(w, l);
    w.End();
    // An empty keyframer chunk ends the file, as exporters write one.
    w.Begin(0xB000);
    w.End();
    w.End();
    return std::move(w.bytes);
}

bool Write3DS(const std::string& path, const std::vector<WriterMesh>& meshes, const std::vector<WriterLight>& lights) {
    const std::vector<unsigned char> bytes = Encode3DS(meshes, lights);
    return !bytes.empty() && WriteBytes(path, bytes);
}

}  // namespace LOAD_3DS
