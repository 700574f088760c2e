#include "loaders/model_scene.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "loaders/bmp_writer.h"
#include "loaders/crease.h"
#include "loaders/demo_scene.h"
#include "loaders/folder_paths.h"
#include "loaders/image.h"
#include "loaders/import.h"
#include "loaders/l3ds.h"
#include "loaders/up_evidence.h"

namespace LOAD_3DS {

namespace {

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
        measure.boxDecides = ext == ".stl" || ext == ".ply";
        ImportedModel model;
        std::vector<std::string> read;
        ImportRequest request;
        request.filesRead = &read;
        if (!ImportModel(file, model, error, request)) return false;
        measure.meshes = model.meshesUsed;
        measure.triangles = (long long)model.faces.size();
        measure.declaredUp = model.declaredUp;
        measure.upSource = ext == ".fbx"                   ? "as its file declares"
                           : ext == ".gltf" || ext == ".glb" ? "glTF is y-up"
                                                             : "as assimp's reader turns it upright";
        for (const LFace& f : model.faces)
            for (int v : {f.a, f.b, f.c}) Grow(measure, any, model.positions[std::size_t(v)]);
        for (const LFace& f : model.faces)
            measure.firstEdges += Length(Subtract(model.positions[std::size_t(f.b)], model.positions[std::size_t(f.a)]));
        if (model.declaredUp == kUpUndeclared && (measure.boxDecides || ext == ".obj")) {
            if (ext == ".ply") measure.evidenceUp = PlyFileUp(file, &measure.evidenceSource);
            if (measure.evidenceUp == kUpUndeclared)
                measure.evidenceUp = FlatBaseUp(model.positions, model.faces, &measure.evidenceSource);
        }
        const std::filesystem::path self = std::filesystem::weakly_canonical(file);
        for (const std::string& f : read) {
            std::error_code ec;
            if (std::filesystem::weakly_canonical(f, ec) != self) AddCompanion(measure, f);
        }
        for (const FileMaterial& m : model.materials) {
            measure.namesTexture = measure.namesTexture || !m.texture.empty() || !m.embedded.empty();
            if (m.embedded.empty() && !m.texture.empty()) AddCompanion(measure, FindTextureFile(folder, m.texture));
        }
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
    // The 3DS format comes from a z-up program, and its files keep its axes.
    measure.declaredUp = DeclaredUp(UpAxis::Z);
    measure.upSource = "3DS files are z-up";
    for (int k = 0; k < reader.GetMaterialCount(); ++k)
        if (!reader.GetMaterial(k)->texture.empty()) {
            measure.namesTexture = true;
            AddCompanion(measure, FindTextureFile(folder, reader.GetMaterial(k)->texture));
        }
    return true;
}

bool IsZUp(const ModelMeasure& m) {
    const float side = std::max({m.hi[0] - m.lo[0], m.hi[1] - m.lo[1], m.hi[2] - m.lo[2]});
    const float near = 0.02f * side;
    return !(std::abs(m.lo[1]) <= near && std::abs(m.lo[2]) > near);
}

UpChoice ChooseUp(const ModelMeasure& m, const UpAxis* given) {
    if (given) return {*given, "as given"};
    if (m.declaredUp != kUpUndeclared && IsDeclaredUp(m.declaredUp))
        return {UpAxis(m.declaredUp - 1), m.upSource.empty() ? "as its file declares" : m.upSource};
    if (m.evidenceUp != kUpUndeclared && IsDeclaredUp(m.evidenceUp)) return {UpAxis(m.evidenceUp - 1), m.evidenceSource};
    if (m.boxDecides) return {IsZUp(m) ? UpAxis::Z : UpAxis::Y, "guessed from its box"};
    return {UpAxis::Y, "as its format draws it"};
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

int SceneSlot(int k) { return k == 0 ? 0 : k + 2; }

namespace {

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", v == 0.0 ? 0.0 : v);
    return text;
}

// A model's box turned upright and fitted: width (x), height (y) and depth (z) in the scene.
struct Placed {
    float size[3];
    float scale;
};
Placed PlaceUpright(const ModelMeasure& m, UpAxis up) {
    const LPoint3 extent = Apply(TurnUpright(up), {m.hi[0] - m.lo[0], m.hi[1] - m.lo[1], m.hi[2] - m.lo[2]});
    const float side = std::max({m.hi[0] - m.lo[0], m.hi[1] - m.lo[1], m.hi[2] - m.lo[2]});
    const float scale = side > 0.0f ? kModelFit / side : 1.0f;
    return {{std::abs(extent.x) * scale, std::abs(extent.y) * scale, std::abs(extent.z) * scale}, scale};
}

// Comment lines of release.cgf, at most 96 columns, from one text.
std::string Comment(const std::string& text) {
    std::string out, line = "    //";
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(' ', at);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(at, end - at);
        if (line.size() + 1 + word.size() > 96 && line.size() > 6) {
            out += line + "\n";
            line = "    //";
        }
        line.append(" ").append(word);
        at = end + 1;
    }
    return out + line + "\n";
}

// Room between models side by side, in units.
constexpr float kSceneGap = 1.5f;

// The keys of one model in slot i, with comments that state what they do.
std::string ModelKeys(int i, const SceneModel& model, float x, bool several) {
    const UpChoice up = model.upGiven ? ChooseUp(model.measure, &model.up) : ChooseUp(model.measure);
    const Placed placed = PlaceUpright(model.measure, up.axis);
    const std::string m = "    model" + std::to_string(i);
    const std::string offset = Number(x) + ",0," + Number(-0.5 * placed.size[2]);
    const std::string name = UpAxisName(up.axis);
    std::string text = m + " = " + model.file + "\n" + m + "_do_trace = 1\n";
    text += Comment("Largest side " + Number(kModelFit) + " units (scaled by " + Number(placed.scale) +
                    "), centred; its " + name + " axis turned up (" + up.why +
                    "); every mesh of the file; its own normals, else smooth ones with edges over " +
                    Number(kDefaultCreaseDegrees) +
                    " degrees kept sharp; its own materials and textures. Then its lowest point goes on the "
                    "floor (y = " + Number(kSceneFloorY) + "), whatever its up axis, and it is moved by " + offset +
                    ": " + Number(placed.size[0]) + " x " + Number(placed.size[1]) + " x " + Number(placed.size[2]) +
                    " units, " + (several ? "side by side with the others along x, " : "") + "its front at z = 0.");
    text += m + "_fit = " + Number(kModelFit) + "\n" + m + "_up = " + name + "\n" + m + "_floor = " +
            Number(kSceneFloorY) + "\n" + m + "_offset = " + offset + "\n" + m + "_meshes = all\n" + m +
            "_smoothing = groups\n" + m + "_materials = file\n";
    if (!model.texture.empty()) text += "    // Laid over it on its own mapping coordinates:\n" + m + "_texture = " + model.texture + "\n";
    return text;
}

}  // namespace

