// Scene assembly: turns the configuration into the running system on the first display, in a
// fixed order (the order decides which texture names the models get, which grids are built
// with which settings and what the titles show).
#include <GL/gl.h>

#include <chrono>
#include <memory>
#include <string>

#include "app/config.h"
#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "grid/regular_grid.h"
#include "math/matrix.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/tobject.h"
#include "render/render.h"

namespace WIN_NMS {

namespace {

// Flag words of a model in the scene: bits 0 and 1 for every model, bits 2 and 3 (closest hit,
// shadows) for the traced ones.
constexpr unsigned kDrawnFlags = 0x3;
constexpr unsigned kTracedFlags = 0xF;

}  // namespace

void WIN_MAIN_CLASS::AssembleScene() {
    using ORVA_MATH::MATRIX;
    using ORVA_MATH::VECTOR;
    const auto started = std::chrono::steady_clock::now();
    if (!process) throw TIRN_ERROR::Error("The application has no objects to assemble the scene into");
    CONFIG::Lexer& config = process->config;
    RAYTR::TObject* models = process->models;

    // A window size or thread count that the tracer would refuse is refused first, before the
    // models are loaded and anything is allocated for it.
    RAYTR::ScreenTracer::CheckScreen(width, height, config.GetInt("tracer.threads_num"));

    // 1. The scene.
    process->scene = std::make_unique<RAYTR::Scene>();
    RAYTR::Scene* scene = process->scene.get();

    // 2-3. The two process-wide grid settings.
    const int algorithm = config.GetString("tracer.regular_grid.algoritm_type") == "fast_algorithm"
                              ? RAYTR::kFastAlgorithm
                              : RAYTR::kAccuracyAlgorithm;
    RAYTR::gridAlgorithm = algorithm;
    RAYTR::gridBuildFactor = config.GetFloat("tracer.regular_grid.cub_less_elem_times");

    // 4. Fixed places of models 0 and 2, configured or not (row-vector translations).
    models[0].SetTransform(MATRIX::Translation(0.0f, -1.65f, 0.0f) * MATRIX::Identity());
    models[2].SetTransform(MATRIX::Translation(0.0f, -5.0f, 0.0f));

    // 5. Fixed textures of models 0 to 2, in this order, configured or not.
    models[0].AssignTexture("data/texture1.bmp", 0);
    models[1].AssignTexture("data/SKY.bmp", 0);
    models[2].AssignTexture("data/texture1.bmp", 0);

    // 6-7. The configured models; the table has room for kModelTableSize, a negative count
    // loads nothing.
    const int count = config.GetInt("scene.N_models");
    if (count > kModelTableSize)
        throw TIRN_ERROR::Error("scene.N_models is " + std::to_string(count) + ", but at most " +
                                std::to_string(kModelTableSize) + " models can be loaded");
    for (int i = 0; i < count; ++i) {
        const std::string key = "scene.model" + std::to_string(i);
        models[i].LoadFrom3DS(config.GetString(key));
        if (config.GetInt(key + "_do_trace") != 0) {
            // Every grid construction (the scene's copies included) resets the process-wide
            // algorithm to the fast one; the configured algorithm holds for every model.
            models[i].SetGridAlgorithm(algorithm);
            models[i].PrepareForTracing();  // builds the grid; progress in the title
            models[i].flags = kTracedFlags;
        } else {
            models[i].flags = kDrawnFlags;
        }
        scene->AddObject(models[i]);
    }

    // 8. The light: white, directional for the preview (w = 0).
    light.position = VECTOR(3.0f, 3.0f, 5.0f, 0.0f);
    light.SetColour(255, 255, 255);
    scene->AddLight(light);

    // 9. The camera; up is +y.
    scene->eye = VECTOR(0.0f, 0.0f, 15.0f, 0.0f);
    scene->target = VECTOR(0.0f, 0.0f, 0.0f, 0.0f);

    // 10-11. The renderer at the window's current size.
    TIRN_ERROR::SetStatusTitle("Инициализация рендера");
    process->renderer = std::make_unique<Renderer>(width, height);
    process->renderer->AttachScene(scene);

    // 12-14. The tracer and its workers at the same size; an absent or 0 thread count means
    // one per hardware thread, a negative one is refused by the tracer.
    const int threads = config.GetInt("tracer.threads_num");
    TIRN_ERROR::SetStatusTitle("Инициализация рэйтрейсера");
    process->tracer = std::make_unique<RAYTR::ScreenTracer>(width, height, threads);
    process->tracer->AttachScene(scene);

    // 15-16.
    process->tracer->useZBuffer = config.GetInt("tracer.use_zbuffer_values") != 0;
    glEnable(GL_TEXTURE_2D);

    timings.assembly = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace WIN_NMS
