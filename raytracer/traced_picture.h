#pragma once
// The traced image: every pixel shaded by the tracer (shading.h: its surface lit by the light
// when the shadow ray is free, one mirror bounce, the sky on a miss), as RGBA bytes in window
// order (row 0 at the bottom: glDrawPixels order).
//
// A full frame shades every pixel with one ray, then smooths the pixels that stand out from
// both neighbours of a pair (a detail thinner than a pixel) with nine rays each. Within a frame
// budget a lattice frame of step k traces every k-th pixel each way and reconstructs the others
// from it (traced_lattice.cpp); fill-in frames then trace the missing lattice phases until the
// picture is the full frame's bytes exactly.
//
// The settling picture: a complete frame is its first sample. Each settling pass adds one more
// sample per pixel: a ray through that pass's point in the pixel, shaded with that pass's sample
// (raytracer/sampling.h: the point of the light's sphere, and whatever else a shading takes a
// sample for), so a pass's value is a function of the pixel and the pass, not of the first hit
// alone. The float sums of the samples are kept per pixel and the image shows their mean. A pass
// needs a complete picture before it: with pixels still missing it is refused.
//
// Beside the colours every traced sample writes its first hit's guides and luminance moments
// (raytracer/guides.h). With `denoise` the complete picture is shown through the denoiser
// (raytracer/denoise.h); the sums are never filtered. With `adaptive` the settling passes
// spend their rays where the estimated error of the mean is largest (see Pass).

#include <cstdint>
#include <memory>

#include "math/vector.h"
#include "raytracer/denoise.h"
#include "raytracer/guides.h"
#include "raytracer/ray.h"
#include "raytracer/tile_team.h"

namespace RAYTR {

class Scene;
class ScreenCamera;

class TracedPicture {
public:
    static constexpr int kMaxLatticeStep = 12;  // a lattice frame traces at least 1/144 of the pixels
    // Adaptive sampling: square blocks of this many pixels a side share one error estimate;
    // until the picture has kUniformSamples samples every pixel takes one a pass (the moments
    // say little before).
    static constexpr int kErrorBlock = 16;
    static constexpr int kUniformSamples = 4;
    // A block has converged when the root mean square over its pixels of the mean's standard
    // deviation relative to brightness, sigma / (luminance + kBrightnessOffset), is below
    // kConverged: half a grey level at mid-grey, less on dark pixels.
    static constexpr float kBrightnessOffset = 0.2f;
    static constexpr float kConverged = (0.5f / 255.0f) / (0.5f + kBrightnessOffset);
    // Samples a block may take in one pass.
    static constexpr int kMostBlockSamples = 8;

    // The primary surface of a traced lattice pixel, for the reconstruction: the object (its
    // transform's address; 0 for a ray that leaves the models), the point and the unit normal
    // in the object's coordinates.
    struct PrimarySurface {
        std::uintptr_t object = 0;
        float point[3] = {};
        float normal[3] = {};
    };

    // Bytes the picture allocates for a width x height window.
    static std::int64_t TableBytes(int width, int height);

    TracedPicture(TilePasses& passes, const ScreenCamera& camera);
    TracedPicture(const TracedPicture&) = delete;
    TracedPicture& operator=(const TracedPicture&) = delete;

    // A full frame: every pixel with one ray, then (when smooth) the smoothing pass.
    void Full(const Scene& scene, bool smooth);
    // A lattice frame of step k (2 to kMaxLatticeStep; 1 is Full) at lattice phase `phase` (0 to
    // k^2 - 1: the lattice offset, so that k^2 frames in a row trace every pixel once). A pixel
    // whose lattice neighbours show one surface (same object, normals and positions on one
    // tangent plane) blends them bilinearly; where they disagree (a silhouette, a crease, a
    // depth jump) the pixel's primary ray finds its own surface and blends only the neighbours
    // on it, or, when none is, is traced.
    void Lattice(const Scene& scene, int step, int phase, bool smooth);
    // Traces the missing pixels of the next `phases` lattice phases; after the last, the
    // smoothing pass of a full frame, so that the picture is then Full's bytes exactly. Returns
    // the pixels traced.
    std::int64_t FillIn(int phases);
    // One settling pass: returns the largest change of a shown channel in grey levels (0-255).
    // Throws TIRN_ERROR::Error without a picture or with pixels still missing.
    //
    // With `adaptive`, once the picture has kUniformSamples samples, a pass spends as many
    // rays as a pixel each would have taken on the blocks that have not converged, in shares of
    // their error (at least 1, at most kMostBlockSamples samples a pixel); converged blocks get
    // none. It then returns 0 once every block has converged, and otherwise the largest change
    // but at least 1 grey level: the picture is settled when the estimate says so.
    float Pass();
    // Writes the shown words again from the means (through the denoiser with `denoise`, from
    // the first pass on: a frame's one sample is not noisy): after
    // `denoise` changed. Does nothing to a picture with pixels missing.
    void Show();

    bool denoise = false;
    bool adaptive = false;
    // The share of the error blocks that have converged (0 before adaptive passes started).
    double ConvergedShare() const;
    // Samples pixel p has (1 after a frame; more where adaptive passes put them).
    std::uint32_t PixelSamples(int p) const { return guides_.counts[p]; }
    const GuideBuffers& Guides() const { return guides_; }

