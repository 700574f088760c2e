#include "raytracer/screen_tracer.h"

#include <GL/gl.h>
#include <GL/glx.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>

#include "errors/errors.h"
#include "raytracer/scene.h"

namespace RAYTR {

namespace {

std::string SizeText(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

// The largest side the tracer takes: its own limit, or the GL driver's largest texture.
int LargestSide() {
    int largest = ScreenTracer::kMaxSide;
    GLint textureSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &textureSide);  // 0 without a GL context
    if (textureSide > 0) largest = std::min(largest, static_cast<int>(textureSide));
    return largest;
}

// The thread count of a screen construction accepts (0: one per hardware thread); refuses what
// construction refuses, before anything is allocated.
int CheckedThreads(int width, int height, int threads) {
    ScreenTracer::CheckScreen(width, height, threads);
    return threads == 0 ? std::max(1, static_cast<int>(std::thread::hardware_concurrency())) : threads;
}

}  // namespace

std::int64_t ScreenTracer::TableBytes(int width, int height) {
    return MaskPicture::TableBytes(width, height) + TracedPicture::TableBytes(width, height);
}

void ScreenTracer::CheckScreen(int width, int height, int threads) {
    if (threads < 0)
        throw TIRN_ERROR::Error("The ray tracer can not run " + std::to_string(threads) +
                                " threads: tracer.threads_num must be 0 (one per hardware thread) or more");
    const int largest = LargestSide();
    if (width < 1 || height < 1 || width > largest || height > largest)
        throw TIRN_ERROR::Error("The window of " + SizeText(width, height) +
                                " pixels can not be ray traced: each side must have from 1 to " +
                                std::to_string(largest) + " pixels");
    if (TableBytes(width, height) > kMemoryBudget)
        throw TIRN_ERROR::Error("The window of " + SizeText(width, height) + " pixels needs " +
                                std::to_string(TableBytes(width, height) >> 20) + " MiB for ray tracing, more than the " +
                                std::to_string(kMemoryBudget >> 20) + " MiB allowed: make the window smaller");
}

void ScreenTracer::LargestScreen(int& width, int& height) {
    const int largest = LargestSide();
    width = std::clamp(width, 1, largest);
    height = std::clamp(height, 1, largest);
    // Both sides cut by the same factor until the tables fit the budget.
    while (TableBytes(width, height) > kMemoryBudget) {
        const double scale = std::sqrt(static_cast<double>(kMemoryBudget) / static_cast<double>(TableBytes(width, height)));
        width = std::max(1, std::min(width - 1, static_cast<int>(width * scale)));
        height = std::max(1, std::min(height - 1, static_cast<int>(height * scale)));
    }
}

ScreenTracer::ScreenTracer(int width, int height, int threads)
    : threadCount_(CheckedThreads(width, height, threads)),
      passes_(width, height, threadCount_),
      camera_(width, height),
      mask_(passes_, camera_),
      traced_(passes_, camera_) {
    glGenTextures(1, &texture_);
}

ScreenTracer::~ScreenTracer() {
    // The mask's texture goes with the tracer (a resize makes a new one). Without a current
    // context (the window already gone at the end of the process) there is nothing to delete.
    if (texture_ != 0 && glXGetCurrentContext() != nullptr) glDeleteTextures(1, &texture_);
}

void ScreenTracer::AttachScene(Scene* scene) {
    if (scene == nullptr) throw TIRN_ERROR::Error("The ray tracer can not attach a missing scene");
    scene_ = scene;
    camera_.TakeClippingPlanes(*scene);
}

const Scene& ScreenTracer::BeginPicture() {
    if (scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no scene to trace");
    camera_.Begin(*scene_);
    return *scene_;
}

void ScreenTracer::TraceFrame(const float* depthBuffer) {
    const Scene& scene = BeginPicture();
    shown_ = Shown::kMask;
    mask_.Whole(scene, useZBuffer ? depthBuffer : nullptr, nullptr);
}

void ScreenTracer::TraceFrame(DepthWords depth) {
    const Scene& scene = BeginPicture();
    shown_ = Shown::kMask;
    mask_.Whole(scene, nullptr, useZBuffer ? depth.words : nullptr);
}

void ScreenTracer::TraceCoarseMask(DepthWords depth) {
    const Scene& scene = BeginPicture();
    shown_ = Shown::kMask;
    mask_.Coarse(scene, useZBuffer ? depth.words : nullptr);
}

void ScreenTracer::PassSwitches() {
    traced_.denoise = denoise;
    traced_.adaptive = adaptiveSampling;
}

void ScreenTracer::ShowAgain() {
    if (shown_ != Shown::kTraced) return;
    PassSwitches();
    traced_.Show();
}

std::uint32_t* ScreenTracer::TraceFullFrame() {
    const Scene& scene = BeginPicture();
    PassSwitches();
    shown_ = Shown::kTraced;
    traced_.Full(scene, smoothTracedImage);
    return traced_.Words();
}

std::uint32_t* ScreenTracer::TraceLatticeFrame(int step, int phase) {
    const Scene& scene = BeginPicture();
    PassSwitches();
    shown_ = Shown::kTraced;
    traced_.Lattice(scene, step, phase, smoothTracedImage);
    return traced_.Words();
}

std::int64_t ScreenTracer::FillIn(int phases) {
    if (shown_ != Shown::kTraced) return 0;
    PassSwitches();
    return traced_.FillIn(phases);
}

float ScreenTracer::AccumulatePass() {
    switch (shown_) {
        case Shown::kMask: return mask_.Pass();
        case Shown::kTraced: PassSwitches(); return traced_.Pass();
        case Shown::kNone: break;
    }
    throw TIRN_ERROR::Error("The ray tracer has no picture to add a pass to");
}

bool ScreenTracer::Complete() const {
    switch (shown_) {
        case Shown::kMask: return mask_.Complete();
        case Shown::kTraced: return traced_.Complete();
        case Shown::kNone: break;
    }
    return false;
}

int ScreenTracer::Samples() const {
    switch (shown_) {
        case Shown::kMask: return mask_.Samples();
        case Shown::kTraced: return traced_.Samples();
        case Shown::kNone: break;
    }
    return 0;
}

bool ScreenTracer::PassesCanChange() const {
    switch (shown_) {
        case Shown::kMask: return mask_.PassesCanChange();
        case Shown::kTraced: return traced_.Samples() > 0;
        case Shown::kNone: break;
    }
    return false;
}

std::uint32_t* ScreenTracer::Buffer(int i) const {
    if (i != 0) return nullptr;
    return shown_ == Shown::kTraced ? traced_.Words() : mask_.Words();
}

void ScreenTracer::UploadTexture(int i) {
    if (i != 0) return;
    glBindTexture(GL_TEXTURE_2D, texture_);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    // Rows of W bytes, packed.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    if (textureMade_) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, Width(), Height(), GL_LUMINANCE, GL_UNSIGNED_BYTE, mask_.Shown());
    } else {
        // One texel per window pixel: nearest filtering and a single level keep every texel
        // exactly over its pixel.
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE8, Width(), Height(), 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, mask_.Shown());
        textureMade_ = true;
    }
    glPopClientAttrib();
}

void ScreenTracer::BindTexture(int i) {
    if (i == 0) glBindTexture(GL_TEXTURE_2D, texture_);
}

}  // namespace RAYTR
