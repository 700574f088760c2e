#include "loaders/model_scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "loaders/bmp_writer.h"
#include "loaders/demo_scene.h"
#include "loaders/l3ds.h"

namespace LOAD_3DS {

namespace {

// y of the floor's top in the scene (the floor is model 2, moved down by 5) and the fixed
// downward move of model 0: the model's bottom goes on the floor.
constexpr float kFloorY = -5.0f;
constexpr float kModel0Drop = -1.65f;

// A plain light clay colour: the model's shading and shadows read clearly on it whatever
// mapping coordinates the file has (many have none).
std::vector<unsigned char> MakeClayImage(int size) {
    std::vector<unsigned char> rgb(std::size_t(size) * size * 3);
    for (std::size_t p = 0; p < rgb.size(); p += 3) {
        rgb[p] = 214;
        rgb[p + 1] = 196;
        rgb[p + 2] = 170;
    }
    return rgb;
}

// The copy's name in data/: blanks (which would split the value in release.cgf) become
// underscores, and names of the scene's own models are prefixed.
std::string DataName(const std::string& modelFile) {
    std::string name = std::filesystem::path(modelFile).filename().string();
    for (char& c : name)
        if (std::isspace(static_cast<unsigned char>(c))) c = '_';
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "sky.3ds" || lower == "floor.3ds" || name.empty()) name = "model_" + name;
    return name;
}

}  // namespace

bool MeasureModel(const std::string& file, ModelMeasure& measure, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    L3DS reader;
    if (!reader.LoadFromFile(file)) return fail("Can not load " + file);
    if (reader.GetMeshCount() <= 0) return fail("There are no meshes in " + file);
    measure = ModelMeasure{};
    bool any = false;
    for (int i = 0; i < reader.GetMeshCount(); ++i) {
        const LMesh& m = *reader.GetMesh(i);
        if (m.GetVertexCount() > 0) ++measure.meshes;
        measure.triangles += m.GetFaceCount();
        for (int v = 0; v < m.GetVertexCount(); ++v) {
            const LPoint3 p = m.GetVertex(v);
            const float c[3] = {p.x, p.y, p.z};
            for (int k = 0; k < 3; ++k) {
                measure.lo[k] = any ? std::min(measure.lo[k], c[k]) : c[k];
                measure.hi[k] = any ? std::max(measure.hi[k], c[k]) : c[k];
            }
            any = true;
        }
    }
    if (!any) return fail("There are no vertices in " + file);
    return true;
}

bool IsZUp(const ModelMeasure& m) {
    const float side = std::max({m.hi[0] - m.lo[0], m.hi[1] - m.lo[1], m.hi[2] - m.lo[2]});
    const float near = 0.02f * side;
    return !(std::abs(m.lo[1]) <= near && std::abs(m.lo[2]) > near);
}

float GridFactorFor(long long triangles) {
    // Measured with redowl-snapshot on model scenes (a 12-triangle cube, the 768-triangle rock
    // fels.3ds, the demo's 43,200-triangle knot) at factors 0.5 to 3: the traced frame is
    // fastest at 1 to 1.5 for all three, and the hybrid frame hardly depends on the factor.
    // The grid's memory grows with the cube of the factor (the knot: 11.8 MB at 1, 26 MB at
    // 1.5, 148 MB at 3) and its build time with it, so larger models get coarser cells.
    if (triangles <= 5000) return 1.5f;
    if (triangles <= 50000) return 1.0f;
    return 0.75f;
}

