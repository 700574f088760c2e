// The frame loop: light animation, view rotation, the hybrid or traced frame (a new picture, or
// one more pass of the settling picture, or the finished picture shown again), the swap and
// the frame rate in the title; and reshape.
#include <GL/freeglut.h>
#include <GL/glu.h>

#include <algorithm>
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

void WIN_MAIN_CLASS::AnimateLight(double now) {
    if (frame.lightPaused) {
        frame.lightClockRunning = false;
        return;
    }
    // The angle by the time that passed since the last step, so the light turns at its speed
    // however fast the frames come (the first step after the start or a stop adds nothing).
    if (frame.lightClockRunning)
        frame.lightAngle += static_cast<float>(static_cast<double>(frame.lightSpeed) * (now - frame.lightClock));
    frame.lightClock = now;
    frame.lightClockRunning = true;
    // On the path x = 4 cos a, y = cos a + 2, z = 8 sin a; sine and cosine are rounded to float
    // before they are scaled. w stays as assembly set it.
    const float a = frame.lightAngle;
    light.position.z = 8.0f * static_cast<float>(std::sin(static_cast<double>(a)));
    const float c = static_cast<float>(std::cos(static_cast<double>(a)));
    light.position.x = 4.0f * c;
    light.position.y = c + 2.0f;
}

bool WIN_MAIN_CLASS::Resting() const {
    if (frame.firstFrame) return false;
    if (width <= 0 || height <= 0) return true;
    const bool lightStill = frame.lightPaused || frame.lightSpeed == 0.0f;
    return lightStill && accumulation.Done() && !views.screenshotPending;
}

// The clock at the stages' borders: the frame's start, the picture resized, then (hybrid) the
// preview drawn, the depth read, the picture traced, the overlay drawn, or (traced) the picture
// traced and copied.
struct WIN_MAIN_CLASS::StageMarks {
    Clock::time_point start, resized, t0, t1, t2, t3, t4;
};

void WIN_MAIN_CLASS::Frame() {
    if (!scene() || !renderer() || !tracer()) throw TIRN_ERROR::Error("A frame was asked for before the scene was assembled");
    StageMarks marks;
    marks.start = Clock::now();
    FitPictureToWindow();
    marks.resized = Clock::now();
    const Accumulation::Step step = PlanFrame(std::chrono::duration<double>(marks.start.time_since_epoch()).count());
    marks.t0 = marks.t1 = marks.t2 = marks.t3 = marks.t4 = Clock::now();
    if (!tracedImageMode)
        HybridFrame(step, marks);
    else
        TracedFrame(step, marks);
    FinishFrame(step, marks);
}

void WIN_MAIN_CLASS::FitPictureToWindow() {
    // A resized window gets a renderer and a tracer of its own size, so that the preview, its
    // depth, the mask and the traced image cover exactly its pixels; a window larger than the
    // tracer takes gets the largest picture it does take, in its lower-left corner.
    int pictureWidth = width, pictureHeight = height;
    RAYTR::ScreenTracer::LargestScreen(pictureWidth, pictureHeight);
    if (tracer()->Width() != pictureWidth || tracer()->Height() != pictureHeight) {
        process->Resize(pictureWidth, pictureHeight);
        views.AttachTracer(*tracer());
    }
    glViewport(0, 0, pictureWidth, pictureHeight);
}

Accumulation::Step WIN_MAIN_CLASS::PlanFrame(double now) {
    RAYTR::Scene& scene = *this->scene();
    // The light of this frame into the scene's light 0.
    AnimateLight(now);
    scene.lights[0] = light;
    PlaceCamera(scene);  // rotation, eye, target and clipping planes of this frame's view

    // A new picture when anything it shows changed (or the tracer is new), else one more pass,
    // else the same again.
    if (tracer()->Samples() == 0) accumulation.Restart();
    const Accumulation::Step step =
        accumulation.Plan(CaptureView(scene, tracer()->Width(), tracer()->Height(), tracedImageMode));
    if (step != Accumulation::Step::kShow && frame.rested) {
        // Back from rest: the rate is measured from here, not over the time at rest.
        frame.frameCount = 0;
        frame.windowStart = glutGet(GLUT_ELAPSED_TIME);
    }
    frame.rested = step == Accumulation::Step::kShow;
    return step;
}

