// redowl_fuzz_seeds <dir>: writes the starting corpora of the fuzz targets.
//   dir/config  configuration texts: the demo scene's and the syntax's corner cases
//   dir/3ds     3DS files: the demo models (the knot at a smaller size), meshes with mapping
//               coordinates, local axes, several objects, lights and spotlights
//   dir/bmp     valid 24-bit BMP files of several widths (with and without row padding)
//   dir/obj     small OBJ models for a foreign exporter to turn into further 3DS seeds
//   dir/reply   replies of the import helper: small models with file normals, decoded images
//               (one with its alpha channel), a note and the files read, and a refusal
//   dir/ply     PLY files of triangle strips with restarts (text, both binary byte orders),
//               with normals, mapping coordinates, faces and an element of no meaning
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "loaders/bmp_writer.h"
#include "loaders/demo_scene.h"
#include "fuzz/fuzz_entry.h"
#include "loaders/l3ds_writer.h"

namespace {

namespace fs = std::filesystem;
using namespace LOAD_3DS;

bool WriteText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return bool(out);
}

bool WriteConfigs(const fs::path& dir) {
    const std::vector<std::pair<std::string, std::string>> texts = {
        {"demo.cgf", DemoConfiguration()},
        {"flat.cgf",
         "win.width = 800\nwin.height = 600\nscene.N_models = 1\nscene.model0 = a.3ds\n"
         "scene.model0_do_trace = 1\ntracer.threads_num = 2\n"},
        {"comments.cgf",
         "#require something\nx = 5 // five\ny = 5//five\n// win.width = 10\n} } k = 1\nk = 2\n"},
        {"nested.cgf", "tracer { regular_grid { algoritm_type = fast_algorithm cub_less_elem_times = 0.5 } }\n"},
        {"malformed.cgf", "= a { { b = = } } } c d = { e =\n"},
    };
    for (const auto& [name, text] : texts)
        if (!WriteText(dir / name, text)) return false;
    return true;
}

// A mesh object whose 0x4100 chunk also carries the local axes.
std::vector<unsigned char> MeshWithAxes() {
    ChunkWriter w;
    w.Begin(0x4D4D);
    w.Begin(0x3D3D);
    w.Begin(0x4000);
    w.CString("Axes");
    w.Begin(0x4100);
    w.Begin(0x4110);
    w.U16(3);
    const float v[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};
    for (float f : v) w.F32(f);
    w.End();
    w.Begin(0x4120);
    w.U16(1);
    for (std::uint16_t x : {0, 1, 2, 0}) w.U16(x);
    w.End();
    w.Begin(0x4160);
    const float axes[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5f, 0.25f, 0};
    for (float f : axes) w.F32(f);
    w.End();
    w.End();
    w.End();
    w.End();
    w.End();
    return w.bytes;
}

bool WriteModels(const fs::path& dir) {
    WriterMesh triangle;
    triangle.name = "Tri";
    triangle.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    triangle.faces = {{0, 1, 2}};
    triangle.uvs = {{0, 0}, {1, 0}, {0, 1}};
    WriterMesh bare = triangle;  // no mapping coordinates
    bare.name = "Bare";
    bare.uvs.clear();
    WriterLight lamp;
    lamp.name = "Lamp";
    lamp.position = {1, 2, 3};
    WriterLight spot;
    spot.name = "Spot";
    spot.spotlight = true;
    spot.target = {0, 0, 0};
    spot.hotspot = 20;
    spot.falloff = 30;

    struct Model {
        const char* name;
        std::vector<WriterMesh> meshes;
        std::vector<WriterLight> lights;
    };
    const std::vector<Model> models = {
        {"triangle.3ds", {triangle}, {}},
        {"bare.3ds", {bare}, {}},
        {"two_meshes_and_lights.3ds", {triangle, bare}, {lamp, spot}},
        {"knot_small.3ds", {MakeTorusKnot(24, 6)}, {}},
        {"sky_small.3ds", {MakeSkyDome(80.0f, 12, 6)}, {}},
        {"floor.3ds", {MakeFloor(30.0f, 5.0f)}, {}},
        {"lights_only.3ds", {}, {lamp}},
        {"empty_scene.3ds", {}, {}},
    };
    for (const Model& m : models)
        if (!Write3DS((dir / m.name).string(), m.meshes, m.lights)) return false;
    return WriteBytes((dir / "axes.3ds").string(), MeshWithAxes());
}

bool WriteImages(const fs::path& dir) {
    // Widths 1, 3, 4 and 5 cover every amount of row padding.
    const int sizes[][2] = {{1, 1}, {3, 2}, {4, 1}, {5, 3}, {2, 4}};
    for (const auto& s : sizes) {
        std::vector<unsigned char> rgb(std::size_t(s[0] * s[1] * 3));
        for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<unsigned char>(i * 37 + 11);
        const std::string name = std::to_string(s[0]) + "x" + std::to_string(s[1]) + ".bmp";
        if (!WriteBMP24((dir / name).string(), s[0], s[1], rgb.data())) return false;
    }
    const std::vector<unsigned char> checker = MakeCheckerImage(16, 4);
    return WriteBMP24((dir / "checker16.bmp").string(), 16, 16, checker.data());
}

