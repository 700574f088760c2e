#include "raytracer/screen_tracer.h"

#include <GL/gl.h>
#include <GL/glx.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <thread>

#include "errors/errors.h"
#include "raytracer/scene.h"
#include "raytracer/tile_team.h"

namespace RAYTR {

namespace {

int CeilDiv(int a, int b) { return (a + b - 1) / b; }

// Mask blocks along one side of `pixels`: lattice points at 0, 8, ... up to the first one at or
// past the last pixel; at least one block, so that a 1-pixel side still has a lattice to refine.
int BlocksAlong(int pixels) { return std::max(1, CeilDiv(pixels - 1, ScreenTracer::kBlock)); }

std::string SizeText(int width, int height) { return std::to_string(width) + " x " + std::to_string(height); }

// The largest side the tracer takes: its own limit, or the GL driver's largest texture.
int LargestSide() {
    int largest = ScreenTracer::kMaxSide;
    GLint textureSide = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &textureSide);  // 0 without a GL context
    if (textureSide > 0) largest = std::min(largest, static_cast<int>(textureSide));
    return largest;
}

}  // namespace

std::int64_t ScreenTracer::TableBytes(int width, int height) {
    const std::int64_t pixels = std::int64_t{width} * height;
    const std::int64_t lattice = std::int64_t{BlocksAlong(width) + 1} * (BlocksAlong(height) + 1);
    return pixels * static_cast<std::int64_t>(sizeof(Ray) + 2 * sizeof(VECTOR) + sizeof(std::uint32_t) + sizeof(float) + 1 +
                                              sizeof(Surface) + 1) +
           lattice * static_cast<std::int64_t>(sizeof(std::uint32_t));
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

ScreenTracer::ScreenTracer(int width, int height, int threads) : width_(width), height_(height), threadCount_(threads) {
    fullWidth_ = width;
    fullHeight_ = height;
    // Refuse what cannot be served, before anything is allocated.
    CheckScreen(width, height, threads);
    if (threadCount_ == 0) threadCount_ = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    pixelCount_ = width * height;
    blockRows_ = BlocksAlong(height);
    blockCols_ = BlocksAlong(width);

    // Tables: rays with both w lanes 1.0, the z = 1 directions, the pixel buffer, the lattice.
    try {
        const auto count = static_cast<std::size_t>(pixelCount_);
        rays_ = static_cast<Ray*>(ORVA_MATH::AlignedAlloc(count * sizeof(Ray)));
        for (std::size_t i = 0; i < count; ++i) new (rays_ + i) Ray();
        unitZ_ = static_cast<VECTOR*>(ORVA_MATH::AlignedAlloc(count * sizeof(VECTOR)));
        for (std::size_t i = 0; i < count; ++i) new (unitZ_ + i) VECTOR(0.0f, 0.0f, 1.0f, 0.0f);
        sums_ = static_cast<VECTOR*>(ORVA_MATH::AlignedAlloc(count * sizeof(VECTOR)));
        for (std::size_t i = 0; i < count; ++i) new (sums_ + i) VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
        buffers_[0] = new std::uint32_t[count];
        std::fill(buffers_[0], buffers_[0] + count, kUntraced);
        maskBytes_ = new std::uint8_t[count];
        std::fill(maskBytes_, maskBytes_ + count, std::uint8_t{254});
        const auto latticeCount = static_cast<std::size_t>(blockRows_ + 1) * static_cast<std::size_t>(blockCols_ + 1);
        lattice_ = new std::uint32_t[latticeCount];
        std::fill(lattice_, lattice_ + latticeCount, kUntraced);
        luminance_ = new float[count];
        exact_ = new std::uint8_t[count]();
        surfaces_ = new Surface[count];
        glGenTextures(1, &textures_[0]);

        Tile();
        // Threads beyond the tile count would only wait; one thread traces on the caller.
        const int running = std::min({threadCount_, static_cast<int>(tiles_.size()), kMaxThreads});
        workers_.assign(static_cast<std::size_t>(std::max(running, 1)), WorkerRecord{this, 0});
        scratch_ = std::make_unique<std::uint32_t[]>(workers_.size() * kTileSide * kTileSide);
        team_ = std::make_unique<TileTeam>(std::max(running, 1), &ScreenTracer::TileProcedure, this);
    } catch (...) {
        FreeTables();
        throw;
    }
}

ScreenTracer::~ScreenTracer() {
    team_.reset();  // stops the workers at their wait and joins them before the tables go
    FreeTables();
    // The mask's texture goes with the tracer (a resize makes a new one). Without a current
    // context (the window already gone at the end of the process) there is nothing to delete.
    if (textures_[0] != 0 && glXGetCurrentContext() != nullptr) glDeleteTextures(1, &textures_[0]);
}

void ScreenTracer::FreeTables() noexcept {
    ORVA_MATH::AlignedFree(rays_);
    rays_ = nullptr;
    ORVA_MATH::AlignedFree(unitZ_);
    unitZ_ = nullptr;
    ORVA_MATH::AlignedFree(sums_);
    sums_ = nullptr;
    delete[] lattice_;
    lattice_ = nullptr;
    delete[] luminance_;
    luminance_ = nullptr;
    delete[] exact_;
    exact_ = nullptr;
    delete[] surfaces_;
    surfaces_ = nullptr;
    delete[] maskBytes_;
    maskBytes_ = nullptr;
    for (std::uint32_t*& b : buffers_) {
        delete[] b;
        b = nullptr;
    }
}

void ScreenTracer::Tile() {
    // Tiles of kTileBlocks x kTileBlocks blocks, row by row from the bottom; the last tile of
    // each row and column also takes the pixels beyond the last lattice line but one.
    for (int br = 0; br < blockRows_; br += kTileBlocks) {
        for (int bc = 0; bc < blockCols_; bc += kTileBlocks) {
            ScreenTile t;
            t.blockRowStart = br;
            t.blockColStart = bc;
            t.blockRowEnd = std::min(br + kTileBlocks, blockRows_);
            t.blockColEnd = std::min(bc + kTileBlocks, blockCols_);
            t.rowStart = br * kBlock;
            t.colStart = bc * kBlock;
            t.rowEnd = t.blockRowEnd == blockRows_ ? height_ : t.blockRowEnd * kBlock;
            t.colEnd = t.blockColEnd == blockCols_ ? width_ : t.blockColEnd * kBlock;
            tiles_.push_back(t);
        }
    }
}

void ScreenTracer::MarkTracedPixels(bool on) {
    if (on && !tracedMarks_) {
        tracedMarks_ = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(pixelCount_));
    }
    marking_ = on;
    marks_ = on ? tracedMarks_.get() : nullptr;
}

