// The per-pixel work of the ScreenTracer: the primary-ray and depth-direction tables, the camera
// matrices, the reconstruction of visible points from the preview's depth buffer, the value of
// one shadow-mask pixel, the adaptive lattice refinement and the full shading of a rectangle.
//
// Mask words on the border of two subscreens may be written by two workers at once; every
// access to buffer 0 during a frame therefore goes through a relaxed std::atomic_ref, which
// compiles to plain loads and stores on x86 and keeps the program free of data races.

#include <GL/gl.h>
#include <GL/glu.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "errors/errors.h"
#include "raytracer/scene.h"
#include "raytracer/screen_tracer.h"
#include "raytracer/shading.h"

namespace RAYTR {

namespace {

inline std::uint32_t LoadWord(std::uint32_t* buffer, int p) {
    return std::atomic_ref<std::uint32_t>(buffer[p]).load(std::memory_order_relaxed);
}

inline void StoreWord(std::uint32_t* buffer, int p, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(buffer[p]).store(value, std::memory_order_relaxed);
}

// One shaded channel as a byte: truncated toward zero, limited to [0, 255] (bright surfaces
// near the light reach values above 1.0, which must saturate rather than wrap; NaN gives 0).
inline std::uint8_t ChannelByte(float c) {
    const float v = c * 255.0f;
    if (!(v > 0.0f)) return 0;
    if (v >= 255.0f) return 255;
    return static_cast<std::uint8_t>(v);
}

// Luminance of RGB bytes (Rec. 601 weights).
inline float Luminance(const std::uint8_t rgb[3]) {
    return 0.299f * static_cast<float>(rgb[0]) + 0.587f * static_cast<float>(rgb[1]) + 0.114f * static_cast<float>(rgb[2]);
}

// Whether a pixel of luminance l stands out from both neighbours a and b: darker than 0.7 of
// the darker one (while that one is above 30) or brighter than 1.4 times the brighter one
// (while the pixel is above 30). A little wider than what a viewer sees as a speck.
inline bool StandsOut(float l, float a, float b) {
    const float lo = std::min(a, b), hi = std::max(a, b);
    return (lo > 30.0f && l < 0.8f * lo) || (l > 30.0f && l > 1.25f * hi);
}

// A channel of the average of nine samples: eight as the sum of their shaded values and one
// as the byte already written.
inline std::uint8_t AverageByte(float eightSum, std::uint8_t centre) {
    const float v = (eightSum * 255.0f + static_cast<float>(centre)) * (1.0f / 9.0f);
    if (!(v > 0.0f)) return 0;
    if (v >= 255.0f) return 255;
    return static_cast<std::uint8_t>(v);
}

}  // namespace

void ScreenTracer::AttachScene(Scene* scene) {
    if (scene == nullptr) throw TIRN_ERROR::Error("The ray tracer can not attach a missing scene");
    // Scene, clipping distances and the depth coefficients of Reconstruct.
    scene_ = scene;
    far_ = scene->farDistance;
    near_ = scene->nearDistance;
    depthA_ = far_ * near_ / (far_ - near_);
    depthB_ = (far_ + near_) / ((far_ - near_) * 2.0f) + 0.5f;

    // Ray tables: a 22.5 degree half-angle both ways, y scaled by the aspect ratio.
    const float halfW = static_cast<float>(width_) * 0.5f;
    const float aspect = static_cast<float>(width_) / static_cast<float>(height_);
    const auto zPlane = static_cast<float>(-halfW / std::tan(0.39269909262657166));
    zPlane_ = zPlane;
    for (int j = 0; j < height_; ++j) {
        const float y = (static_cast<float>(height_) * 0.5f - static_cast<float>(j)) * aspect;
        for (int i = 0; i < width_; ++i) {
            const float x = static_cast<float>(i) - halfW;
            const VECTOR v(x, y, zPlane, 1.0f);
            const VECTOR d = v / ORVA_MATH::Length(v);
            const int p = j * width_ + i;
            rays_[p] = Ray(VECTOR(0.0f, 0.0f, 0.0f, 1.0f), VECTOR(d.x, d.y, d.z, 1.0f));
            unitZ_[p] = d / d.z;
        }
    }
}

void ScreenTracer::UpdateCameraMatrices() {
    // V: the preview's view matrix, taken as OpenGL returns it.
    MATRIX v;
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    gluLookAt(eye_.x, eye_.y, eye_.z, target_.x, target_.y, target_.z, 0.0, 1.0, 0.0);
    glGetFloatv(GL_MODELVIEW_MATRIX, v.m);
    glPopMatrix();
    // F flips z (rays look down +z in the tables); S is the scene's rotation.
    MATRIX f = MATRIX::Identity();
    f(2, 2) = -1.0f;
    const MATRIX inverseS = scene_ != nullptr ? scene_->rotation.Inverted() : MATRIX::Identity();
    depthToWorld_ = f * v.Inverted();
    cameraToWorld_ = v * f;
    // Turn the rays by the inverse rotation instead of moving the objects.
    cameraToWorld_ = cameraToWorld_ * inverseS;
    depthToWorld_ = depthToWorld_ * inverseS;
    // Stored transposed: applied as matrix times column vector.
    cameraToWorld_.Transpose();
    depthToWorld_.Transpose();
}

const float* ScreenTracer::TransposeDepth(const float* depthBuffer) {
    // Mask element r*W + c takes the depth of the window pixel x = r, y = c (W == H).
    for (int i = 0; i < height_; ++i)
        for (int k = 0; k < width_; ++k) transposedDepth_[width_ * i + k] = depthBuffer[width_ * k + i];
    return transposedDepth_;
}

VECTOR ScreenTracer::Reconstruct(int p) const {
    // Window depth 0 gives the near distance, 1 the far distance along the view axis.
    const float t = depthA_ / (depthB_ - depth_[p]);
    return unitZ_[p] * t;
}

bool ScreenTracer::PrimaryHit(int p, RayHit& hit) const {
    // x and y exchanged to match the transposed mask, z turned toward the scene.
    Ray ray = rays_[p];
    const VECTOR d = ray.direction;
    ray.direction = VECTOR(-d.y, d.x, -d.z, d.w);
    return ClosestHit(CarryRay(ray, cameraToWorld_), *scene_, hit);
}

bool ScreenTracer::ShadowTest(RayHit& hit) const {
    // World position of the point, then a ray toward light 0; hit serves as scratch.
    const VECTOR pw = HitPointInWorld(hit);
    const VECTOR lightPosition = scene_->lights[0].position;
    const VECTOR l = ORVA_MATH::Normalised(lightPosition - pw);
    return ShadowBlocked(Ray(pw, l), *scene_, hit, lightPosition);
}

std::uint32_t ScreenTracer::MaskPixel(int p) const {
    // Only light 0 casts the mask's shadows; without it every point is lit.
    if (scene_->lights.Size() == 0) return kLit;
    RayHit hit;
    if (depth_ != nullptr) {
        // The visible point from the preview's depth, in reconstruction space.
        const VECTOR r = Reconstruct(p);
        if (r.z >= 0.99f * far_) return kLit;  // nothing drawn there
        hit.point = VECTOR(r.y, -r.x, r.z, 1.0f);
        hit.transform = &depthToWorld_;
        return ShadowTest(hit) ? kShadow : kLit;
    }
    if (!PrimaryHit(p, hit)) return kLit;
    return ShadowTest(hit) ? kShadow : kLit;
}

void ScreenTracer::ProcessRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    if (fullMode_) {
        FullTraceRectangle(rowStart, colStart, rowEnd, colEnd);
        return;
    }
    std::uint32_t* const buffer = buffers_[0];
    // Lattice every 8 pixels, including rowEnd and colEnd.
    for (int r = rowStart; r < rowEnd + blockStepY_; r += blockStepY_)
        for (int c = colStart; c < colEnd + blockStepX_; c += blockStepX_)
            StoreWord(buffer, r * width_ + c, MaskPixel(r * width_ + c));
    // Blocks between lattice points, refined where their corners differ.
    for (int r = rowStart; r < rowEnd; r += blockStepY_)
        for (int c = colStart; c < colEnd; c += blockStepX_) Refine(r * width_ + c, blockStepY_, kShadow);
}

