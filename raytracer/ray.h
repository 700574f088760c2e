#pragma once
// The tracer's hit record, lights and the scene's other records; the ray itself lives in
// grid/ray.h. Colours inside the tracer keep red, blue and green in x, y and z.

#include <cstdint>

#include "grid/ray.h"
#include "math/matrix.h"
#include "math/vector.h"

namespace ORVA_GRAPHICS {
struct Material;
}

namespace RAYTR {

class TObject;

// A hit as the scene's queries report it and shading uses it.
struct RayHit {
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;  // weights of corners A, B, C
    // Ray parameter of the hit along the queried world ray (an affine carry of the ray into an
    // object's coordinates keeps t).
    float t = 0.0f;
    VECTOR point{0.0f, 0.0f, 0.0f, 1.0f};  // hit point, in the space that transform leaves
    const MATRIX* transform = nullptr;      // applied as matrix times column vector
    const ORVA_GRAPHICS::Triangle* triangle = nullptr;  // the triangle hit (null: no triangle)
    const ORVA_GRAPHICS::Material* material = nullptr;  // of the hit triangle (scene queries)
    const TObject* object = nullptr;        // the object hit (null for a depth-buffer point)
    std::uint32_t flags = 0;  // 0x1: point computed from the weights
};

// Bit of RayHit::flags set once point has been computed from the weights.
inline constexpr std::uint32_t kHitPointComputed = 0x1;

// A light at a point, or a small sphere around it (radius). colour is the normalised
// (r, g, b, 0); it multiplies the tracer's colours lane by lane as stored.
struct LightSource {
    std::uint8_t r = 0, g = 0, b = 0;    // as last given to SetColour
    VECTOR colour{0.0f, 0.0f, 0.0f, 0.0f};
    float ambient = 0.0f;
    VECTOR position{0.0f, 0.0f, 0.0f, 1.0f};  // world coordinates
    float a0 = 1.0f, a1 = 0.0f, a2 = 0.0f;    // constant, linear, quadratic attenuation
    // Radius of the light's sphere (units): the settling picture's shadow rays aim at points of
    // it, which gives the shadows penumbrae. 0 is a point light.
    float radius = 0.0f;

    // Stores the bytes and colour = normalise((r, g, b, 0)); black gives (0, 0, 0, 0) rather
    // than the 0/0 of the normalisation. Touches no other field.
    void SetColour(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
        r = red;
        g = green;
        b = blue;
        if ((red | green | blue) == 0) {
            colour = VECTOR(0.0f, 0.0f, 0.0f, 0.0f);
            return;
        }
        colour = ORVA_MATH::Normalised(VECTOR(float(red), float(green), float(blue), 0.0f));
    }
};

// Two record kinds the scene stores and the tracer never reads. Both begin like LightSource.
struct NarrowRecord {
    std::uint8_t r = 0, g = 0, b = 0;
    VECTOR colour{0.0f, 0.0f, 0.0f, 0.0f};
    float value = 0.0f;
    VECTOR vector{0.0f, 0.0f, 0.0f, 1.0f};
};

struct WideRecord {
    std::uint8_t r = 0, g = 0, b = 0;
    VECTOR colour{0.0f, 0.0f, 0.0f, 0.0f};
    float value = 0.0f;
    std::uint32_t words[10] = {};
};

}  // namespace RAYTR