void WIN_MAIN_CLASS::HybridFrame(Accumulation::Step step, StageMarks& marks) {
    // Preview, its depth for the tracer, the shadow mask multiplied over it. A pass uses the
    // depth of its picture's frame, which stays in the renderer.
    Renderer* const renderer = this->renderer();
    RAYTR::ScreenTracer* const tracer = this->tracer();
    const double pixels = static_cast<double>(tracer->Width()) * tracer->Height();
    renderer->drawLightMarker = showLightMarker;
    renderer->DrawPreview();
    marks.t1 = Clock::now();
    // A new picture: the whole mask, or, while the view moves and the whole frame is predicted
    // not to fit the budget, the mask of every second pixel each way (the mask views show what
    // the whole mask traces, so they keep it). A coarse picture is made whole before its passes.
    const bool completes = step == Accumulation::Step::kPass && !tracer->Complete();
    int maskStep = 0;  // no mask traced
    if (step == Accumulation::Step::kFrame || completes) {
        const RAYTR::DepthWords depth{tracer->useZBuffer ? renderer->ReadDepthBuffer() : nullptr};
        marks.t2 = Clock::now();
        const bool moving = step == Accumulation::Step::kFrame && views.mask == MaskView::kOff;
        if (moving && budget.MaskStep(pixels) > 1)
            tracer->TraceCoarseMask(depth);
        else
            tracer->TraceFrame(depth);
        maskStep = tracer->MaskStep();
        accumulation.FrameDone(tracer->Samples(), tracer->PassesCanChange(), tracer->Complete());
    } else if (step == Accumulation::Step::kPass) {
        marks.t2 = Clock::now();
        const float change = tracer->AccumulatePass();
        accumulation.PassDone(tracer->Samples(), change);
    } else {
        marks.t2 = Clock::now();
    }
    marks.t3 = Clock::now();
    if (step != Accumulation::Step::kShow) tracer->UploadTexture(0);
    tracer->BindTexture(0);
    renderer->DrawOverlay();
    marks.t4 = Clock::now();
    timings.kind = "hybrid";
    timings.latticeStep = tracer->MaskStep();
    timings.tracedShare = step == Accumulation::Step::kShow ? 0.0 : 1.0 / (timings.latticeStep * timings.latticeStep);
    timings.shading = 0.0;
    frame.maskStep = maskStep;
}

void WIN_MAIN_CLASS::TracedFrame(Accumulation::Step step, StageMarks& marks) {
    // A new picture (within the budget, when every pixel would not fit: a lattice of every k-th
    // pixel, the rest reconstructed), or its missing pixels filled in, or one more pass; copied
    // unchanged to the window.
    RAYTR::ScreenTracer* const tracer = this->tracer();
    const double pixels = static_cast<double>(tracer->Width()) * tracer->Height();
    timings.kind = "shown";
    if (step == Accumulation::Step::kFrame) {
        const int k = budget.Step(pixels);
        tracer->TraceLatticeFrame(k, static_cast<int>(frame.latticePhase++ % static_cast<std::uint32_t>(k * k)));
        frame.fillFrames = 0;
        timings.kind = k > 1 ? "lattice" : "full";
        // Not done while pixels are missing, whatever the passes would do.
        accumulation.FrameDone(tracer->Samples(), tracer->PassesCanChange(), tracer->Complete());
    } else if (step == Accumulation::Step::kPass && !tracer->Complete()) {
        tracer->FillIn(budget.FillPhases(pixels, tracer->LatticeStep(), tracer->PhasesLeft()));
        ++frame.fillFrames;
        timings.kind = "fill-in";
        // Complete now: the settling picture goes on from the full trace's bytes.
        if (tracer->Complete()) accumulation.FrameDone(tracer->Samples(), tracer->PassesCanChange());
    } else if (step == Accumulation::Step::kPass) {
        const float change = tracer->AccumulatePass();
        accumulation.PassDone(tracer->Samples(), change);
        timings.kind = "pass";
    }
    timings.latticeStep = tracer->LatticeStep();
    timings.shading = step == Accumulation::Step::kShow ? 0.0 : tracer->LastTracingSeconds();
    timings.tracedShare = step == Accumulation::Step::kShow ? 0.0 : static_cast<double>(tracer->LastTracedPixels()) / pixels;
    marks.t3 = Clock::now();
    ORVA_GRAPHICS::DrawTracedImage(tracer->Buffer(0), tracer->Width(), tracer->Height(), width, height);
    marks.t4 = Clock::now();
}

