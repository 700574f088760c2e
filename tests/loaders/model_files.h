#pragma once
// Temporary folders and small meshes for the reader, texture and mesh tests.

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "errors/message_box.h"
#include "loaders/l3ds_writer.h"

namespace redowl_test {

// A fresh folder under the system's temporary folder, removed with its contents on destruction.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> serial{0};
        path_ = std::filesystem::temp_directory_path() /
                ("redowl_models_" + std::to_string(::getpid()) + "_" + std::to_string(serial++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// The last box a recorder saw, or an empty pair.
inline std::pair<std::string, std::string> LastBox(const TIRN_ERROR::BoxRecorder& r) {
    const auto boxes = r.Boxes();
    return boxes.empty() ? std::pair<std::string, std::string>{} : boxes.back();
}

// A unit triangle in the x-y plane with mapping coordinates.
inline LOAD_3DS::WriterMesh TriangleMesh(const std::string& name, float dx = 0.0f) {
    LOAD_3DS::WriterMesh m;
    m.name = name;
    m.vertices = {{0.0f + dx, 0.0f, 0.0f}, {1.0f + dx, 0.0f, 0.0f}, {0.0f + dx, 1.0f, 0.0f}};
    m.faces = {{0, 1, 2}};
    m.uvs = {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}};
    return m;
}

// A cube of side 2 centred at the origin stored as 24 vertices, 4 per side, counter-clockwise
// from outside.
inline LOAD_3DS::WriterMesh Cube24() {
    LOAD_3DS::WriterMesh m;
    m.name = "Cube";
    // For each side: its outward axis and two in-plane axes u, v with u x v = outward.
    const float sides[6][3][3] = {
        {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},  {{-1, 0, 0}, {0, 0, 1}, {0, 1, 0}}, {{0, 1, 0}, {0, 0, 1}, {1, 0, 0}},
        {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}, {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}},  {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}},
    };
    for (const auto& s : sides) {
        const int base = int(m.vertices.size());
        const float corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
        for (const auto& c : corners)
            m.vertices.push_back({s[0][0] + c[0] * s[1][0] + c[1] * s[2][0], s[0][1] + c[0] * s[1][1] + c[1] * s[2][1],
                                  s[0][2] + c[0] * s[1][2] + c[1] * s[2][2]});
        m.faces.push_back({base, base + 1, base + 2});
        m.faces.push_back({base, base + 2, base + 3});
    }
    return m;
}

}  // namespace redowl_test
