// Scene assembly: turns the configuration into the running system on the first display, in a
// fixed order (the order decides which texture names the models get, which grids are built
// with which settings and what the titles show).
#include <GL/gl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "app/accumulation.h"
#include "app/config.h"
#include "app/model_keys.h"
#include "app/viewer_objects.h"
#include "app/window_title.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "grid/build_threads.h"
#include "grid/regular_grid.h"
#include "math/matrix.h"
#include "mesh/model_load.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/sky.h"
#include "raytracer/tobject.h"
#include "render/render.h"

namespace WIN_NMS {

namespace {

// Flag words of a model in the scene: bits 0 and 1 for every model, bits 2 and 3 (closest hit,
// shadows) for the traced ones.
constexpr unsigned kDrawnFlags = 0x3;
constexpr unsigned kTracedFlags = 0xF;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Totals of the load report's summary line.
struct LoadTotals {
    int models = 0;
    int traced = 0;
    unsigned long long triangles = 0;
    unsigned long long gridBytes = 0;
    double loadSeconds = 0.0;
    double buildSeconds = 0.0;
};

// One model's lines of the load report on standard output: what was loaded and what its grid
// costs, so that a user can see why a model is slow or large.
void ReportModel(int i, const std::string& file, const ORVA_GRAPHICS::ModelLoadInfo& info, const RAYTR::TObject& m,
                 bool traced, double loadSeconds, double buildSeconds, LoadTotals& totals) {
    float lo[3] = {0.0f, 0.0f, 0.0f}, hi[3] = {0.0f, 0.0f, 0.0f};
    for (unsigned v = 0; v < m.vertexCount; ++v)
        for (int k = 0; k < 3; ++k) {
            const float c = m.vertices[v].position[k];
            lo[k] = v == 0 ? c : std::min(lo[k], c);
            hi[k] = v == 0 ? c : std::max(hi[k], c);
        }
    std::printf("model %d: %s\n", i, file.c_str());
    std::printf("  meshes %d of %d, %u vertices, %u triangles, box %.3g x %.3g x %.3g, load %.1f ms\n",
                info.meshesUsed, info.meshesInFile, m.vertexCount, m.triangleCount, hi[0] - lo[0], hi[1] - lo[1],
                hi[2] - lo[2], loadSeconds * 1e3);
    if (info.droppedPrimitives > 0) std::printf("  %lld points and lines left out\n", info.droppedPrimitives);
    if (info.nonFinite > 0)
        std::printf("  %lld triangles left out: a corner is not a finite point\n", info.nonFinite);
    if (!m.batches.empty())
        std::printf("  materials %d of the file, %d textures\n", info.materials, info.textures);
    for (const std::string& note : info.notes) std::printf("  %s\n", note.c_str());
    if (traced && m.grid) {
        const int* r = m.grid->Resolution();
        const unsigned long long cells = 1ull * unsigned(r[0]) * unsigned(r[1]) * unsigned(r[2]);
        const std::size_t bytes = m.grid->MemoryBytes();
        std::printf("  grid %d x %d x %d = %llu cells, %.2f MB, build %.1f ms\n", r[0], r[1], r[2], cells,
                    double(bytes) / (1024.0 * 1024.0), buildSeconds * 1e3);
        if (m.grid->LeftOut() > 0)
            std::printf("  %u degenerate or repeated triangles left out of the grid\n", m.grid->LeftOut());
        totals.gridBytes += bytes;
        ++totals.traced;
    } else {
        std::printf("  not traced: no grid\n");
    }
    ++totals.models;
    totals.triangles += m.triangleCount;
    totals.loadSeconds += loadSeconds;
    totals.buildSeconds += buildSeconds;
}

// The grid build settings from the configuration.
RAYTR::GridBuildSettings GridSettings(CONFIG::Lexer& config) {
    RAYTR::GridBuildSettings grid;
    grid.algorithm = config.GetString("tracer.regular_grid.algoritm_type") == "fast_algorithm"
                         ? RAYTR::kFastAlgorithm
                         : RAYTR::kAccuracyAlgorithm;
    grid.factor = config.GetFloat("tracer.regular_grid.cub_less_elem_times");
    grid.autoFactor = config.GetString("tracer.regular_grid.cub_less_elem_times") == "auto";
    // The grids are built on as many threads as the tracer will trace with (0: the hardware's);
    // the cells are the same for any count. (A negative count is refused before.)
    grid.threads = config.GetInt("tracer.threads_num");
    // Progress in the window title, at most BuildTitles::kPerSecond titles a second.
    grid.progress = BuildTitles([](const std::string& title) { TIRN_ERROR::SetStatusTitle(title); });
    // Warnings (the memory a configuration asks for) in a box before the cells are made; the
    // build goes on once it is closed.
    grid.warn = [](const std::string& warning) { TIRN_ERROR::ShowErrorBox("ALERT!", warning); };
    return grid;
}

// Model i: loaded with its options (progress in the title), its grid built when it is traced,
// reported, and moved into the scene.
void LoadModelInto(RAYTR::Scene& scene, int i, RAYTR::TObject& model, CONFIG::Lexer& config,
                   const RAYTR::GridBuildSettings& grid, LoadTotals& totals) {
    const std::string key = "scene.model" + std::to_string(i);
    const std::string file = config.GetString(key);
    const ORVA_GRAPHICS::ModelOptions options = ReadModelOptions(config, i);
    const auto loadStart = std::chrono::steady_clock::now();
    // The title follows a long load: "Loading model 0 (x.ply): reading 40%".
    std::string shown;
    const std::string name = std::filesystem::path(file).filename().string();
    const auto progress = [&](const char* stage, float share) {
        const int percent = int(share * 100.0f);
        char title[96];
        if (percent > 0)
            std::snprintf(title, sizeof title, "Loading model %d (%.40s): %s %d%%", i, name.c_str(), stage, percent);
        else
            std::snprintf(title, sizeof title, "Loading model %d (%.40s): %s", i, name.c_str(), stage);
        if (title != shown) TIRN_ERROR::SetStatusTitle(title);
        shown = title;
    };
    progress("reading", 0.0f);
    const ORVA_GRAPHICS::ModelLoadInfo info = ORVA_GRAPHICS::LoadModel(model, file, options, progress);
    // An image given for the model (its texture key, the command line's --texture) is a matte
    // surface in both modes: the file materials' default reflection over that image, not the
    // fixed shading's mirror bounce.
    if (!ModelTexture(config, i).empty() && options.materials == ORVA_GRAPHICS::Materials::Fixed)
        for (ORVA_GRAPHICS::Material& m : model.materials) m.described = true;
    model.UploadNewTextures();  // the file's textures, records 1, 2, ...
    const double loadSeconds = SecondsSince(loadStart);
    double buildSeconds = 0.0;
    const bool traced = config.GetInt(key + "_do_trace") != 0;
    if (traced) {
        const auto buildStart = std::chrono::steady_clock::now();
        model.gridSettings = grid;
        model.PrepareForTracing();  // progress in the title, warnings in boxes (GridSettings)
        buildSeconds = SecondsSince(buildStart);
        model.flags = kTracedFlags;
    } else {
        model.flags = kDrawnFlags;
    }
    ReportModel(i, file, info, model, traced, loadSeconds, buildSeconds, totals);
    // The scene keeps the model: an empty object is added and the model moved into it, so that
    // a large model and its grid are not copied (the table's entry is not used again).
    scene.AddObject(RAYTR::TObject());
    scene.objects[scene.objects.Size() - 1].SwapWith(model);
}

}  // namespace

void WIN_MAIN_CLASS::AssembleScene() {
    using ORVA_MATH::MATRIX;
    using ORVA_MATH::VECTOR;
    const auto started = std::chrono::steady_clock::now();
    if (!process) throw TIRN_ERROR::Error("The application has no objects to assemble the scene into");
    CONFIG::Lexer& config = process->config;
    RAYTR::TObject* models = process->models;

    // The picture: the window, or the largest part of it the tracer takes (in its lower-left
    // corner), as after a resize. A thread count the tracer would refuse is refused first,
    // before the models are loaded and anything is allocated for it.
    int pictureWidth = width, pictureHeight = height;
    RAYTR::ScreenTracer::LargestScreen(pictureWidth, pictureHeight);
    RAYTR::ScreenTracer::CheckScreen(pictureWidth, pictureHeight, config.GetInt("tracer.threads_num"));
    // So are the settling picture's and the sky's keys.
    const SettleKeys settle = ReadSettleKeys(config);

    // 1. The scene.
    process->scene = std::make_unique<RAYTR::Scene>();
    RAYTR::Scene* scene = process->scene.get();

    // 2-3. The grid build settings, handed to every traced model's build.
    const RAYTR::GridBuildSettings grid = GridSettings(config);

    // 4. Fixed places of models 0 and 2, configured or not (row-vector translations).
    models[0].SetTransform(MATRIX::Translation(0.0f, FixedDrop(0), 0.0f) * MATRIX::Identity());
    models[2].SetTransform(MATRIX::Translation(0.0f, FixedDrop(2), 0.0f));

    // 5. Fixed textures of models 0 to 2, in this order, configured or not; a model's own
    // texture key takes the place of its fixed file. Models 3 and 4 get only their own.
    const char* fixedTextures[3] = {"data/texture1.bmp", "data/SKY.bmp", "data/texture1.bmp"};
    for (int i = 0; i < kModelTableSize; ++i) {
        const std::string own = ModelTexture(config, i);
        if (!own.empty()) models[i].AssignTexture(own, 0);
        else if (i < 3) models[i].AssignTexture(fixedTextures[i], 0);
    }

    // 6-7. The configured models; the table has room for kModelTableSize, a negative count
    // loads nothing.
    const int count = config.GetInt("scene.N_models");
    if (count > kModelTableSize)
        throw TIRN_ERROR::Error("scene.N_models is " + std::to_string(count) + ", but at most " +
                                std::to_string(kModelTableSize) + " models can be loaded");
    LoadTotals totals;
    for (int i = 0; i < count; ++i) LoadModelInto(*scene, i, models[i], config, grid, totals);

    // 8. The light: white; for the preview a direction toward it (w = 0) or, with
    // "scene.preview_light = point", a point with the tracer's attenuation (w = 1). The tracer
    // takes it as a point either way.
    light.position = VECTOR(3.0f, 3.0f, 5.0f, settle.pointLight ? 1.0f : 0.0f);
    light.SetColour(255, 255, 255);
    light.radius = settle.lightRadius;
    scene->AddLight(light);
    accumulation.maxSamples = settle.maxSamples;
    budget.budgetMs = settle.frameBudgetMs;
    // The traced sky: the dome of model 1 (the one that gets the sky texture), as the scene
    // holds its copy.
    if (settle.skyDome && scene->objects.Size() > 1) scene->sky = RAYTR::DomeOf(scene->objects[1]);
    RAYTR::PrepareLighting(*scene, settle.skyLight);

    // 9. The camera, up +y: the fixed view (the eye 15 units in front of the origin, looking
    // at it) or, with "scene.camera = frame", the models framed (app/win_main_camera.cpp).
    SetUpCamera();
    PlaceCamera(*scene);

    // 10-11. The renderer at the picture's size.
    TIRN_ERROR::SetStatusTitle("Инициализация рендера");
    process->renderer = std::make_unique<Renderer>(pictureWidth, pictureHeight);
    process->renderer->AttachScene(scene);
    if (!process->renderer->PreviewNote().empty()) std::printf("%s\n", process->renderer->PreviewNote().c_str());
    // Model 1 is the sky (it gets the sky's texture): lit as by a distant light whatever the light.
    process->renderer->skyObject = count > 1 ? 1 : -1;

    // 12-14. The tracer and its workers at the same size; an absent or 0 thread count means
    // one per hardware thread, a negative one is refused by the tracer.
    const int threads = config.GetInt("tracer.threads_num");
    TIRN_ERROR::SetStatusTitle("Инициализация рэйтрейсера");
    process->tracer = std::make_unique<RAYTR::ScreenTracer>(pictureWidth, pictureHeight, threads);
    process->tracer->AttachScene(scene);

    // 15-16.
    process->tracer->useZBuffer = config.GetInt("tracer.use_zbuffer_values") != 0;
    process->tracer->smoothTracedImage = settle.smooth;
    process->tracer->Mask().keepAmbient = settle.ambientShadows;
    process->tracer->denoise = settle.denoise;
    process->tracer->adaptiveSampling = settle.adaptive;
    glEnable(GL_TEXTURE_2D);

    timings.assembly = SecondsSince(started);
    std::printf("%d models (%d traced), %llu triangles, grids %.2f MB, load %.1f ms, grid builds %.1f ms, "
                "assembly %.1f ms\n",
                totals.models, totals.traced, totals.triangles, double(totals.gridBytes) / (1024.0 * 1024.0),
                totals.loadSeconds * 1e3, totals.buildSeconds * 1e3, timings.assembly * 1e3);
    std::fflush(stdout);
}

}  // namespace WIN_NMS
