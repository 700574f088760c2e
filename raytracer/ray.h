#pragma once
// Lights and the scene's other records; the ray records themselves live in grid/ray.h.
// Colours inside the tracer keep red, blue and green in x, y and z.

#include <cstdint>

#include "grid/ray.h"
#include "math/vector.h"

namespace RAYTR {

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