int ScreenTracer::RunningWorkers() const { return team_ && team_->Size() > 1 ? team_->Size() : 0; }

void ScreenTracer::TileProcedure(void* tracer, int tile, int thread) {
    auto* self = static_cast<ScreenTracer*>(tracer);
    self->DoTile(tile, thread);
    ++self->workers_[static_cast<std::size_t>(thread)].tilesTaken;
}

void ScreenTracer::DoTile(int index, int thread) {
    ScreenTile& tile = tiles_[static_cast<std::size_t>(index)];
    switch (pass_) {
        case Pass::Lattice: {
            // The lattice points at the tiles' lower-left block corners, and the closing lines.
            const int iEnd = tile.blockRowEnd == blockRows_ ? blockRows_ + 1 : tile.blockRowEnd;
            const int jEnd = tile.blockColEnd == blockCols_ ? blockCols_ + 1 : tile.blockColEnd;
            for (int i = tile.blockRowStart; i < iEnd; ++i)
                for (int j = tile.blockColStart; j < jEnd; ++j) TraceLatticePoint(i, j);
            break;
        }
        case Pass::Blocks: RefineTile(index, thread); break;
        case Pass::Full: FullTraceRectangle(tile.rowStart, tile.colStart, tile.rowEnd, tile.colEnd); break;
        case Pass::Smooth: SmoothRectangle(tile.rowStart, tile.colStart, tile.rowEnd, tile.colEnd); break;
        case Pass::Accumulate:
            tile.maxChange = AccumulateRectangle(tile.rowStart, tile.colStart, tile.rowEnd, tile.colEnd);
            break;
        case Pass::Samples: tile.traced = LatticeRectangle(tile.rowStart, tile.colStart, tile.rowEnd, tile.colEnd); break;
        case Pass::Reconstruct:
            tile.traced = ReconstructRectangle(tile.rowStart, tile.colStart, tile.rowEnd, tile.colEnd);
            break;
        case Pass::Fill: tile.traced = FillRectangle(tile.rowStart, tile.colStart, tile.rowEnd, tile.colEnd); break;
        case Pass::Upsample: UpsampleRectangle(tile.rowStart, tile.colStart, tile.rowEnd, tile.colEnd); break;
    }
    ++tile.passesDone;
}

void ScreenTracer::RunPass(Pass pass) {
    // Set before the release, read by the threads after it.
    pass_ = pass;
    team_->RunPass(static_cast<int>(tiles_.size()));
}

