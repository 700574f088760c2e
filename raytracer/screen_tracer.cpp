#include "raytracer/screen_tracer.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "errors/errors.h"
#include "raytracer/scene.h"
#include "raytracer/worker_sync.h"

namespace RAYTR {

namespace {

const char* const kSubdivisionError = "The screen can not be subdivided because of wrong number subscreens";
const char* const kShapeError = "The screen can not be ray traced: its width and height must be equal";
// Pixel indices are 32-bit signed.
constexpr std::int64_t kMaxPixels = 0x7FFFFFFF;

// Largest s with s * s <= v.
std::int64_t IntegerSqrt(std::int64_t v) {
    auto s = static_cast<std::int64_t>(std::sqrt(static_cast<double>(v)));
    while (s * s > v) --s;
    while ((s + 1) * (s + 1) <= v) ++s;
    return s;
}

}  // namespace

ScreenTracer::ScreenTracer(int width, int height, int threads) : width_(width), height_(height), threadCount_(threads) {
    // Refuse what the tables, the transposed mask and the tiling cannot serve, before allocating.
    if (width <= 0 || height <= 0 || std::int64_t{width} * height > kMaxPixels) throw TIRN_ERROR::Error(kShapeError);
    const std::int64_t pixels = std::int64_t{width} * height;
    if (threads <= 0) throw TIRN_ERROR::Error(kSubdivisionError);
    const std::int64_t n = threads;
    if (pixels % (n * n) != 0) throw TIRN_ERROR::Error(kSubdivisionError);
    const std::int64_t side = IntegerSqrt(pixels / n);
    // Exactly n squares of that side must cover the screen (640 x 480 with n = 4 would give six).
    if (side <= 0 || width % side != 0 || height % side != 0 || (width / side) * (height / side) != n)
        throw TIRN_ERROR::Error(kSubdivisionError);
    // The transposed mask maps the buffer onto itself only for a square screen.
    if (width != height) throw TIRN_ERROR::Error(kShapeError);
    subscreenSide_ = static_cast<int>(side);
    pixelCount_ = static_cast<int>(pixels);

    // Tables: rays with both w lanes 1.0, the z = 1 directions, the pixel buffer, the depth copy.
    try {
        const auto count = static_cast<std::size_t>(pixelCount_);
        rays_ = static_cast<Ray*>(ORVA_MATH::AlignedAlloc(count * sizeof(Ray)));
        for (std::size_t i = 0; i < count; ++i) new (rays_ + i) Ray();
        unitZ_ = static_cast<VECTOR*>(ORVA_MATH::AlignedAlloc(count * sizeof(VECTOR)));
        for (std::size_t i = 0; i < count; ++i) new (unitZ_ + i) VECTOR(0.0f, 0.0f, 1.0f, 0.0f);
        buffers_[0] = new std::uint32_t[count];
        for (std::size_t i = 0; i < count; ++i) buffers_[0][i] = kUntraced;
        transposedDepth_ = new float[count];
        const auto ring = static_cast<std::size_t>(subscreenSide_ + 2);
        luminance_.reset(new float[static_cast<std::size_t>(threadCount_) * ring * ring]);
        glGenTextures(1, &textures_[0]);

        Tile();
        // One thread per subscreen; a single subscreen is traced on the calling thread instead.
        if (threadCount_ > 1)
            team_ = std::make_unique<WorkerTeam>(threadCount_, &ScreenTracer::WorkerProcedure, this);
    } catch (...) {
        FreeTables();
        throw;
    }
}

ScreenTracer::~ScreenTracer() {
    team_.reset();  // stops the workers at their wait and joins them before the tables go
    FreeTables();
}

void ScreenTracer::FreeTables() noexcept {
    ORVA_MATH::AlignedFree(rays_);
    rays_ = nullptr;
    ORVA_MATH::AlignedFree(unitZ_);
    unitZ_ = nullptr;
    delete[] transposedDepth_;
    transposedDepth_ = nullptr;
    for (std::uint32_t*& b : buffers_) {
        delete[] b;
        b = nullptr;
    }
}

void ScreenTracer::Tile() {
    const int side = subscreenSide_;
    workers_.reserve(static_cast<std::size_t>(threadCount_));
    // Row of subscreens by row of subscreens; the outermost 8 rows and columns of the screen
    // belong to no mask rectangle (the lattice needs a neighbour on every side).
    for (int y = 0; y < height_; y += side) {
        for (int x = 0; x < width_; x += side) {
            WorkerRecord r;
            r.tracer = this;
            r.fullRowStart = y;
            r.fullColStart = x;
            r.fullRowEnd = y + side;
            r.fullColEnd = x + side;
            r.maskRowStart = y == 0 ? blockStepY_ : y;
            r.maskColStart = x == 0 ? blockStepX_ : x;
            r.maskRowEnd = y + side >= height_ ? y + side - blockStepY_ : y + side;
            r.maskColEnd = x + side >= width_ ? x + side - blockStepX_ : x + side;
            workers_.push_back(r);
        }
    }
}

int ScreenTracer::RunningWorkers() const { return team_ ? team_->Size() : 0; }

void ScreenTracer::WorkerProcedure(void* tracer, int worker) {
    auto* self = static_cast<ScreenTracer*>(tracer);
    WorkerRecord& r = self->workers_[static_cast<std::size_t>(worker)];
    // fullMode was set by the driver before the release and is read after it.
    if (!self->fullMode_)
        self->ProcessRectangle(r.maskRowStart, r.maskColStart, r.maskRowEnd, r.maskColEnd);
    else
        self->ProcessRectangle(r.fullRowStart, r.fullColStart, r.fullRowEnd, r.fullColEnd);
    ++r.framesTraced;
}

void ScreenTracer::TraceFrame(const float* depthBuffer) {
    if (scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no scene to trace");
    // Camera of this frame.
    eye_ = scene_->GetEye();
    target_ = scene_->GetTarget();
    UpdateCameraMatrices();
    // Visible points from the preview's depth, when asked for and given.
    depth_ = nullptr;
    if (useZBuffer && !fullMode_ && depthBuffer != nullptr) depth_ = TransposeDepth(depthBuffer);
    if (!fullMode_) {
        const std::size_t count = static_cast<std::size_t>(pixelCount_);
        // No light casts a shadow: the whole mask is lit, nothing is traced.
        if (scene_->lights.Size() == 0) {
            std::fill(buffers_[0], buffers_[0] + count, kLit);
            return;
        }
        std::fill(buffers_[0], buffers_[0] + count, kUntraced);
    }
    // Release the workers and wait for all; a single subscreen is traced right here.
    if (team_)
        team_->RunFrame();
    else
        WorkerProcedure(this, 0);
}

std::uint32_t* ScreenTracer::TraceFullFrame() {
    fullMode_ = true;
    try {
        TraceFrame(nullptr);
    } catch (...) {
        fullMode_ = false;
        throw;
    }
    fullMode_ = false;
    return buffers_[0];
}

void ScreenTracer::UploadTexture(int i) {
    if (i < 0 || i >= kBufferCount || buffers_[i] == nullptr) return;
    glBindTexture(GL_TEXTURE_2D, textures_[i]);
    gluBuild2DMipmaps(GL_TEXTURE_2D, GL_LUMINANCE, width_, height_, GL_LUMINANCE, GL_UNSIGNED_INT, buffers_[i]);
}

void ScreenTracer::BindTexture(int i) {
    if (i < 0 || i >= kBufferCount) return;
    glBindTexture(GL_TEXTURE_2D, textures_[i]);
}

}  // namespace RAYTR
