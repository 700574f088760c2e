#pragma once
// ScreenTracer: turns the scene into pixels once per frame, either as a shadow mask of light 0
// laid over the OpenGL preview or as a fully shaded image. It owns the four parts that do it and
// the OpenGL texture that shows the mask:
//   - the tile-pass core (raytracer/tile_team.h): the window's tiles, the threads that take
//     them (threads_num - 1 workers and the caller) and the pass protocol;
//   - the camera (raytracer/screen_camera.h): every pixel's ray, computed when asked for, and
//     the visible point of a depth value;
//   - the mask picture (raytracer/mask_picture.h): whole, coarse and settling passes of the
//     mask, with its tables;
//   - the traced picture (raytracer/traced_picture.h): full, lattice, fill-in and settling
//     passes of the traced image, with its tables.
// The shown picture is the one of the last frame; a settling pass adds to it, and each picture
// refuses a pass that does not follow a whole frame.
//
// Any width and height. Every table is in window order: element row * W + column is the window
// pixel x = column, y = row counted from the bottom (glReadPixels / glDrawPixels order), so the
// preview's depth read-back is used as it comes and the mask texture lies texel for pixel over
// the window. Everything a frame needs is allocated at construction: a frame allocates nothing.

#include <cstdint>
#include <vector>

#include "math/aligned.h"
#include "raytracer/mask_picture.h"
#include "raytracer/screen_camera.h"
#include "raytracer/tile_team.h"
#include "raytracer/traced_picture.h"

namespace RAYTR {

class Scene;

class ScreenTracer : public ORVA_MATH::SSE_Aligned_Object {
public:
    // Mask values: lit (or no surface), in shadow, and the marker of pixels not yet traced.
    static constexpr std::uint32_t kLit = MaskPicture::kLit;
    static constexpr std::uint32_t kShadow = MaskPicture::kShadow;
    static constexpr std::uint32_t kUntraced = MaskPicture::kUntraced;
    static constexpr int kBlock = Tiling::kBlock;
    static constexpr int kMaxThreads = TilePasses::kMaxThreads;
    static constexpr int kMaxLatticeStep = TracedPicture::kMaxLatticeStep;
    static constexpr int kMaxSide = 8192;  // pixels, either way
    // Bytes the tables of both pictures may take together.
    static constexpr std::int64_t kMemoryBudget = std::int64_t{2} << 30;

    // Allocates the tables, generates the mask's texture name (with a GL context current) and
    // starts the workers. threads = 0 means one per hardware thread. Throws TIRN_ERROR::Error,
    // before anything is allocated, for a negative thread count, a side below 1 or above
    // kMaxSide (or the GL driver's largest texture), or tables beyond kMemoryBudget.
    ScreenTracer(int width, int height, int threads);
    ~ScreenTracer();
    ScreenTracer(const ScreenTracer&) = delete;
    ScreenTracer& operator=(const ScreenTracer&) = delete;

    // Bytes the tracer's tables take for a width x height screen (both pictures).
    static std::int64_t TableBytes(int width, int height);
    // The largest screen within width x height (each side cut, the aspect kept where the memory
    // budget cuts) that construction accepts; the sides of a screen it accepts stay as they are.
    // Needs the GL context for the driver's largest texture.
    static void LargestScreen(int& width, int& height);
    // Throws, with its box, what construction would refuse for these arguments; allocates
    // nothing. Needs the GL context for the driver's largest texture.
    static void CheckScreen(int width, int height, int threads);

    // Stores the scene and takes its near and far. Each frame takes the camera, and near and
    // far again when the scene's view has changed them.
    void AttachScene(Scene* scene);

    // Frames: each starts a new picture for the scene's camera as it stands (the camera comes
    // from gluLookAt: they need the GL context current).
    // A whole mask frame. depthBuffer is the preview's depth read-back (W*H floats, window
    // order) or null; it is used only when useZBuffer is set.
    void TraceFrame(const float* depthBuffer);
    // The same with the depth as 32-bit words (the renderer's read-back); null words as null.
    void TraceFrame(DepthWords depth);
    // A coarse mask frame (MaskPicture::Coarse): a quarter of the rays, on the same threads and
    // tables. Until the next whole frame MaskStep() is 2, Complete() is false and a pass is
    // refused.
    void TraceCoarseMask(DepthWords depth);
    // A full traced frame; returns the image (RGBA bytes, row 0 at the bottom of the window).
    std::uint32_t* TraceFullFrame();
    // A traced lattice frame of step k at lattice phase `phase` (TracedPicture::Lattice; step 1
    // is TraceFullFrame); returns the image.
    std::uint32_t* TraceLatticeFrame(int step, int phase);
    // Traces the missing pixels of the next `phases` lattice phases of the traced picture
    // (TracedPicture::FillIn); returns the pixels traced (0 for a mask).
    std::int64_t FillIn(int phases);
    // One settling pass of the shown picture, for the same camera, scene and light: needs no GL
    // context, and a mask's depth must still be there. Returns the largest change of a shown
    // value in grey levels (0-255). Throws TIRN_ERROR::Error when the picture does not allow it
    // (no frame yet, a coarse mask, a lattice frame not filled in).
    float AccumulatePass();

