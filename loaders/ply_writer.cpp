#include "loaders/ply_writer.h"

#include <cstring>

#include "loaders/bmp_writer.h"
#include "loaders/demo_scene.h"

namespace LOAD_3DS {

std::vector<unsigned char> EncodePLY(const WriterMesh& mesh) {
    const std::string header = "ply\nformat binary_little_endian 1.0\ncomment made by Red Owl\nelement vertex " +
                               std::to_string(mesh.vertices.size()) +
                               "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                               std::to_string(mesh.faces.size()) + "\nproperty list uchar int vertex_indices\nend_header\n";
    std::vector<unsigned char> out(header.size() + mesh.vertices.size() * 12 + mesh.faces.size() * 13);
    std::memcpy(out.data(), header.data(), header.size());
    unsigned char* p = out.data() + header.size();
    // Little-endian on this platform (x86-64), as the header says.
    for (const LPoint3& v : mesh.vertices) {
        std::memcpy(p, &v.x, 4);
        std::memcpy(p + 4, &v.y, 4);
        std::memcpy(p + 8, &v.z, 4);
        p += 12;
    }
    for (const LFace& f : mesh.faces) {
        *p = 3;
        std::memcpy(p + 1, &f.a, 4);
        std::memcpy(p + 5, &f.b, 4);
        std::memcpy(p + 9, &f.c, 4);
        p += 13;
    }
    return out;
}

bool WritePLY(const std::string& path, const WriterMesh& mesh) { return WriteBytes(path, EncodePLY(mesh)); }

WriterMesh MakeBigKnot(int segments, int sides) {
    WriterMesh m = MakeTorusKnot(segments, sides);
    m.name = "BigKnot";
    return m;
}

}  // namespace LOAD_3DS
