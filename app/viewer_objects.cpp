#include "app/viewer_objects.h"

#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "render/render.h"

namespace WIN_NMS {

ViewerObjects::ViewerObjects() { app.SetProcessObjects(this); }

// The members go in reverse: tracer (its workers stop), renderer, scene, models, configuration,
// application object.
ViewerObjects::~ViewerObjects() = default;

void ViewerObjects::Resize(int width, int height) {
    const int threads = tracer ? tracer->ThreadCount() : 0;
    const bool useZBuffer = tracer && tracer->useZBuffer;
    const bool smooth = !tracer || tracer->smoothTracedImage;
    const bool denoise = tracer && tracer->denoise;
    const bool adaptive = tracer && tracer->adaptiveSampling;
    RAYTR::ScreenTracer::CheckScreen(width, height, threads);
    tracer.reset();
    renderer.reset();
    renderer = std::make_unique<Renderer>(width, height);
    renderer->AttachScene(scene.get());
    tracer = std::make_unique<RAYTR::ScreenTracer>(width, height, threads);
    tracer->AttachScene(scene.get());
    tracer->useZBuffer = useZBuffer;
    tracer->smoothTracedImage = smooth;
    tracer->denoise = denoise;
    tracer->adaptiveSampling = adaptive;
}

}  // namespace WIN_NMS
