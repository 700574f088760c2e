#include "app/accumulation.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/config.h"
#include "errors/errors.h"
#include "raytracer/scene.h"

namespace WIN_NMS {

SettleKeys ReadSettleKeys(CONFIG::Lexer& config) {
    SettleKeys keys;
    const auto refuse = [](const std::string& key, const std::string& value, const std::string& accepted) {
        throw TIRN_ERROR::Error(key + " is " + value + ", but it must be " + accepted);
    };
    const std::string radius = config.GetString("scene.light_radius");
    if (!radius.empty()) {
        char* end = nullptr;
        const double r = std::strtod(radius.c_str(), &end);
        if (end == radius.c_str() || *end != '\0' || !std::isfinite(r) || r < 0.0 || r > 1e6)
            refuse("scene.light_radius", radius, "a radius in units from 0 (a point light) to 1000000, e.g. 0.3");
        keys.lightRadius = static_cast<float>(r);
    }
    const std::string skyLight = config.GetString("scene.sky_light");
    if (!skyLight.empty()) {
        char* end = nullptr;
        const double v = std::strtod(skyLight.c_str(), &end);
        if (end == skyLight.c_str() || *end != '\0' || !std::isfinite(v) || v < 0.0 || v > 100.0)
            refuse("scene.sky_light", skyLight, "a strength from 0 (off) to 100, e.g. 0.5");
        keys.skyLight = static_cast<float>(v);
    }
    const std::string sky = config.GetString("tracer.sky");
    if (sky == "dome") keys.skyDome = true;
    else if (!sky.empty() && sky != "black") refuse("tracer.sky", sky, "dome or black");
    const std::string samples = config.GetString("tracer.max_samples");
    if (!samples.empty()) {
        char* end = nullptr;
        const long n = std::strtol(samples.c_str(), &end, 10);
        if (end == samples.c_str() || *end != '\0' || n < 1 || n > 1000000)
            refuse("tracer.max_samples", samples, "a whole number of samples from 1 to 1000000");
        keys.maxSamples = static_cast<int>(n);
    }
    const std::string budget = config.GetString("tracer.frame_budget_ms");
    if (!budget.empty()) {
        char* end = nullptr;
        const double ms = std::strtod(budget.c_str(), &end);
        if (end == budget.c_str() || *end != '\0' || !std::isfinite(ms) || ms < 0.0 || ms > 10000.0)
            refuse("tracer.frame_budget_ms", budget,
                   "a time in milliseconds from 0 (every pixel of every frame) to 10000, e.g. 50");
        keys.frameBudgetMs = ms;
    }
    const std::string smooth = config.GetString("tracer.smooth");
    if (smooth == "0") keys.smooth = false;
    else if (!smooth.empty() && smooth != "1") refuse("tracer.smooth", smooth, "1 (smooth the traced image) or 0");
    const std::string previewLight = config.GetString("scene.preview_light");
    if (previewLight == "point") keys.pointLight = true;
    else if (!previewLight.empty() && previewLight != "directional")
        refuse("scene.preview_light", previewLight, "point (with the tracer's attenuation) or directional");
    const std::string shadows = config.GetString("tracer.shadows");
    if (shadows == "ambient") keys.ambientShadows = true;
    else if (!shadows.empty() && shadows != "black")
        refuse("tracer.shadows", shadows, "ambient (hybrid shadows keep the ambient light) or black");
    const std::string denoise = config.GetString("tracer.denoise");
    if (denoise == "1") keys.denoise = true;
    else if (!denoise.empty() && denoise != "0") refuse("tracer.denoise", denoise, "1 (show the traced image denoised) or 0");
    const std::string adaptive = config.GetString("tracer.adaptive");
    if (adaptive == "1") keys.adaptive = true;
    else if (!adaptive.empty() && adaptive != "0")
        refuse("tracer.adaptive", adaptive, "1 (settling passes where the noise is) or 0");
    return keys;
}

ViewState CaptureView(const RAYTR::Scene& scene, int width, int height, bool traced) {
    ViewState v;
    const ORVA_MATH::VECTOR eye = scene.GetEye(), target = scene.GetTarget();
    v.eye[0] = eye.x, v.eye[1] = eye.y, v.eye[2] = eye.z;
    v.target[0] = target.x, v.target[1] = target.y, v.target[2] = target.z;
    std::memcpy(v.rotation, scene.rotation.m, sizeof v.rotation);
    v.clipping[0] = scene.nearDistance, v.clipping[1] = scene.farDistance;
    if (scene.lights.Size() > 0) {
        const RAYTR::LightSource& light = scene.lights[0];
        v.light[0] = light.position.x, v.light[1] = light.position.y, v.light[2] = light.position.z;
        v.light[3] = light.position.w;
        v.lightRadius = light.radius;
    }
    v.width = width;
    v.height = height;
    v.traced = traced;
    v.scene = &scene;
    return v;
}

Accumulation::Step Accumulation::Plan(const ViewState& view) {
    if (!enabled || !started_ || !(view == view_)) {
        view_ = view;
        started_ = true;
        done_ = false;
        return Step::kFrame;
    }
    return done_ ? Step::kShow : Step::kPass;
}

void Accumulation::FrameDone(int samples, bool passesCanChange, bool complete) {
    samples_ = samples;
    done_ = complete && (!passesCanChange || samples_ >= maxSamples);
}

void Accumulation::PassDone(int samples, float change) {
    samples_ = samples;
    if (samples_ >= maxSamples || change <= kSettledChange) done_ = true;
}

void Accumulation::Title(char* title, std::size_t size, int framesPerSecond, bool resting) const {
    const char* unit = samples_ == 1 ? "sample" : "samples";
    if (resting)
        std::snprintf(title, size, "converged, %d %s", samples_, unit);
    else if (samples_ > 1)
        std::snprintf(title, size, "FPS=%d, %d %s", framesPerSecond, samples_, unit);
    else
        std::snprintf(title, size, "FPS=%d", framesPerSecond);
}

}  // namespace WIN_NMS
