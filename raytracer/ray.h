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

}  // namespace RAYTR
