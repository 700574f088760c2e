#include "raytracer/screen_camera.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>

#include "raytracer/scene.h"
#include "raytracer/shading.h"

namespace RAYTR {

ScreenCamera::ScreenCamera(int width, int height)
    : width_(width),
      height_(height),
      halfW_(static_cast<float>(width) * 0.5f),
      halfH_(static_cast<float>(height) * 0.5f),
      // y spans 22.5 degrees up and down; x has the same pixel pitch sideways.
      zPlane_(static_cast<float>(-halfH_ / std::tan(0.39269909262657166))) {}

void ScreenCamera::TakeClippingPlanes(const Scene& scene) {
    far_ = scene.farDistance;
    near_ = scene.nearDistance;
    depthA_ = far_ * near_ / (far_ - near_);
    depthB_ = (far_ + near_) / ((far_ - near_) * 2.0f) + 0.5f;
}

void ScreenCamera::Begin(const Scene& scene) {
    eye_ = scene.GetEye();
    target_ = scene.GetTarget();
    if (scene.nearDistance != near_ || scene.farDistance != far_) TakeClippingPlanes(scene);  // the view moved them
    UpdateMatrices(scene);
}

void ScreenCamera::UpdateMatrices(const Scene& scene) {
    // V: the preview's view matrix, taken as OpenGL returns it.
    MATRIX v;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    gluLookAt(eye_.x, eye_.y, eye_.z, target_.x, target_.y, target_.z, 0.0, 1.0, 0.0);
    glGetFloatv(GL_MODELVIEW_MATRIX, v.m);
    glPopMatrix();
    // F flips z (the directions look down +z before the turn); S is the scene's rotation.
    // Camera space to the turned frame (V inverted, for any eye and target), then turned back
    // by S inverted instead of moving the objects: the inverse of the preview's model view.
    // Camera rays and depth-buffer points go through the same matrix.
    MATRIX f = MATRIX::Identity();
    f(2, 2) = -1.0f;
    depthToWorld_ = f * v.Inverted();
    depthToWorld_ = depthToWorld_ * scene.rotation.Inverted();
    cameraToWorld_ = depthToWorld_;
    // Stored transposed: applied as matrix times column vector.
    cameraToWorld_.Transpose();
    depthToWorld_.Transpose();
}

VECTOR ScreenCamera::Direction(int row, int column) const {
    const float x = static_cast<float>(column) + 0.5f - halfW_;
    const float y = halfH_ - (static_cast<float>(row) + 0.5f);
    const VECTOR v(x, y, zPlane_, 1.0f);
    return v / ORVA_MATH::Length(v);
}

void ScreenCamera::UnitXY(int row, int column, float& x, float& y) const {
    const float vx = static_cast<float>(column) + 0.5f - halfW_;
    const float vy = halfH_ - (static_cast<float>(row) + 0.5f);
    const float length = ORVA_MATH::Length(VECTOR(vx, vy, zPlane_, 1.0f));
    const float dz = zPlane_ / length;
    x = (vx / length) / dz;
    y = (vy / length) / dz;
}

Ray ScreenCamera::PixelRay(int row, int column) const {
    // y and z turned so that row 0 looks at the bottom of the scene.
    const VECTOR d = Direction(row, column);
    return CarryRay(Ray(VECTOR(0.0f, 0.0f, 0.0f, 1.0f), VECTOR(d.x, -d.y, -d.z, 1.0f)), cameraToWorld_);
}

Ray ScreenCamera::ScreenRay(int row, float column, float rowOffset) const {
    const float x = column + 0.5f - halfW_;
    const float y = halfH_ - ((static_cast<float>(row) + rowOffset) + 0.5f);
    const VECTOR v(x, y, zPlane_, 1.0f);
    const VECTOR d = v / ORVA_MATH::Length(v);
    return CarryRay(Ray(VECTOR(0.0f, 0.0f, 0.0f, 1.0f), VECTOR(d.x, -d.y, -d.z, 1.0f)), cameraToWorld_);
}

}  // namespace RAYTR