    // The shown picture: whether every pixel is its own (after a whole mask frame, a full frame,
    // or the fill-in of a lattice frame's last phase), its samples (1 after a frame, one more
    // after each pass), and whether a pass can change it (not for a mask of a point light).
    bool Complete() const;
    int Samples() const;
    bool PassesCanChange() const;
    // The traced picture's lattice step (1 for a full frame or a mask) and its phases still to
    // fill in; the mask's step (2 while a coarse mask is shown, else 1).
    int LatticeStep() const { return shown_ == Shown::kTraced ? traced_.Step() : 1; }
    int PhasesLeft() const { return shown_ == Shown::kTraced ? traced_.PhasesLeft() : 0; }
    int MaskStep() const { return shown_ == Shown::kMask ? mask_.Step() : 1; }
    // Pixels the last traced frame, fill-in or pass shaded and the seconds it took (0 after a
    // mask frame).
    std::int64_t LastTracedPixels() const { return shown_ == Shown::kTraced ? traced_.LastTracedPixels() : 0; }
    double LastTracingSeconds() const { return shown_ == Shown::kTraced ? traced_.LastTracingSeconds() : 0.0; }

    // The mask as a GL_LUMINANCE texture of W x H texels from its bytes (MaskPicture::Bytes),
    // nearest filtering, no mipmaps; the texture's storage is made on the first upload and
    // refilled afterwards. Only texture 0 exists.
    void UploadTexture(int i);
    void BindTexture(int i);
    unsigned TextureName(int i = 0) const { return i == 0 ? texture_ : 0u; }

    // Buffer 0: the shown picture's words (the mask's values, or the traced image's RGBA bytes);
    // no other buffer exists.
    std::uint32_t* Buffer(int i = 0) const;
    // The mask's bytes, what the overlay shows.
    std::uint8_t* MaskBytes() const { return mask_.Bytes(); }
    // What UploadTexture sends: the mask's shadows lifted to the preview's ambient share
    // (MaskPicture::Shown).
    std::uint8_t* ShownMaskBytes() const { return mask_.Shown(); }
    // Marks of the pixels the last whole mask frame traced (MaskPicture::MarkTracedPixels).
    void MarkTracedPixels(bool on) { mask_.MarkTracedPixels(on); }
    const std::uint8_t* TracedMarks() const { return mask_.TracedMarks(); }

    // The parts, for the display, the benchmarks and the tests.
    const ScreenCamera& Camera() const { return camera_; }
    MaskPicture& Mask() { return mask_; }
    const MaskPicture& Mask() const { return mask_; }
    TracedPicture& Traced() { return traced_; }
    const TracedPicture& Traced() const { return traced_; }
    int Width() const { return camera_.Width(); }
    int Height() const { return camera_.Height(); }
    int ThreadCount() const { return threadCount_; }  // after 0 was replaced by the hardware's
    int BlockRows() const { return passes_.Window().BlockRows(); }  // mask blocks up the window
    int BlockCols() const { return passes_.Window().BlockCols(); }
    const std::vector<ScreenTile>& Tiles() const { return passes_.Window().Tiles(); }
    const std::vector<WorkerRecord>& Workers() const { return passes_.Workers(); }
    // Threads that take tiles, the caller included: none when one thread is asked for (the frame
    // is traced on the calling thread alone), never more than there are tiles or kMaxThreads.
    int RunningWorkers() const { return passes_.Threads() > 1 ? passes_.Threads() : 0; }
    const Scene* AttachedScene() const { return scene_; }

    bool useZBuffer = false;
    // Whether a full traced frame's second pass re-traces the pixels that stand out from their
    // neighbours with nine rays each (on by default; off gives the one-ray image, for a
    // comparison with another tracer on exactly the same rays).
    bool smoothTracedImage = true;
    // Whether the traced image is shown through the denoiser (raytracer/denoise.h; the sums
    // stay the mean), and whether its settling passes put their rays where the error is
    // (TracedPicture::Pass). Both off by default: the picture of the plain mean.
    bool denoise = false;
    bool adaptiveSampling = false;
    // Shows the traced picture again after `denoise` changed (nothing for a mask or a picture
    // with pixels missing).
    void ShowAgain();
    // The share of the traced picture's error blocks that have converged (0 without adaptive
    // passes).
    double ConvergedShare() const { return shown_ == Shown::kTraced ? traced_.ConvergedShare() : 0.0; }

private:
    enum class Shown { kNone, kMask, kTraced };
    // The scene, or a refusal without one; the camera of a new picture.
    const Scene& BeginPicture();
    // The switches into the traced picture.
    void PassSwitches();

    int threadCount_ = 0;
    TilePasses passes_;
    ScreenCamera camera_;
    MaskPicture mask_;
    TracedPicture traced_;
    unsigned texture_ = 0;
    bool textureMade_ = false;  // the texture has W x H storage
    Scene* scene_ = nullptr;
    Shown shown_ = Shown::kNone;
};

}  // namespace RAYTR