void WIN_MAIN_CLASS::FinishFrame(Accumulation::Step step, StageMarks& marks) {
    RAYTR::ScreenTracer* const tracer = this->tracer();
    // The inspection views over (or in place of) the picture.
    if (!tracedImageMode) views.DrawMaskView(*tracer);
    views.DrawGrid(*scene());
    if (showHelp) InspectViews::DrawControls(width, height);
    const Clock::time_point t5 = Clock::now();
    timings.preview = Seconds(marks.t0, marks.t1);
    timings.depthRead = Seconds(marks.t1, marks.t2);
    timings.tracing = Seconds(marks.t2, marks.t3);
    timings.upload = Seconds(marks.t3, marks.t4);
    timings.resize = Seconds(marks.start, marks.resized);
    timings.views = Seconds(marks.t4, t5);

    if (views.screenshotPending) views.SaveScreenshot(width, height, std::cout, std::cerr);
    if (beforeSwap) beforeSwap();
    // With a software driver the swap is where the overlay is rasterised and the picture copied
    // to the window: part of the frame's cost.
    const Clock::time_point t6 = Clock::now();
    glutSwapBuffers();
    timings.swap = Seconds(t6, Clock::now());
    timings.frame = Seconds(marks.start, t5) + timings.swap;
    // The costs that choose the next frames' steps: a traced picture's tracing, or a mask frame's.
    const double pixels = static_cast<double>(tracer->Width()) * tracer->Height();
    if (tracedImageMode && step != Accumulation::Step::kShow && tracer->LastTracedPixels() > 0) {
        const double tracingMs = 1e3 * tracer->LastTracingSeconds();
        budget.traced.Record(FrameCost{static_cast<double>(tracer->LastTracedPixels()), tracingMs,
                                       std::max(0.0, 1e3 * timings.frame - tracingMs)});
    } else if (!tracedImageMode && frame.maskStep > 0) {
        const double tracingMs = 1e3 * timings.tracing;
        budget.hybrid.Record(FrameCost{pixels / (frame.maskStep * frame.maskStep), tracingMs,
                                       std::max(0.0, 1e3 * timings.frame - tracingMs)});
    }
    // Showing the finished picture again is no frame of the rate.
    if (step != Accumulation::Step::kShow) CountFrame();
    SetTitle();
}

void WIN_MAIN_CLASS::CountFrame() {
    // Windows of up to 100 frames: the 101st frame restarts the window at count 0.
    ++frame.frameCount;
    if (frame.frameCount > 100) {
        frame.frameCount = 0;
        frame.windowStart = glutGet(GLUT_ELAPSED_TIME);
    }
    const int now = glutGet(GLUT_ELAPSED_TIME);
    if (now != frame.windowStart && frame.frameCount != 0)
        frame.frameRate = static_cast<float>(frame.frameCount * 1000.0 / (now - frame.windowStart));
}

void WIN_MAIN_CLASS::SetTitle() {
    // No title before a rate was measured, unless the picture is already done.
    const bool resting = Resting();
    if (frame.title[0] == '\0' && !resting && frame.frameCount == 0) return;
    char title[sizeof frame.title];
    accumulation.Title(title, sizeof title, static_cast<int>(frame.frameRate), resting);
    if (tracedImageMode && tracer() != nullptr && !tracer()->Complete()) {
        // The share of the pixels the picture has traced: 1/k^2 while moving, more while it
        // fills in.
        const std::size_t used = std::strlen(title);
        const int k = tracer()->LatticeStep();
        const int phases = k * k, traced = phases - tracer()->PhasesLeft();
        if (traced == 1)
            std::snprintf(title + used, sizeof title - used, ", 1/%d of the pixels", phases);
        else
            std::snprintf(title + used, sizeof title - used, ", filling in: %d/%d of the pixels", traced, phases);
    }
    if (tracedImageMode && !resting && tracer() != nullptr && tracer()->Complete() && tracer()->adaptiveSampling &&
        tracer()->Samples() > 1) {
        // How far the settling picture is: the share of its blocks whose error has converged.
        const std::size_t used = std::strlen(title);
        std::snprintf(title + used, sizeof title - used, ", %d%% converged",
                      static_cast<int>(std::floor(100.0 * tracer()->ConvergedShare())));
    }
    if (!tracedImageMode && tracer() != nullptr && tracer()->MaskStep() > 1) {
        const std::size_t used = std::strlen(title);
        const int k = tracer()->MaskStep();
        std::snprintf(title + used, sizeof title - used, ", 1/%d of the pixels", k * k);
    }
    if (views.mask != MaskView::kOff && !tracedImageMode) {
        const std::size_t used = std::strlen(title);
        std::snprintf(title + used, sizeof title - used, ", traced %.2f%% of the pixels", 100.0 * views.tracedShare);
    }
    // An unchanged title costs the window system a property change and a flush per frame.
    if (std::strcmp(title, frame.title) != 0) {
        std::memcpy(frame.title, title, sizeof title);
        TIRN_ERROR::SetStatusTitle(title);
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
