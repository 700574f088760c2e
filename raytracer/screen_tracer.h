#pragma once
// ScreenTracer: turns the scene into pixels once per frame, either as a shadow mask of light 0
// laid over the OpenGL preview or as a fully shaded image. It owns the per-pixel tables (primary
// rays and depth-reconstruction directions), the pixel buffer, the OpenGL texture that shows
// the buffer, and a team of worker threads, one per square subscreen.
//
// The screen must be square (width == height): the mask is stored transposed with respect to
// the window (mask element r*W + c shows the window pixel x = r, y = c), which only maps a
// W x H buffer onto itself when W == H. The tiling must give exactly n square subscreens.
//
// The mask pass traces an 8-pixel lattice and subdivides only the blocks whose corners differ
// (adaptive sampling after Whitted, "An improved illumination model for shaded display", 1980).

#include <cstdint>
#include <memory>
#include <vector>

#include "math/aligned.h"
#include "math/matrix.h"
#include "math/vector.h"
#include "raytracer/ray.h"

namespace RAYTR {

class Scene;
class ScreenTracer;
class WorkerTeam;

// One worker thread's share of the screen. Rectangles are (rowStart, colStart, rowEnd, colEnd).
struct WorkerRecord {
    ScreenTracer* tracer = nullptr;
    int maskRowStart = 0, maskColStart = 0, maskRowEnd = 0, maskColEnd = 0;  // lattice reaches the ends
    int fullRowStart = 0, fullColStart = 0, fullRowEnd = 0, fullColEnd = 0;  // half-open
    std::uint64_t framesTraced = 0;  // written by the worker only; read between frames
};

class ScreenTracer : public ORVA_MATH::SSE_Aligned_Object {
public:
    // Mask values: lit (or no surface), in shadow, and the marker of pixels not traced.
    static constexpr std::uint32_t kLit = 0xFFFFFF00u;
    static constexpr std::uint32_t kShadow = 0x00000000u;
    static constexpr std::uint32_t kUntraced = 0xFEFFFF00u;
    static constexpr int kBufferCount = 8;

    // Allocates the tables, generates texture name 0 (with a GL context current) and starts the
    // workers. Throws TIRN_ERROR::Error for a screen that is not square or has no pixels, and
    // "The screen can not be subdivided because of wrong number subscreens" for every n whose
    // tiling is not exactly n square subscreens covering the screen (n <= 0 included).
    ScreenTracer(int width, int height, int threads);
    ~ScreenTracer();
    ScreenTracer(const ScreenTracer&) = delete;
    ScreenTracer& operator=(const ScreenTracer&) = delete;

    // Stores the scene, copies near and far, computes the depth coefficients and the ray tables.
    void AttachScene(Scene* scene);

    // One shadow-mask frame (or, inside TraceFullFrame, one full-trace frame). depthBuffer is
    // the preview's depth read-back (W*H floats, OpenGL row order) or null; it is used only when
    // useZBuffer is set. Needs the GL context current (the camera matrices come from gluLookAt).
    void TraceFrame(const float* depthBuffer);
    // Shades every pixel; returns buffer 0 as RGBA bytes, row 0 at the bottom of the window.
    std::uint32_t* TraceFullFrame();

    // Buffer i as a GL_LUMINANCE texture of GL_UNSIGNED_INT texels (only i = 0 has a buffer).
    void UploadTexture(int i);
    void BindTexture(int i);

    // The per-pixel work (mask.cpp). Pixel index p = row * W + column.
    void UpdateCameraMatrices();
    const float* TransposeDepth(const float* depthBuffer);
    VECTOR Reconstruct(int p) const;
    bool PrimaryHit(int p, RayHit& hit) const;
    bool ShadowTest(RayHit& hit) const;
    // The mask value of pixel p (kLit or kShadow); traces, writes nothing.
    std::uint32_t MaskPixel(int p) const;
    void Refine(int p, int size, std::uint32_t fill);
    void ProcessRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    // Shades a rectangle of one subscreen (the tiling's own rectangles only: it uses that
    // subscreen's scratch), then smooths the pixels that stand out from their neighbours.
    void FullTraceRectangle(int rowStart, int colStart, int rowEnd, int colEnd);
    // The colour seen through the point (column, row + rowOffset) of the screen, in pixels.
    VECTOR ShadeAt(int row, float column, float rowOffset) const;

    // Read access for the display, the benchmarks and the tests.
    int Width() const { return width_; }
    int Height() const { return height_; }
    int ThreadCount() const { return threadCount_; }
    int SubscreenSide() const { return subscreenSide_; }
    const std::vector<WorkerRecord>& Workers() const { return workers_; }
    // Threads actually running: none when n is 1 (the frame is traced on the calling thread).
    int RunningWorkers() const;
    std::uint32_t* Buffer(int i = 0) const { return (i >= 0 && i < kBufferCount) ? buffers_[i] : nullptr; }
    unsigned TextureName(int i = 0) const { return (i >= 0 && i < kBufferCount) ? textures_[i] : 0u; }
    const Ray* Rays() const { return rays_; }
    const VECTOR* UnitZ() const { return unitZ_; }
    float DepthA() const { return depthA_; }
    float DepthB() const { return depthB_; }
    float Near() const { return near_; }
    float Far() const { return far_; }
    bool FullMode() const { return fullMode_; }
    const MATRIX& CameraToWorld() const { return cameraToWorld_; }
    const MATRIX& DepthToWorld() const { return depthToWorld_; }
    const Scene* AttachedScene() const { return scene_; }

    bool useZBuffer = false;

private:
    static void WorkerProcedure(void* tracer, int worker);
    void Tile();
    void FreeTables() noexcept;

    Ray* rays_ = nullptr;          // W*H, 16-byte aligned
    VECTOR* unitZ_ = nullptr;      // W*H, 16-byte aligned
    std::uint32_t* buffers_[kBufferCount] = {};
    unsigned textures_[kBufferCount] = {};
    Scene* scene_ = nullptr;
    const float* depth_ = nullptr;     // depth values of the current frame
    float* transposedDepth_ = nullptr; // W*H
    // Full trace: per subscreen, the luminance of its pixels and of the ring around them.
    std::unique_ptr<float[]> luminance_;
    float zPlane_ = -1.0f;  // z of the ray table's image plane (pixels)
    VECTOR eye_{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR target_{0.0f, 0.0f, 0.0f, 1.0f};
    int width_ = 0;
    int height_ = 0;
    int pixelCount_ = 0;
    int blockStepY_ = 8;
    int blockStepX_ = 8;
    float depthA_ = 1.001001f;
    float depthB_ = 1.001001f;
    float far_ = 1000.0f;
    float near_ = 1.0f;
    bool fullMode_ = false;
    MATRIX cameraToWorld_ = MATRIX::Identity();
    MATRIX depthToWorld_ = MATRIX::Identity();
    int threadCount_ = 0;
    int subscreenSide_ = 0;
    std::vector<WorkerRecord> workers_;
    std::unique_ptr<WorkerTeam> team_;  // null when n is 1
};

}  // namespace RAYTR
