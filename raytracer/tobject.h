#pragma once
// A mesh that rays can hit: the mesh plus a flags word that tells the scene's queries whether to
// consider the object, and an owned uniform grid over the mesh's own (untransformed) triangles.

#include "grid/regular_grid.h"
#include "math/matrix.h"
#include "mesh/mesh.h"

namespace RAYTR {

class TObject : public ::Mesh {
public:
    // Bits of flags read by the scene's queries. 0x1 and 0x2 are set by scene assembly on every
    // object it makes; nothing in the tracer reads them.
    static constexpr unsigned kClosestHitFlag = 0x4;  // takes part in ClosestHit
    static constexpr unsigned kShadowFlag = 0x8;      // casts shadows (ShadowBlocked)

    unsigned flags = 0;
    // Owned, never shared; null only when its allocation failed at construction (then
    // PrepareForTracing makes one, and the queries skip the object until then).
    Grid* grid = nullptr;

    // How PrepareForTracing builds the grid (algorithm, factor, threads, progress).
    GridBuildSettings gridSettings;

    // What the scene's queries need of the object besides its grid, kept up to date by
    // SetTransform and ComputeBoundingBox: the box of the grid's box carried into world
    // coordinates (a little widened, for culling only), and whether the transform only
    // translates (then a world ray enters the object's frame by moving its origin alone).
    // For the offsets of rays leaving the object's surface (raytracer/offset.h): the largest
    // row sum of |transform| over the linear part (how much it magnifies), the largest
    // translation component, and the same magnification times the inverse's (1 for a
    // rotation or a translation), by which rounding in the object's frame grows in the world's.
    struct WorldFrame {
        float minimum[3] = {0, 0, 0}, maximum[3] = {0, 0, 0};
        bool translationOnly = true;
        float magnification = 1.0f, translation = 0.0f, conditioning = 1.0f;
    };
    const WorldFrame& World() const { return world_; }

    // Empty mesh, flags 0, an empty grid.
    TObject();
    // Deep copies: mesh arrays, flags and the grid's contents. The copy's grid refers to the
    // copy's own triangle array, so the source may be destroyed afterwards.
    TObject(const TObject& other);
    TObject& operator=(const TObject& other);
    ~TObject() override;

    // The bounding-sphere centre becomes row 3 of M (all four lanes), then the mesh's transform
    // is set from M about the box midpoint. The radius and the grid are unchanged.
    void SetTransform(MATRIX M) override;
    void ComputeBoundingBox() override;

    // Box, sphere, (grid if missing), box again, then the grid build over the triangles with
    // gridSettings. Returns the build's warnings.
    virtual GridBuildResult PrepareForTracing();

    // Exchanges mesh, flags, grid, build settings and world frame with other (no copy: a large
    // model moves into the scene without its arrays and grid being copied).
    void SwapWith(TObject& other);

    // Sets gridSettings.algorithm; rebuilds nothing.
    virtual void SetGridAlgorithm(int algorithm);

private:
    void CopyGridFrom(const TObject& other);
    void UpdateWorldFrame();
    WorldFrame world_;
};

}  // namespace RAYTR
