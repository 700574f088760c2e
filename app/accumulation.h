#pragma once
// The settling picture's bookkeeping: whether the next display draws a new one-sample frame
// (something changed), adds a pass to the picture (nothing changed), or only shows the picture
// again (it is done: the viewer rests). The samples themselves are the tracer's
// (ScreenTracer::AccumulatePass).
//
// "Changed" is one comparison of ViewState, the small record of everything a picture depends
// on that can change while the viewer runs. A new such field (a camera value, say) is one line
// in the record and one in CaptureView.

#include <cstddef>

namespace CONFIG {
class Lexer;
}
namespace RAYTR {
class Scene;
}

namespace WIN_NMS {

struct ViewState {
    // The scene's camera: eye, target, the view rotation (row-major), near and far.
    float eye[3] = {};
    float target[3] = {};
    float rotation[16] = {};
    float clipping[2] = {};
    // Light 0: position (w tells a direction from a point) and the radius of its sphere.
    float light[4] = {};
    float lightRadius = 0.0f;
    // The window and the mode.
    int width = 0;
    int height = 0;
    bool traced = false;
    const RAYTR::Scene* scene = nullptr;

    bool operator==(const ViewState&) const = default;
};

// The keys of the settling picture, the frame budget and the traced image in release.cgf. A
// file without them gets a new one-sample picture of every pixel every frame, with a point
// light and a black sky; the scene writers write the values after the keys.
//   scene.light_radius = 0.3    the light's sphere (units); 0 or absent: a point light
//   tracer.sky = dome           dome: model 1's texture where traced rays leave the models;
//                               black or absent: black
//   scene.sky_light = 0.5       the sky lights the models' own materials with this strength
//                               (raytracer/sky_light.h); 0 or absent: off
//   tracer.max_samples = 256    the most samples of a picture, from 1; 1 or absent: no
//                               settling passes
//   tracer.frame_budget_ms = 50 milliseconds a frame may take while the view moves
//                               (app/frame_budget.h); 0 or absent: every pixel of every frame
//   tracer.smooth = 1           1 or absent: the traced image's pixels that stand out from
//                               their neighbours get nine rays; 0: one ray per pixel
//   tracer.denoise = 1          1: the settling traced image is shown through the denoiser
//                               (raytracer/denoise.h); 0 or absent: the plain mean
//   tracer.adaptive = 1         1: settling passes put their rays where the estimated error is
//                               and stop where it has converged; 0 or absent: every pixel
struct SettleKeys {
    float lightRadius = 0.0f;
    bool skyDome = false;
    float skyLight = 0.0f;
    int maxSamples = 1;
    double frameBudgetMs = 0.0;
    bool smooth = true;
    // scene.preview_light = point: the preview's light is a point with the tracer's
    // attenuation; absent or directional: a direction toward the light, unattenuated.
    bool pointLight = false;
    // tracer.shadows = ambient: hybrid shadows keep the preview's ambient light; absent or
    // black: the mask multiplied as it is (shadows black).
    bool ambientShadows = false;
    bool denoise = false;
    bool adaptive = false;
};
// Throws TIRN_ERROR::Error naming the key and what it accepts when a value is not one of them.
SettleKeys ReadSettleKeys(CONFIG::Lexer& config);

// The view of the next frame: the scene's camera and light 0 as they are now.
ViewState CaptureView(const RAYTR::Scene& scene, int width, int height, bool traced);

class Accumulation {
public:
    // What the next display does.
    enum class Step { kFrame, kPass, kShow };

    // The most samples a picture gets (tracer.max_samples).
    static constexpr int kDefaultMaxSamples = 256;
    // A pass that moves no shown value by more than this (grey levels) ends the settling.
    static constexpr float kSettledChange = 0.5f;

    int maxSamples = kDefaultMaxSamples;
    // Off: every display draws a new one-sample frame, as if something had changed.
    bool enabled = true;

    // The step for a display of this view: a frame when it differs from the last one's (or
    // none came before), else a pass while the picture is not done, else kShow. Remembers it.
    Step Plan(const ViewState& view);
    // After the frame of Plan's kFrame: its samples (1), and whether passes can change it. A
    // picture with pixels still missing (a lattice frame) is not done whatever the passes do;
    // FrameDone again once it is complete.
    void FrameDone(int samples, bool passesCanChange, bool complete = true);
    // After a pass: the picture's samples and the largest change the pass made.
    void PassDone(int samples, float change);
    // Forget the picture: the next display draws a frame whatever the view.
    void Restart() { started_ = false; done_ = false; samples_ = 0; }

    // The picture is done (max samples, or settled): passes would not change it.
    bool Done() const { return done_; }
    int Samples() const { return samples_; }

    // The window title: "FPS=60" for a one-sample picture, "FPS=60, 48 samples" while passes
    // are added, "converged, 256 samples" while the viewer rests on it. Writes at most size
    // bytes into title, zero-terminated.
    void Title(char* title, std::size_t size, int framesPerSecond, bool resting) const;

private:
    ViewState view_;
    bool started_ = false;
    bool done_ = false;
    int samples_ = 0;
};

}  // namespace WIN_NMS