std::string ModelConfiguration(const std::string& dataName, bool zUp, const float offset[3], float gridFactor) {
    char offsetText[96];
    std::snprintf(offsetText, sizeof offsetText, "%g,%g,%g", offset[0], offset[1], offset[2]);
    char factorText[32];
    std::snprintf(factorText, sizeof factorText, "%g", gridFactor);
    return "// Red Owl scene around " + dataName + ", written by redowl-demo-scene --model.\n"
           "win {\n"
           "    width = 512\n"
           "    height = 512\n"
           "}\n"
           "scene {\n"
           "    N_models = 3\n"
           "    model0 = data/" + dataName + "\n"
           "    model0_do_trace = 1\n"
           "    // Largest side 6 units, centred; up axis (z: turned to y); every mesh of the\n"
           "    // file; its smoothing groups; its own plain texture. The offset puts the model's\n"
           "    // bottom on the floor (model 0 is moved down by 1.65, the floor lies at -5) and\n"
           "    // its front at z = 0.\n"
           "    model0_fit = 6\n"
           "    model0_up = " + (zUp ? "z" : "y") + "\n"
           "    model0_offset = " + offsetText + "\n"
           "    model0_meshes = all\n"
           "    model0_smoothing = groups\n"
           "    model0_texture = data/model.bmp\n"
           "    // The first view shows model 0 whole, from three-quarter above (f frames it again).\n"
           "    camera = frame\n" +
           SkyFloorAndTracerConfiguration(factorText, ", chosen for the model's triangle count");
}

bool WriteModelScene(const std::string& modelFile, const std::string& dir, bool keepConfiguration,
                     std::string* error) {
    namespace fs = std::filesystem;
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    ModelMeasure measure;
    if (!MeasureModel(modelFile, measure, error)) return false;

    std::error_code ec;
    const fs::path root(dir);
    fs::create_directories(root / "data", ec);
    if (ec) return fail("cannot create " + (root / "data").string() + ": " + ec.message());
    const std::string dataName = DataName(modelFile);
    const fs::path copy = root / "data" / dataName;
    if (!fs::exists(copy) || !fs::equivalent(modelFile, copy, ec)) {
        fs::copy_file(modelFile, copy, fs::copy_options::overwrite_existing, ec);
        if (ec) return fail("cannot copy " + modelFile + " to " + copy.string() + ": " + ec.message());
    }

    const std::vector<unsigned char> checker = MakeCheckerImage();
    const std::vector<unsigned char> sky = MakeSkyImage();
    const std::vector<unsigned char> clay = MakeClayImage(64);
    if (!WriteBMP24((root / "data" / "texture1.bmp").string(), 256, 256, checker.data()))
        return fail("cannot write data/texture1.bmp");
    if (!WriteBMP24((root / "data" / "SKY.bmp").string(), 512, 256, sky.data())) return fail("cannot write data/SKY.bmp");
    if (!WriteBMP24((root / "data" / "model.bmp").string(), 64, 64, clay.data()))
        return fail("cannot write data/model.bmp");
    if (!Write3DS((root / "data" / "sky.3ds").string(), {MakeSkyDome()})) return fail("cannot write data/sky.3ds");
    if (!Write3DS((root / "data" / "floor.3ds").string(), {MakeFloor()})) return fail("cannot write data/floor.3ds");

    const fs::path cfgPath = root / "release.cgf";
    if (keepConfiguration && fs::exists(cfgPath)) return true;
    // The fitted model is centred on the origin; lift it by half its fitted height above the
    // floor, less model 0's fixed drop, and move it back by half its depth so that its front
    // lies in the plane z = 0: nearer, the bottom of a model as deep as it is wide would fall
    // below the camera's view (half-height 15 tan 22.5 = 6.2 units there).
    const float side = std::max({measure.hi[0] - measure.lo[0], measure.hi[1] - measure.lo[1],
                                 measure.hi[2] - measure.lo[2]});
    const float scale = side > 0.0f ? kModelFit / side : 1.0f;
    // Turned z-up to y-up, the file's z extent is the height and its y extent the depth.
    const bool zUp = IsZUp(measure);
    const float height = (measure.hi[zUp ? 2 : 1] - measure.lo[zUp ? 2 : 1]) * scale;
    const float depth = (measure.hi[zUp ? 1 : 2] - measure.lo[zUp ? 1 : 2]) * scale;
    const float offset[3] = {0.0f, kFloorY - kModel0Drop + 0.5f * height, -0.5f * depth};
    std::ofstream cfg(cfgPath, std::ios::binary);
    cfg << ModelConfiguration(dataName, zUp, offset, GridFactorFor(measure.triangles));
    cfg.close();
    if (!cfg) return fail("cannot write release.cgf");
    return true;
}

}  // namespace LOAD_3DS
