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
    if (!mesh.material.empty()) {
        w.Begin(0x4130);
        w.CString(mesh.material);
        w.U16(std::uint16_t(mesh.faces.size()));
        for (std::size_t i = 0; i < mesh.faces.size(); ++i) w.U16(std::uint16_t(i));
        w.End();
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

namespace {

void WriteMaterial(ChunkWriter& w, const WriterMaterial& m) {
    const auto colour = [&w](std::uint16_t id, const LPoint3& c) {
        w.Begin(id);
        w.Begin(0x0010);
        w.F32(c.x);
        w.F32(c.y);
        w.F32(c.z);
        w.End();
        w.End();
    };
    const auto percent = [&w](std::uint16_t id, int value) {
        w.Begin(id);
        w.Begin(0x0030);
        w.U16(std::uint16_t(value));
        w.End();
        w.End();
    };
    w.Begin(0xAFFF);
    w.Begin(0xA000);
    w.CString(m.name);
    w.End();
    colour(0xA020, m.diffuse);
    colour(0xA030, m.specular);
    percent(0xA040, m.glossiness);
    percent(0xA041, m.strength);
    if (!m.texture.empty()) {
        w.Begin(0xA200);
        w.Begin(0x0030);  // the map's amount: all of it
        w.U16(100);
        w.End();
        w.Begin(0xA300);
        w.CString(m.texture);
        w.End();
        w.End();
    }
    w.End();
}

// The file holds at most 65,535 vertices and faces per object (16-bit counts and corners). A
// larger mesh whose corners all name its vertices, and whose mapping coordinates are absent or
// one per vertex, is written as several objects ("name", "name.1", ...), each with a run of the
// faces and the vertices they use, in order. Any other mesh goes as it is (the checks of
// Encode3DS then decide).
void SplitForFile(const WriterMesh& m, std::vector<WriterMesh>& out) {
    const std::size_t V = m.vertices.size();
    bool split = V > 0xFFFF || m.faces.size() > 0xFFFF;
    if (split && !m.uvs.empty() && m.uvs.size() != V) split = false;
    for (std::size_t f = 0; split && f < m.faces.size(); ++f)
        for (int k : {m.faces[f].a, m.faces[f].b, m.faces[f].c}) split = split && k >= 0 && std::size_t(k) < V;
    if (!split) {
        out.push_back(m);
        return;
    }
    std::vector<int> local(V, -1);  // index of a file vertex in the current part
    std::vector<int> used;          // file vertices of the current part
    WriterMesh part;
    int parts = 0;
    for (std::size_t f = 0; f < m.faces.size(); ++f) {
        const LFace& face = m.faces[f];
        std::size_t fresh = 0;
        for (int k : {face.a, face.b, face.c}) fresh += local[std::size_t(k)] < 0 ? 1 : 0;
        if (part.vertices.size() + fresh > 0xFFFF || part.faces.size() + 1 > 0xFFFF) {
            for (int v : used) local[std::size_t(v)] = -1;
            used.clear();
            out.push_back(std::move(part));
            part = WriterMesh{};
        }
        if (part.faces.empty()) {
            part.name = parts++ == 0 ? m.name : m.name + "." + std::to_string(parts - 1);
            part.material = m.material;
        }
        int c[3];
        int n = 0;
        for (int k : {face.a, face.b, face.c}) {
            int& l = local[std::size_t(k)];
            if (l < 0) {
                l = int(part.vertices.size());
                part.vertices.push_back(m.vertices[std::size_t(k)]);
                if (!m.uvs.empty()) part.uvs.push_back(m.uvs[std::size_t(k)]);
                used.push_back(k);
            }
            c[n++] = l;
        }
        part.faces.push_back({c[0], c[1], c[2]});
        if (!m.smoothing.empty()) part.smoothing.push_back(f < m.smoothing.size() ? m.smoothing[f] : 0u);
    }
    if (!part.faces.empty()) out.push_back(std::move(part));
}

}  // namespace

std::vector<unsigned char> Encode3DS(const std::vector<WriterMesh>& meshes, const std::vector<WriterLight>& lights,
                                     const std::vector<WriterMaterial>& materials) {
    std::vector<WriterMesh> parts;
    for (const WriterMesh& m : meshes) SplitForFile(m, parts);
    for (const WriterMesh& m : parts) {
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
    for (const WriterMaterial& m : materials) WriteMaterial(w, m);
    for (const WriterMesh& m : parts) WriteMeshObject(w, m);
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
