#pragma once
// Ray records shared by the grid, the scene queries and the screen tracer.
// Colours inside the tracer keep red, blue and green in x, y and z.

#include <cstdint>

#include "math/matrix.h"
#include "math/vector.h"
#include "mesh/vertex.h"

class TEXTURE;

namespace RAYTR {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;

struct Ray {
    VECTOR origin{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR direction{0.0f, 0.0f, 0.0f, 1.0f};
    Ray() = default;
    Ray(const VECTOR& o, const VECTOR& d) : origin(o), direction(d) {}
};

struct RayHit {
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;  // weights of corners A, B, C
    float unusedFloat = 0.0f;
    VECTOR point{0.0f, 0.0f, 0.0f, 1.0f};  // hit point, in the space that transform leaves
    const MATRIX* transform = nullptr;      // applied as matrix times column vector
    const ORVA_GRAPHICS::Triangle* triangle = nullptr;  // on entry: the triangle to skip
    const TEXTURE* texture = nullptr;
    std::uint32_t unusedWord = 0;
    std::uint32_t flags = 0;  // 0x1: point computed from the weights
};

// Bit of RayHit::flags set once point has been computed from the weights.
inline constexpr std::uint32_t kHitPointComputed = 0x1;

// A point light. colour is the normalised (r, g, b, 0); it multiplies the tracer's colours
// lane by lane as stored.
struct LightSource {
    std::uint8_t r = 0, g = 0, b = 0;    // as last given to SetColour
    VECTOR colour{0.0f, 0.0f, 0.0f, 0.0f};
    float ambient = 0.0f;
    VECTOR position{0.0f, 0.0f, 0.0f, 1.0f};  // world coordinates
    float a0 = 1.0f, a1 = 0.0f, a2 = 0.0f;    // constant, linear, quadratic attenuation

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
