// The frame loop: light animation, view rotation, the hybrid or traced frame, the swap and the
// frame rate in the title; and reshape.
#include <GL/freeglut.h>
#include <GL/glu.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/viewer_objects.h"
#include "app/win_main.h"
#include "errors/errors.h"
#include "errors/message_box.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "render/render.h"

namespace WIN_NMS {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

}  // namespace

void WIN_MAIN_CLASS::AnimateLight() {
    if (frame.lightPaused) return;
    // On the path x = 4 cos a, y = cos a + 2, z = 8 sin a; sine and cosine are rounded to float
    // before they are scaled. w stays as assembly set it.
    const float a = frame.lightAngle;
    light.position.z = 8.0f * static_cast<float>(std::sin(static_cast<double>(a)));
    const float c = static_cast<float>(std::cos(static_cast<double>(a)));
    light.position.x = 4.0f * c;
    light.position.y = c + 2.0f;
    frame.lightAngle = a + frame.lightSpeed / frame.frameRate;
}

void WIN_MAIN_CLASS::Frame() {
    if (!scene() || !renderer() || !tracer()) throw TIRN_ERROR::Error("A frame was asked for before the scene was assembled");
    const Clock::time_point start = Clock::now();
    // Between frames: a resized window gets a renderer and a tracer of its own size, so that
    // the preview, its depth, the mask and the traced image cover exactly its pixels.
    if (tracer()->Width() != width || tracer()->Height() != height) {
        process->Resize(width, height);
        views.AttachTracer(*tracer());
    }
    RAYTR::Scene* const scene = this->scene();
    Renderer* const renderer = this->renderer();
    RAYTR::ScreenTracer* const tracer = this->tracer();
    const Clock::time_point resized = Clock::now();

    // The light of this frame into the scene's light 0, the angle on to the next frame.
    AnimateLight();
    scene->lights[0] = light;
    PlaceCamera(*scene);  // rotation, eye, target and clipping planes of this frame's view

    Clock::time_point t0 = Clock::now(), t1 = t0, t2 = t0, t3 = t0, t4 = t0;
    if (!tracedImageMode) {
        // Hybrid: preview, its depth for the tracer, the shadow mask multiplied over it.
        renderer->DrawPreview();
        t1 = Clock::now();
        const RAYTR::DepthWords depth{tracer->useZBuffer ? renderer->ReadDepthBuffer() : nullptr};
        t2 = Clock::now();
        tracer->TraceFrame(depth);
        t3 = Clock::now();
        tracer->UploadTexture(0);
        tracer->BindTexture(0);
        renderer->DrawOverlay();
        t4 = Clock::now();
    } else {
        // Traced image: every pixel shaded, copied unchanged to the window.
        const std::uint32_t* image = tracer->TraceFullFrame();
        t3 = Clock::now();
        ORVA_GRAPHICS::DrawTracedImage(image, tracer->Width(), tracer->Height(), width, height);
        t4 = Clock::now();
    }
    // The inspection views over (or in place of) the picture.
    if (!tracedImageMode) views.DrawMaskView(*tracer);
    views.DrawGrid(*scene);
    const Clock::time_point t5 = Clock::now();
    timings.preview = Seconds(t0, t1);
    timings.depthRead = Seconds(t1, t2);
    timings.tracing = Seconds(t2, t3);
    timings.upload = Seconds(t3, t4);
    timings.resize = Seconds(start, resized);
    timings.views = Seconds(t4, t5);

    if (views.screenshotPending) views.SaveScreenshot(width, height, std::cout, std::cerr);
    if (beforeSwap) beforeSwap();
    // With a software driver the swap is where the overlay is rasterised and the picture copied
    // to the window: part of the frame's cost.
    const Clock::time_point t6 = Clock::now();
    glutSwapBuffers();
    const Clock::time_point t7 = Clock::now();
    timings.swap = Seconds(t6, t7);
    timings.frame = Seconds(start, t5) + timings.swap;
    CountFrame();
}

void WIN_MAIN_CLASS::CountFrame() {
    // Windows of up to 100 frames: the 101st frame restarts the window at count 0.
    ++frame.frameCount;
    if (frame.frameCount > 100) {
        frame.frameCount = 0;
        frame.windowStart = glutGet(GLUT_ELAPSED_TIME);
    }
    const int now = glutGet(GLUT_ELAPSED_TIME);
    if (now != frame.windowStart && frame.frameCount != 0) {
        frame.frameRate = static_cast<float>(frame.frameCount * 1000.0 / (now - frame.windowStart));
        char title[64];
        if (views.mask != MaskView::kOff && !tracedImageMode)
            std::snprintf(title, sizeof title, "FPS=%d, traced %.2f%% of the pixels", static_cast<int>(frame.frameRate),
                          100.0 * views.tracedShare);
        else
            std::snprintf(title, sizeof title, "FPS=%d", static_cast<int>(frame.frameRate));
        // An unchanged title costs the window system a property change and a flush per frame.
        if (std::strcmp(title, frame.title) != 0) {
            std::memcpy(frame.title, title, sizeof title);
            TIRN_ERROR::SetStatusTitle(title);
        }
    }
}

void WIN_MAIN_CLASS::reshape(int newWidth, int newHeight) {
    glViewport(0, 0, newWidth, newHeight);
    ApplySize(newWidth, newHeight);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const RAYTR::Scene* const scene = this->scene();
    if (scene) {
        // Once the scene exists the projection keeps its near and far, which the tracer's depth
        // reconstruction assumes; the next frame makes a renderer and a tracer of the new size.
        gluPerspective(45.0, AspectRatio(newWidth, newHeight), scene->nearDistance, scene->farDistance);
    } else {
        gluPerspective(45.0, AspectRatio(newWidth, newHeight), 1.0, 100.0);
    }
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glutPostRedisplay();
}

}  // namespace WIN_NMS
