#include "loaders/model_scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "loaders/bmp_writer.h"
#include "loaders/demo_scene.h"
#include "loaders/folder_paths.h"
#include "loaders/image.h"
#include "loaders/import.h"
#include "loaders/l3ds.h"

namespace LOAD_3DS {

namespace {

// y of the floor's top in the scene (the floor is model 2, moved down by 5) and the fixed
// downward move of model 0: the model's bottom goes on the floor.
constexpr float kFloorY = -5.0f;
constexpr float kModel0Drop = -1.65f;

// The sky light of a scene around a user's model (scene.sky_light).
constexpr const char* kModelSkyLight = "0.5";

// The floor of a scene around a user's model wears its own material: the checker texture with
// a faint, broad highlight of the light (glossiness 30, strength 10%), no mirror.
const WriterMaterial kFloorMaterial{"Floor", {1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}, 30, 10, "texture1.bmp"};

WriterMesh GlossyFloor() {
    WriterMesh floor = MakeFloor();
    floor.material = kFloorMaterial.name;
    return floor;
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

namespace {

void Grow(ModelMeasure& measure, bool& any, const LPoint3& p) {
    const float c[3] = {p.x, p.y, p.z};
    if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) return;  // not in any face
    for (int k = 0; k < 3; ++k) {
        measure.lo[k] = any ? std::min(measure.lo[k], c[k]) : c[k];
        measure.hi[k] = any ? std::max(measure.hi[k], c[k]) : c[k];
    }
    any = true;
}

void AddCompanion(ModelMeasure& measure, const std::string& file) {
    if (!file.empty() && std::find(measure.companions.begin(), measure.companions.end(), file) == measure.companions.end())
        measure.companions.push_back(file);
}

}  // namespace

bool MeasureModel(const std::string& file, ModelMeasure& measure, std::string* error, bool keep) {
    auto fail = [&](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    measure = ModelMeasure{};
    const std::string folder = std::filesystem::path(file).parent_path().string();
    bool any = false;
    std::string ext = std::filesystem::path(file).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (ext != ".3ds") {
        measure.yUpFormat = ext != ".stl" && ext != ".ply";
        ImportedModel model;
        std::vector<std::string> read;
        ImportRequest request;
        request.filesRead = &read;
        if (!ImportModel(file, model, error, request)) return false;
        measure.meshes = model.meshesUsed;
        measure.triangles = (long long)model.faces.size();
        for (const LFace& f : model.faces)
            for (int v : {f.a, f.b, f.c}) Grow(measure, any, model.positions[std::size_t(v)]);
        for (const LFace& f : model.faces)
            measure.firstEdges += Length(Subtract(model.positions[std::size_t(f.b)], model.positions[std::size_t(f.a)]));
        const std::filesystem::path self = std::filesystem::weakly_canonical(file);
        for (const std::string& f : read) {
            std::error_code ec;
            if (std::filesystem::weakly_canonical(f, ec) != self) AddCompanion(measure, f);
        }
        for (const FileMaterial& m : model.materials)
            if (m.embedded.empty() && !m.texture.empty()) AddCompanion(measure, FindTextureFile(folder, m.texture));
        if (keep) KeepImported(file, std::move(model));
        return true;
    }
    L3DS reader;
    if (!reader.LoadFromFile(file)) return fail("Can not load " + file);
    if (reader.GetMeshCount() <= 0) return fail("There are no meshes in " + file);
    for (int i = 0; i < reader.GetMeshCount(); ++i) {
        const LMesh& m = *reader.GetMesh(i);
        if (m.GetVertexCount() > 0) ++measure.meshes;
        measure.triangles += m.GetFaceCount();
        for (int v = 0; v < m.GetVertexCount(); ++v) Grow(measure, any, m.GetVertex(v));
        for (int t = 0; t < m.GetFaceCount(); ++t)
            measure.firstEdges += Length(Subtract(m.GetVertex(m.GetFace(t).b), m.GetVertex(m.GetFace(t).a)));
    }
    if (!any) return fail("There are no vertices in " + file);
    for (int k = 0; k < reader.GetMaterialCount(); ++k)
        if (!reader.GetMaterial(k)->texture.empty()) AddCompanion(measure, FindTextureFile(folder, reader.GetMaterial(k)->texture));
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

float GridFactorFor(const ModelMeasure& m) {
    float factor = GridFactorFor(m.triangles);
    if (m.triangles <= 0 || !(m.firstEdges > 0.0)) return factor;
    // The grid's cell edge is the average first edge over the factor; its cells per axis
    // trunc(2 + extent / edge), a flat axis counting as 0.1 long (the fit scales both alike).
    const double edge = m.firstEdges / double(m.triangles);
    const auto cells = [&](double f) {
        double product = 1.0;
        for (int k = 0; k < 3; ++k) {
            const double extent = m.hi[k] - m.lo[k] < 0.00001 ? 0.1 * edge : double(m.hi[k] - m.lo[k]);
            product *= std::trunc(2.0 + extent * f / edge);
        }
        return product;
    };
    for (int step = 0; step < 20 && cells(factor) > kSceneGridCells; ++step)
        factor = float(factor * std::min(0.98, std::cbrt(kSceneGridCells / cells(factor))));
    // Two significant digits, as the configuration shows it.
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", double(factor));
    return float(std::atof(text));
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
           "    // file; its own smoothing (groups, or the normals it holds); its own materials\n"
           "    // and textures. The offset puts the model's bottom on the floor (model 0 is\n"
           "    // moved down by 1.65, the floor lies at -5) and its front at z = 0.\n"
           "    model0_fit = 6\n"
           "    model0_up = " + (zUp ? "z" : "y") + "\n"
           "    model0_offset = " + offsetText + "\n"
           "    model0_meshes = all\n"
           "    model0_smoothing = groups\n"
           "    model0_materials = file\n"
           "    // The first view shows model 0 whole, from three-quarter above (f frames it again).\n"
           "    camera = frame\n" +
           SkyFloorAndTracerConfiguration(factorText, ", chosen for the model's triangle count",
                                          "    // The floor in its own material (data/floor.3ds): the checker with a faint gloss.\n"
                                          "    model2_materials = file\n"
                                          "    // The sky lights the model's materials too: its shadowed side shows its shape.\n"
                                          "    sky_light = " + std::string(kModelSkyLight) + "\n");
}

std::string ModelSceneConfiguration(const std::string& dataName, const ModelMeasure& measure) {
    // The fitted model is centred on the origin; lift it by half its fitted height above the
    // floor, less model 0's fixed drop, and move it back by half its depth so that its front
    // lies in the plane z = 0: nearer, the bottom of a model as deep as it is wide would fall
    // below the camera's view (half-height 15 tan 22.5 = 6.2 units there).
    const float side = std::max({measure.hi[0] - measure.lo[0], measure.hi[1] - measure.lo[1],
                                 measure.hi[2] - measure.lo[2]});
    const float scale = side > 0.0f ? kModelFit / side : 1.0f;
    // Turned z-up to y-up, the file's z extent is the height and its y extent the depth.
    const bool zUp = !measure.yUpFormat && IsZUp(measure);
    const float height = (measure.hi[zUp ? 2 : 1] - measure.lo[zUp ? 2 : 1]) * scale;
    const float depth = (measure.hi[zUp ? 1 : 2] - measure.lo[zUp ? 1 : 2]) * scale;
    const float offset[3] = {0.0f, kFloorY - kModel0Drop + 0.5f * height, -0.5f * depth};
    return ModelConfiguration(dataName, zUp, offset, GridFactorFor(measure));
}

std::vector<std::pair<std::string, std::vector<unsigned char>>> SurroundingFiles() {
    return {{"data/texture1.bmp", EncodeBMP24(256, 256, MakeCheckerImage().data())},
            {"data/SKY.bmp", EncodeBMP24(512, 256, MakeSkyImage().data())},
            {"data/sky.3ds", Encode3DS({MakeSkyDome()})},
            {"data/floor.3ds", Encode3DS({GlossyFloor()}, {}, {kFloorMaterial})}};
}

bool WriteModelScene(const std::string& modelFile, const std::string& dir, bool keepConfiguration,
                     std::string* error) {
    namespace fs = std::filesystem;
    ModelMeasure measure;
    if (!MeasureModel(modelFile, measure, error)) return false;

    // Every file goes through WriteBytesInside or CopyFileInside: inside dir, never through a
    // link out of it.
    const fs::path root(dir);
    const std::string dataName = DataName(modelFile);
    if (!CopyFileInside(root, fs::path("data") / dataName, modelFile, error)) return false;
    const auto surroundings = SurroundingFiles();
    for (const auto& [name, bytes] : surroundings)
        if (!WriteBytesInside(root, name, bytes, error)) return false;
    // The model's companions, where the model finds them relative to itself: each lies inside
    // the model's folder (MeasureModel takes no other), which is checked again here.
    const fs::path folder = fs::path(modelFile).parent_path();
    for (const std::string& file : measure.companions) {
        const fs::path rel = RelativeInside(folder, file);
        if (rel.empty()) continue;
        const fs::path to = fs::path("data") / rel;
        bool ours = false;
        for (const auto& [name, bytes] : surroundings) {
            std::string a = fs::path(name).lexically_normal().string(), b = to.lexically_normal().string();
            for (char& c : a) c = char(std::tolower(static_cast<unsigned char>(c)));
            for (char& c : b) c = char(std::tolower(static_cast<unsigned char>(c)));
            ours = ours || a == b;
        }
        if (!ours && !CopyFileInside(root, to, file, error)) return false;
    }

    std::error_code ec;
    if (keepConfiguration && fs::symlink_status(root / "release.cgf", ec).type() != fs::file_type::not_found) return true;
    const std::string text = ModelSceneConfiguration(dataName, measure);
    return WriteBytesInside(root, "release.cgf", std::vector<unsigned char>(text.begin(), text.end()), error);
}

}  // namespace LOAD_3DS