bool WriteObjs(const fs::path& dir) {
    const std::string cube =
        "v -1 -1 -1\nv 1 -1 -1\nv 1 1 -1\nv -1 1 -1\nv -1 -1 1\nv 1 -1 1\nv 1 1 1\nv -1 1 1\n"
        "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\n"
        "f 1/1 4/4 3/3 2/2\nf 5/1 6/2 7/3 8/4\nf 1/1 2/2 6/3 5/4\n"
        "f 2/1 3/2 7/3 6/4\nf 3/1 4/2 8/3 7/4\nf 4/1 1/2 5/3 8/4\n";
    const std::string tetra =
        "o Tetra\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\n";
    const std::string two =
        "o First\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\no Second\nv 2 0 0\nv 3 0 0\nv 2 1 0\nf 4 5 6\n";
    return WriteText(dir / "cube.obj", cube) && WriteText(dir / "tetra.obj", tetra) &&
           WriteText(dir / "two_objects.obj", two);
}

bool WriteReplies(const fs::path& dir) {
    WriterMesh triangle;
    triangle.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    triangle.faces = {{0, 1, 2}};
    ImportReply refusal;
    refusal.message = "Can not load model.obj: broken";
    using redowl_fuzz::EncodeReply;
    using redowl_fuzz::ReplyOf;
    return WriteBytes((dir / "knot.reply").string(), EncodeReply(ReplyOf(MakeTorusKnot(12, 6), true))) &&
           WriteBytes((dir / "triangle.reply").string(), EncodeReply(ReplyOf(triangle, false))) &&
           WriteBytes((dir / "refusal.reply").string(), EncodeReply(refusal));
}

// A 2 x 2 grid of squares as strips: one strip per row, a restart between them.
bool WritePlys(const fs::path& dir) {
    const std::string vertices = "element vertex 9\nproperty float x\nproperty float y\nproperty float z\n"
                                 "property float nx\nproperty float ny\nproperty float nz\nproperty float u\nproperty float v\n";
    const std::string strips = "element tristrips 1\nproperty list int int vertex_indices\n";
    std::string ascii = "ply\nformat ascii 1.0\ncomment strips\n" + vertices +
                        "element note 1\nproperty uchar a\n" + strips + "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
    for (int k = 0; k < 9; ++k)
        ascii += std::to_string(k % 3) + " " + std::to_string(k / 3) + " 0 0 0 1 " + std::to_string(k % 3 * 0.5) + " " +
                 std::to_string(k / 3 * 0.5) + "\n";
    ascii += "7\n13 3 0 4 1 5 2 -1 6 3 7 4 8 5\n4 0 1 4 3\n";
    // The same as binary files, little- and big-endian.
    std::vector<unsigned char> little, big;
    const std::string head = "ply\nformat binary_little_endian 1.0\n" + vertices + strips + "end_header\n";
    const auto put = [&](std::uint32_t bits) {
        for (int b = 0; b < 4; ++b) little.push_back((unsigned char)(bits >> (8 * b)));
        for (int b = 3; b >= 0; --b) big.push_back((unsigned char)(bits >> (8 * b)));
    };
    const auto putFloat = [&](float f) {
        std::uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put(bits);
    };
    for (int k = 0; k < 9; ++k)
        for (float f : {float(k % 3), float(k / 3), 0.0f, 0.0f, 0.0f, 1.0f, 0.5f * float(k % 3), 0.5f * float(k / 3)}) putFloat(f);
    const int indices[] = {3, 0, 4, 1, 5, 2, -1, 6, 3, 7, 4, 8, 5};
    put(13);
    for (int i : indices) put(std::uint32_t(i));
    std::string bigHead = head;
    bigHead.replace(bigHead.find("little"), 6, "big");
    std::vector<unsigned char> littleFile(head.begin(), head.end()), bigFile(bigHead.begin(), bigHead.end());
    littleFile.insert(littleFile.end(), little.begin(), little.end());
    bigFile.insert(bigFile.end(), big.begin(), big.end());
    return WriteText(dir / "strips_ascii.ply", ascii) && WriteBytes((dir / "strips_little.ply").string(), littleFile) &&
           WriteBytes((dir / "strips_big.ply").string(), bigFile);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: redowl_fuzz_seeds <dir>\n");
        return 2;
    }
    const fs::path root(argv[1]);
    std::error_code ec;
    for (const char* sub : {"config", "3ds", "bmp", "obj", "reply", "ply"}) fs::create_directories(root / sub, ec);
    if (ec) {
        std::fprintf(stderr, "redowl_fuzz_seeds: cannot create folders under %s\n", argv[1]);
        return 1;
    }
    if (!WriteConfigs(root / "config") || !WriteModels(root / "3ds") || !WriteImages(root / "bmp") ||
        !WriteObjs(root / "obj") || !WriteReplies(root / "reply") || !WritePlys(root / "ply")) {
        std::fprintf(stderr, "redowl_fuzz_seeds: cannot write the seeds under %s\n", argv[1]);
        return 1;
    }
    return 0;
}