void ScreenTracer::Refine(int p, int size, std::uint32_t fill) {
    std::uint32_t* const buffer = buffers_[0];
    const int w = width_;
    const int tl = p, tr = p + size, bl = p + w * size, br = bl + size;
    const std::uint32_t vtl = LoadWord(buffer, tl), vtr = LoadWord(buffer, tr);
    const std::uint32_t vbl = LoadWord(buffer, bl), vbr = LoadWord(buffer, br);

    // Uniform block: fill size + 1 rows and columns without tracing the inside.
    if (vtl == vtr && vtl == vbl && vtl == vbr) {
        const std::uint32_t value = vtl != 0 ? kLit : fill;
        const int columns = br + 1 < pixelCount_ ? size + 1 : size;
        for (int row = 0; row <= size; ++row)
            for (int k = 0; k < columns; ++k) StoreWord(buffer, tl + row * w + k, value);
        return;
    }

    // Smallest block: the four edge midpoints copy an agreeing pair, the centre is traced.
    if (size == 2) {
        StoreWord(buffer, p + 1, vtl == vtr ? vtl : MaskPixel(p + 1));
        StoreWord(buffer, p + w, vtl == vbl ? vtl : MaskPixel(p + w));
        StoreWord(buffer, bl + 1, vbl == vbr ? vbl : MaskPixel(bl + 1));
        StoreWord(buffer, tr + w, vtr == vbr ? vtr : MaskPixel(tr + w));
        StoreWord(buffer, p + w + 1, MaskPixel(p + w + 1));
        return;
    }

    // Otherwise trace the edge midpoints a neighbouring block has not traced, and the centre,
    // then refine the four quarters.
    const int half = size / 2;
    const int top = p + half, left = p + w * half, right = tr + w * half, bottom = bl + half;
    const int centre = left + half;
    for (const int q : {top, left, right, bottom}) {
        const std::uint32_t v = LoadWord(buffer, q);
        if (v != kShadow && v != kLit) StoreWord(buffer, q, MaskPixel(q));
    }
    StoreWord(buffer, centre, MaskPixel(centre));
    Refine(p, half, fill);
    Refine(top, half, fill);
    Refine(left, half, fill);
    Refine(centre, half, fill);
}

