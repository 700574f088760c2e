#pragma once
// What the denoiser (raytracer/denoise.h) knows of each pixel besides its colour: the first
// hit's albedo, shading normal and distance, taken from the rays the picture traces anyway (no
// ray of their own), and the running second moment of the samples' luminance, from which the
// noise of each pixel's mean is estimated.
//
// Planes of floats, one value a pixel each, so that the filter's loops run over contiguous
// memory. Allocated once with the picture; a frame only writes them.

#include <cstdint>
#include <memory>

#include "raytracer/ray.h"

namespace RAYTR {

// The guides of one sample. A ray that leaves the models gets albedo 1, the normal facing
// back along the ray and the distance kSkyDistance, so sky pixels are one surface of their own.
struct GuideSample {
    float albedo[3] = {1.0f, 1.0f, 1.0f};  // red, green, blue
    float normal[3] = {0.0f, 0.0f, 1.0f};  // unit, world coordinates
    float depth = 0.0f;                    // the ray parameter of the first hit (units)
};

// Luminance (Rec. 601) of a tracer colour, whose red, blue and green are x, y and z.
inline float ColourLuminance(const ORVA_MATH::VECTOR& c) { return 0.299f * c.x + 0.587f * c.z + 0.114f * c.y; }

// The guides of a primary ray's first hit as Shade left it in hit (no triangle: a miss).
GuideSample FirstHitGuide(const Ray& ray, const RayHit& hit);

class GuideBuffers {
public:
    static constexpr float kSkyDistance = 1e9f;
    // Bytes a pixel takes: albedo 3, normal 3, depth 1, luminance squares 1 (floats) and the
    // sample count (32 bits).
    static constexpr std::int64_t kBytesPerPixel = 8 * sizeof(float) + sizeof(std::uint32_t);

    explicit GuideBuffers(std::int64_t pixels);

    // A picture's first sample of pixel p: its guides (the pixel centre's: normal and depth
    // stay those of the centre for every later sample), its colour's luminance squared, count 1.
    void First(std::int64_t p, const GuideSample& g, float luminance) {
        for (int k = 0; k < 3; ++k) albedo[k][p] = g.albedo[k], normal[k][p] = g.normal[k];
        depth[p] = g.depth;
        lumSquares[p] = luminance * luminance;
        counts[p] = 1;
    }
    // One more sample of pixel p: the albedo's running mean (the mean colour mixes the albedos
    // of an edge's sides as the mean albedo does), the luminance square's sum, the count.
    void Add(std::int64_t p, const GuideSample& g, float luminance) {
        const float n = static_cast<float>(counts[p]);
        const float share = 1.0f / (n + 1.0f);
        for (int k = 0; k < 3; ++k) albedo[k][p] += (g.albedo[k] - albedo[k][p]) * share;
        lumSquares[p] += luminance * luminance;
        counts[p] += 1;
    }

    float* albedo[3] = {};
    float* normal[3] = {};
    float* depth = nullptr;
    float* lumSquares = nullptr;  // sum over the samples of the colour's luminance squared
    std::uint32_t* counts = nullptr;  // samples of the pixel

private:
    std::unique_ptr<float[]> planes_;
    std::unique_ptr<std::uint32_t[]> counts_;
};

}  // namespace RAYTR
