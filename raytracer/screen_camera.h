#pragma once
// The camera of a screen of width x height pixels, as the OpenGL preview projects it
// (gluPerspective with 45 degrees vertically and the window's aspect ratio, gluLookAt from the
// scene's eye to its target, the scene's rotation): the ray of every pixel and the visible point
// of a depth-buffer value. Nothing per pixel is stored: a pixel's direction is computed when it
// is asked for, the same float operations every time, so a pixel's ray is the same bits whoever
// asks (a coarse mask's pixel and the window's pixel it stands for included).
//
// Pixels are in window order: row 0 at the bottom, column 0 at the left (glReadPixels /
// glDrawPixels order). Rays go through pixel centres, where OpenGL samples the depth.

#include <cstdint>

#include "math/matrix.h"
#include "math/vector.h"
#include "raytracer/ray.h"

namespace RAYTR {

class Scene;

// A window depth in [0, 1] from its 32-bit unsigned normalised word: w / (2^32 - 1), scaled in
// double precision as OpenGL's own conversion does, then rounded to float. For a 32-bit depth
// buffer this is bit for bit what a GL_FLOAT read-back returns.
inline float DepthFromWord(std::uint32_t w) { return static_cast<float>(w * (1.0 / 4294967295.0)); }

class ScreenCamera {
public:
    ScreenCamera(int width, int height);

    // near and far of the scene and the depth coefficients from them.
    void TakeClippingPlanes(const Scene& scene);
    // The camera of a new picture: the scene's eye and target, its clipping planes when the view
    // moved them, and the matrices (from gluLookAt: needs the GL context).
    void Begin(const Scene& scene);

    // The camera-space direction through the centre of pixel (row, column), before the turn
    // that makes row 0 the bottom: (column + 0.5 - W/2, H/2 - (row + 0.5), zPlane) divided in
    // all four lanes by its length (so its w is 1 / length).
    ORVA_MATH::VECTOR Direction(int row, int column) const;
    // The same scaled to z = 1 in all four lanes: Reconstruct's direction.
    ORVA_MATH::VECTOR UnitZ(int row, int column) const {
        const ORVA_MATH::VECTOR d = Direction(row, column);
        return d / d.z;
    }
    // UnitZ's x and y alone (its z is 1 exactly), by the same float operations.
    void UnitXY(int row, int column, float& x, float& y) const;
    // The world ray of pixel (row, column).
    Ray PixelRay(int row, int column) const;
    // The world ray through the point (column + 0.5, row + rowOffset + 0.5) of the screen, in
    // pixels from the lower-left corner: ScreenRay(r, c, 0) is PixelRay(r, c), bit for bit.
    Ray ScreenRay(int row, float column, float rowOffset) const;
    // The visible point of pixel (row, column) from its window depth (0 at near, 1 at far):
    // UnitZ times the distance along the view axis, in the unturned camera space.
    ORVA_MATH::VECTOR Reconstruct(int row, int column, float depth) const {
        return UnitZ(row, column) * ViewDistance(depth);
    }
    // The distance along the view axis of a window depth.
    float ViewDistance(float depth) const { return depthA_ / (depthB_ - depth); }

    int Width() const { return width_; }
    int Height() const { return height_; }
    float Near() const { return near_; }
    float Far() const { return far_; }
    float DepthA() const { return depthA_; }
    float DepthB() const { return depthB_; }
    float ZPlane() const { return zPlane_; }
    // Camera space (and the unturned depth points) to the world, applied as matrix times
    // column vector.
    const ORVA_MATH::MATRIX& CameraToWorld() const { return cameraToWorld_; }
    const ORVA_MATH::MATRIX& DepthToWorld() const { return depthToWorld_; }

private:
    void UpdateMatrices(const Scene& scene);

    int width_ = 0;
    int height_ = 0;
    float halfW_ = 0.0f;
    float halfH_ = 0.0f;
    float zPlane_ = -1.0f;  // z of the image plane, pixels
    float depthA_ = 1.001001f;
    float depthB_ = 1.001001f;
    float far_ = 1000.0f;
    float near_ = 1.0f;
    ORVA_MATH::VECTOR eye_{0.0f, 0.0f, 0.0f, 1.0f};
    ORVA_MATH::VECTOR target_{0.0f, 0.0f, 0.0f, 1.0f};
    ORVA_MATH::MATRIX cameraToWorld_ = ORVA_MATH::MATRIX::Identity();
    ORVA_MATH::MATRIX depthToWorld_ = ORVA_MATH::MATRIX::Identity();
};

}  // namespace RAYTR
