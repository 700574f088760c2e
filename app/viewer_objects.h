#pragma once
// The process's objects, owned in one place by the viewer and by the snapshot program, each of
// which keeps one ViewerObjects with static storage. They are made in the order declared here
// and destroyed in the reverse order:
//   1. the application object, which reaches the others through this owner;
//   2. the configuration reader, its map empty until the entry point reads release.cgf;
//   3. the model table, filled by scene assembly;
//   4. the ray-tracing scene, 5. the OpenGL renderer and 6. the screen tracer, made by scene
//      assembly in that order. A resize re-creates the renderer and the tracer at the window's
//      new size (Resize).
// Going in reverse, the tracer stops its workers before the scene they read goes.

#include <memory>

#include "app/config.h"
#include "app/win_main.h"
#include "raytracer/tobject.h"

namespace WIN_NMS {

struct ViewerObjects {
    ViewerObjects();
    ~ViewerObjects();
    ViewerObjects(const ViewerObjects&) = delete;
    ViewerObjects& operator=(const ViewerObjects&) = delete;

    WIN_MAIN_CLASS app;
    CONFIG::Lexer config;
    RAYTR::TObject models[kModelTableSize];
    std::unique_ptr<RAYTR::Scene> scene;
    std::unique_ptr<Renderer> renderer;
    std::unique_ptr<RAYTR::ScreenTracer> tracer;

    // Between frames: a renderer and a tracer for a width x height window in place of the old
    // ones, with the tracer's thread count, depth and smoothing switches and the scene's near
    // and far. The old ones go first so that their memory is free for the new. Throws what the
    // construction throws (its box shown), leaving no renderer and no tracer.
    void Resize(int width, int height);
};

}  // namespace WIN_NMS