void ScreenTracer::TraceFrame(const float* depthBuffer) {
    if (scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no scene to trace");
    // Visible points from the preview's depth, when asked for and given; same order as the mask.
    depth_ = useZBuffer && !fullMode_ ? depthBuffer : nullptr;
    depthWords_ = nullptr;
    TraceMask();
}

void ScreenTracer::TraceFrame(DepthWords depth) {
    if (scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no scene to trace");
    depth_ = nullptr;
    depthWords_ = useZBuffer && !fullMode_ ? depth.words : nullptr;
    TraceMask();
}

void ScreenTracer::BeginPicture() {
    coarseShown_ = false;
    // Camera of this frame.
    eye_ = scene_->GetEye();
    target_ = scene_->GetTarget();
    if (scene_->nearDistance != near_ || scene_->farDistance != far_) TakeClippingPlanes();  // the view moved them
    UpdateCameraMatrices();
    // A new picture: its first sample, every pixel traced unless a lattice frame says otherwise.
    samples_ = 1;
    lastFull_ = fullMode_;
    step_ = 1;
    phase_ = 0;
    phasesLeft_ = 0;
    lastTraced_ = 0;
}

void ScreenTracer::TraceMask() {
    BeginPicture();
    if (fullMode_) {
        // Every pixel with one ray, then the pixels that stand out from their neighbours
        // smoothed, decided on the whole frame's first pass.
        const auto start = std::chrono::steady_clock::now();
        RunPass(Pass::Full);
        if (smoothTracedImage) RunPass(Pass::Smooth);
        lastTracingSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        lastTraced_ = pixelCount_;
        std::fill(exact_, exact_ + pixelCount_, std::uint8_t{1});
        return;
    }
    const std::size_t count = static_cast<std::size_t>(pixelCount_);
    // No light casts a shadow: the whole mask is lit, nothing is traced.
    if (scene_->lights.Size() == 0) {
        std::fill(buffers_[0], buffers_[0] + count, kLit);
        std::fill(maskBytes_, maskBytes_ + count, std::uint8_t{255});
        return;
    }
    // Every pixel of both masks is written by exactly one block, so they need no clearing.
    if (marks_ != nullptr) std::fill(marks_, marks_ + count, std::uint8_t{0});
    // The blocks read their corners from the lattice: every lattice point first.
    RunPass(Pass::Lattice);
    RunPass(Pass::Blocks);
}

void ScreenTracer::TraceCoarseMask(DepthWords depth) {
    if (scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no scene to trace");
    // A new picture: this frame's camera, for the pixels traced here at full resolution.
    BeginPicture();
    depth_ = nullptr;
    depthWords_ = useZBuffer ? depth.words : nullptr;
    constexpr int kStride = 2;
    if (!coarse_) {
        auto coarse = std::make_unique<ScreenTracer>((width_ + kStride - 1) / kStride, (height_ + kStride - 1) / kStride,
                                                     threadCount_);
        coarse->stride_ = kStride;
        coarse->fullWidth_ = width_;
        coarse->fullHeight_ = height_;
        coarse->AttachScene(scene_);
        coarse_ = std::move(coarse);
    }
    coarse_->useZBuffer = useZBuffer;
    coarse_->TraceFrame(depth);
    // Every window pixel's byte from the coarse mask, on the workers.
    upsampleDepth_ = useZBuffer ? depth.words : nullptr;
    RunPass(Pass::Upsample);
    coarseShown_ = true;
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

bool ScreenTracer::PassesCanChange() const {
    if (samples_ == 0 || scene_ == nullptr) return false;
    if (lastFull_) return true;
    return scene_->lights.Size() > 0 && scene_->lights[0].radius > 0.0f;
}

float ScreenTracer::AccumulatePass() {
    if (scene_ == nullptr) throw TIRN_ERROR::Error("The ray tracer has no scene to trace");
    if (samples_ == 0) throw TIRN_ERROR::Error("The ray tracer has no picture to add a pass to");
    // A pass adds to a complete picture: the missing pixels of a lattice frame first.
    if (!Complete()) FillIn(phasesLeft_);
    // The mask of a point light is the same in every pass; so is the mask without a light.
    if (!PassesCanChange()) {
        ++samples_;
        return 0.0f;
    }
    const auto start = std::chrono::steady_clock::now();
    RunPass(Pass::Accumulate);
    lastTracingSeconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    lastTraced_ = pixelCount_;
    ++samples_;
    float change = 0.0f;
    for (const ScreenTile& t : tiles_) change = std::max(change, t.maxChange);
    return change;
}

void ScreenTracer::UploadTexture(int i) {
    if (i < 0 || i >= kBufferCount || buffers_[i] == nullptr) return;
    glBindTexture(GL_TEXTURE_2D, textures_[i]);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    // Buffer 0 from its byte copy: rows of W bytes, packed.
    const void* pixels = buffers_[i];
    GLenum type = GL_UNSIGNED_INT;
    if (i == 0) {
        pixels = maskBytes_;
        type = GL_UNSIGNED_BYTE;
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, i == 0 ? 1 : 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
    glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
    if (i == 0 && textureMade_) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width_, height_, GL_LUMINANCE, type, pixels);
    } else {
        // One texel per window pixel: nearest filtering and a single level keep every texel
        // exactly over its pixel.
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE8, width_, height_, 0, GL_LUMINANCE, type, pixels);
        if (i == 0) textureMade_ = true;
    }
    glPopClientAttrib();
}

void ScreenTracer::BindTexture(int i) {
    if (i < 0 || i >= kBufferCount) return;
    glBindTexture(GL_TEXTURE_2D, textures_[i]);
}

}  // namespace RAYTR