VECTOR ScreenTracer::ShadeAt(int row, float column, float rowOffset) const {
    // The table's direction for a point of the screen (column and row in pixels: the table's
    // ray of pixel (r, c) is ShadeAt(r, c, 0)), turned like the table's rays: y and z flipped
    // so that row 0 looks at the bottom of the scene.
    const float halfW = static_cast<float>(width_) * 0.5f;
    const float aspect = static_cast<float>(width_) / static_cast<float>(height_);
    const float x = column - halfW;
    const float y = (static_cast<float>(height_) * 0.5f - (static_cast<float>(row) + rowOffset)) * aspect;
    const VECTOR v(x, y, zPlane_, 1.0f);
    const VECTOR d = v / ORVA_MATH::Length(v);
    const Ray ray(VECTOR(0.0f, 0.0f, 0.0f, 1.0f), VECTOR(d.x, -d.y, -d.z, 1.0f));
    RayHit hit;
    return Shade(CarryRay(ray, cameraToWorld_), hit, 1, *scene_);
}

void ScreenTracer::FullTraceRectangle(int rowStart, int colStart, int rowEnd, int colEnd) {
    std::uint32_t* const buffer = buffers_[0];
    // Pass 1: every pixel of the rectangle, and the luminance of the rectangle and of the ring
    // of pixels around it (traced again here rather than read from the neighbouring rectangle,
    // so that no pixel depends on the tiling or on another worker's progress).
    const int side = subscreenSide_;
    const int stride = side + 2;
    const int tile = (rowStart / side) * (width_ / side) + colStart / side;
    float* const lum = luminance_.get() + static_cast<std::size_t>(tile) * stride * stride;
    auto at = [&](int r, int c) -> float& { return lum[(r - rowStart + 1) * stride + (c - colStart + 1)]; };
    for (int r = std::max(rowStart - 1, 0); r < std::min(rowEnd + 1, height_); ++r) {
        for (int c = std::max(colStart - 1, 0); c < std::min(colEnd + 1, width_); ++c) {
            const int p = r * width_ + c;
            Ray ray = rays_[p];
            const VECTOR d = ray.direction;
            ray.direction = VECTOR(d.x, -d.y, -d.z, d.w);
            RayHit hit;
            const VECTOR colour = Shade(CarryRay(ray, cameraToWorld_), hit, 1, *scene_);
            // Red in x, blue in y, green in z; bytes in memory order red, green, blue, fourth.
            const std::uint8_t bytes[4] = {ChannelByte(colour.x), ChannelByte(colour.z), ChannelByte(colour.y), 255};
            at(r, c) = Luminance(bytes);
            if (r < rowStart || r >= rowEnd || c < colStart || c >= colEnd) continue;
            std::uint32_t word;
            std::memcpy(&word, bytes, sizeof word);
            buffer[p] = word;  // full rectangles are disjoint: one writer per pixel
        }
    }
    // Pass 2: a pixel that stands out from both of its horizontal or both of its vertical
    // neighbours (a one-pixel detail: a thin edge or a minified texture seen in the mirror
    // bounce) is the average of nine rays on a 3 x 3 lattice from edge to edge of the pixel
    // (its own ray in the middle, the others half a pixel away). Decided on pass 1's values
    // only.
    for (int r = std::max(rowStart, 1); r < std::min(rowEnd, height_ - 1); ++r) {
        for (int c = std::max(colStart, 1); c < std::min(colEnd, width_ - 1); ++c) {
            const float l = at(r, c);
            if (!StandsOut(l, at(r, c - 1), at(r, c + 1)) && !StandsOut(l, at(r - 1, c), at(r + 1, c))) continue;
            const int p = r * width_ + c;
            std::uint8_t centre[4];
            std::memcpy(centre, &buffer[p], sizeof centre);
            VECTOR sum(0.0f, 0.0f, 0.0f, 0.0f);
            for (const float dr : {-0.5f, 0.0f, 0.5f})
                for (const float dc : {-0.5f, 0.0f, 0.5f})
                    if (dr != 0.0f || dc != 0.0f) sum += ShadeAt(r, static_cast<float>(c) + dc, dr);
            // Colour bytes of the eight, plus the centre's bytes, averaged.
            const std::uint8_t bytes[4] = {
                AverageByte(sum.x, centre[0]), AverageByte(sum.z, centre[1]), AverageByte(sum.y, centre[2]), 255};
            std::uint32_t word;
            std::memcpy(&word, bytes, sizeof word);
            buffer[p] = word;
        }
    }
}

}  // namespace RAYTR