std::string ModelSceneConfiguration(const std::vector<SceneModel>& models) {
    const std::size_t n = std::min<std::size_t>(models.size(), kMaxSceneModels);
    // Side by side along x, centred: each model's fitted, turned width and a gap between.
    std::vector<float> widths;
    float total = 0.0f;
    for (std::size_t k = 0; k < n; ++k) {
        const SceneModel& model = models[k];
        const UpChoice up = model.upGiven ? ChooseUp(model.measure, &model.up) : ChooseUp(model.measure);
        widths.push_back(PlaceUpright(model.measure, up.axis).size[0]);
        total += widths.back() + (k > 0 ? kSceneGap : 0.0f);
    }
    std::string names, framed, keys;
    float left = -0.5f * total, factor = 0.0f;
    for (std::size_t k = 0; k < n; ++k) {
        const int slot = SceneSlot(int(k));
        keys += ModelKeys(slot, models[k], left + 0.5f * widths[k], n > 1);
        left += widths[k] + kSceneGap;
        if (k > 0) names += ", ", framed += ",";
        names += std::filesystem::path(models[k].file).filename().string();
        framed += std::to_string(slot);
        const float f = GridFactorFor(models[k].measure);
        factor = k == 0 ? f : std::min(factor, f);
    }
    char factorText[32];
    std::snprintf(factorText, sizeof factorText, "%g", factor);
    return "// Red Owl scene around " + names + ", written by redowl-demo-scene --model.\n"
           "win {\n"
           "    width = 512\n"
           "    height = 512\n"
           "}\n"
           "scene {\n"
           "    N_models = " + std::to_string(n > 1 ? SceneSlot(int(n) - 1) + 1 : 3) + "\n" +
           keys +
           "    // The first view shows the models whole, from three-quarter above (f frames them again).\n"
           "    camera = frame\n" +
           SkyFloorAndTracerConfiguration(factorText, ", chosen for the model's triangle count", framed,
                                          "    // The floor in its own material (data/floor.3ds): the checker with a faint gloss.\n"
                                          "    model2_materials = file\n"
                                          "    // The sky lights the model's materials too: its shadowed side shows its shape.\n"
                                          "    sky_light = " + std::string(kModelSkyLight) + "\n");
}

std::string ModelSceneConfiguration(const std::string& dataName, const ModelMeasure& measure) {
    SceneModel model;
    model.file = "data/" + dataName;
    model.measure = measure;
    return ModelSceneConfiguration(std::vector<SceneModel>{model});
}

std::vector<std::pair<std::string, std::vector<unsigned char>>> SurroundingFiles() {
    return {{"data/texture1.bmp", EncodeBMP24(256, 256, MakeCheckerImage().data())},
            {"data/SKY.bmp", EncodeBMP24(512, 256, MakeSkyImage().data())},
            {"data/sky.3ds", Encode3DS({MakeSkyDome()})},
            {"data/floor.3ds", Encode3DS({GlossyFloor()}, {}, {kFloorMaterial})}};
}

bool WriteModelScene(const std::string& modelFile, const std::string& dir, bool keepConfiguration,
                     std::string* error, const UpAxis* up) {
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
    SceneModel model;
    model.file = "data/" + dataName;
    model.measure = measure;
    model.upGiven = up != nullptr;
    if (up) model.up = *up;
    const std::string text = ModelSceneConfiguration(std::vector<SceneModel>{model});
    return WriteBytesInside(root, "release.cgf", std::vector<unsigned char>(text.begin(), text.end()), error);
}

}  // namespace LOAD_3DS
