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

#include <cstdint>
#include <memory>

#include "math/vector.h"
#include "raytracer/ray.h"
#include "raytracer/tile_team.h"

namespace RAYTR {

class Scene;
class ScreenCamera;

class TracedPicture {
public:
    static constexpr int kMaxLatticeStep = 12;  // a lattice frame traces at least 1/144 of the pixels

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
    float Pass();

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
    std::int64_t lastTraced_ = 0;
    double lastTracingSeconds_ = 0.0;
};

}  // namespace RAYTR