    bool Complete() const { return samples_ > 0 && phasesLeft_ == 0; }
    int Samples() const { return samples_; }
    // The lattice step of the picture (1 for a full frame) and its phases still to fill in.
    int Step() const { return step_; }
    int PhasesLeft() const { return phasesLeft_; }
    // Pixels the last frame, fill-in or pass shaded (primary rays of reconstructed pixels at
    // edges not counted; their shading is), and the seconds their passes took (the lattice pass
    // without the reconstruction; a fill-in or a full frame with its smoothing).
    std::int64_t LastTracedPixels() const { return lastTraced_; }
    double LastTracingSeconds() const { return lastTracingSeconds_; }

    // W*H RGBA words, row 0 at the bottom.
    std::uint32_t* Words() const { return words_.get(); }
    // Per pixel the sum of its samples' colours.
    const ORVA_MATH::VECTOR* Sums() const { return sums_.get(); }
    // Per pixel 1 where the picture shows the pixel's own traced colour, 0 where it shows a
    // reconstruction.
    const std::uint8_t* ExactPixels() const { return state_.get(); }
    // The phase (0 to step^2 - 1) of lattice offset (row, column) mod step, and back.
    static int PhaseOf(int step, int row, int column);
    static void PhaseOffset(int step, int phase, int& row, int& column);
    // The primary surface of a hit (found: the ray met a model).
    static PrimarySurface PrimarySurfaceOf(const RayHit& hit, bool found);

private:
    void Begin(const Scene& scene);
    void FullTile(ScreenTile& tile, int thread);
    void MarkTile(ScreenTile& tile, int thread);
    void SmoothTile(ScreenTile& tile, int thread);
    void PassTile(ScreenTile& tile, int thread);
    void LatticeTile(ScreenTile& tile, int thread);
    void ReconstructTile(ScreenTile& tile, int thread);
    void FillTile(ScreenTile& tile, int thread);
    // The smoothing of a complete frame: the pixels that stand out marked, then shaded again.
    void Smooth();
    // Shades pixel p with its primary ray, as a full frame does, keeps the colour and marks
    // it exact; returns the primary hit (object null on a miss) in hit.
    void TraceExact(int p, RayHit& hit);
    // The shown words of a complete picture: the means, or the denoiser's picture of them.
    void ShowComplete();
    void ShowMeanTile(ScreenTile& tile, int thread);
    // The error estimates of the error blocks within a tile, and a pass's shares of samples.
    void BlockErrors(const ScreenTile& tile);
    void PlanAdaptivePass();
    // Writes a colour's bytes into the image only (a reconstructed pixel).
    void ShowPixel(int p, const ORVA_MATH::VECTOR& colour);
    std::int64_t ReconstructCell(int rowBelow, int colLeft, int rowStart, int colStart, int rowEnd, int colEnd);
    // For every point (i, j) of a cell whose four corners lie in the window: the bits of the
    // corners on its surface, at classes[i * (step + 1) + j].
    void ClassifyCell(int rowBelow, int colLeft, const PrimarySurface* const surfaces[4], std::uint8_t* classes) const;
    void ShowCell(const ORVA_MATH::VECTOR& a, const ORVA_MATH::VECTOR& b, const ORVA_MATH::VECTOR& c,
                  const ORVA_MATH::VECTOR& d, int rowBelow, int colLeft, int rowStart, int colStart, int rowEnd, int colEnd);
    // The surface record of lattice pixel (row, column) of the current lattice, or null for a
    // pixel outside the window.
    PrimarySurface* SurfaceAt(int row, int column) const;

    TilePasses& passes_;
    const ScreenCamera& camera_;
    const Scene* scene_ = nullptr;
    int width_ = 0, height_ = 0;
    std::unique_ptr<std::uint32_t[]> words_;  // W*H
    std::unique_ptr<ORVA_MATH::VECTOR[]> sums_;  // W*H
    // W*H: 1 where the pixel shows its own traced colour, 0 where it shows a reconstruction.
    std::unique_ptr<std::uint8_t[]> state_;
    // The lattice pixels' primary surfaces, lattice row by lattice row: at most every second
    // pixel each way.
    std::unique_ptr<PrimarySurface[]> surfaces_;
    int latticeCols_ = 0;  // of the current lattice
    int step_ = 1;
    int phase_ = 0;
    int offsetRow_ = 0, offsetCol_ = 0;  // of phase_
    int filled_ = 0;   // fill order positions done: phases phase_ + 1, + 2, ...
    int fillTo_ = 0;   // the fill pass traces positions [filled_, fillTo_)
    int phasesLeft_ = 0;
    bool smooth_ = true;
    int samples_ = 0;
    GuideBuffers guides_;
    Denoiser denoiser_;
    int blockCols_ = 0, blockRows_ = 0;
    std::unique_ptr<float[]> blockErrors_;          // per error block
    std::unique_ptr<std::uint8_t[]> blockSamples_;  // per error block: the samples of this pass
    int convergedBlocks_ = 0;
    bool adaptiveStarted_ = false;
    std::int64_t lastTraced_ = 0;
    double lastTracingSeconds_ = 0.0;
};

}  // namespace RAYTR
