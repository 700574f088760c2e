#pragma once
// The samples of the settling picture: where in a pixel a pass's ray goes and which point of a
// light's sphere its shadow ray aims at. Both depend only on the pixel and the pass, never on
// the thread that traces them, so a picture is the same for any thread count.
//
// The four numbers of pass n >= 1 come from the R4 sequence (Roberts, "The unreasonable
// effectiveness of quasirandom sequences", 2018: frac(0.5 + n alpha_i) with alpha_i = g^-i and
// g the real root of x^5 = x + 1), shifted per pixel by a hashed offset (a Cranley-Patterson
// rotation), so that neighbouring pixels do not share the same pattern and the error shows as
// fine noise rather than as copies of a shadow edge. Pass 0 is the pixel's centre and the
// light's centre: the one-sample frame is the picture of a point light through pixel centres.

#include <cstdint>

#include "math/vector.h"

namespace RAYTR {

using ORVA_MATH::VECTOR;

// Numbers in [0, 1): x and y the position in the pixel (0.5, 0.5 is its centre), u and v
// the point on the light (see LightPoint); for described materials (raytracer/bsdf.h) skyU and
// skyV the direction of the sky light's sample, glossU and glossV the direction of a rough
// reflection, and through the threshold below which a partly transparent surface lets the ray
// pass. The last five come from a second sequence of their own (R5, whose alphas are the powers
// of the real root of x^6 = x + 1), so the first four are those of every earlier picture.
struct PixelSample {
    float x = 0.5f, y = 0.5f, u = 0.5f, v = 0.5f;
    float skyU = 0.5f, skyV = 0.5f, glossU = 0.5f, glossV = 0.5f, through = 0.5f;
};

// The sample of pixel p (any index that names the pixel, e.g. row * width + column) in pass n.
PixelSample SampleOf(std::uint32_t p, std::uint32_t n);

// A point of the sphere of the given radius around centre that a shadow ray from `from` aims at:
// the point of the sphere's near side over the point (u, v) of the disk that the sphere shows
// to `from`, taken uniformly over the disk's area (Shirley and Chiu's concentric map, "A
// low distortion map between disk and square", 1997). (0.5, 0.5) and a radius of 0 give the
// centre exactly; so does a point `from` inside the sphere. w of the result is 1.
VECTOR LightPoint(const VECTOR& centre, float radius, const VECTOR& from, float u, float v);

}  // namespace RAYTR
