#pragma once
// The ray and hit records of the grid's queries, also used by the scene queries and the
// screen tracer (raytracer/ray.h adds the lights).

#include <cstdint>

#include "math/matrix.h"
#include "math/vector.h"
#include "mesh/vertex.h"

namespace ORVA_GRAPHICS {
struct Material;
}

namespace RAYTR {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;

// origin + t * direction; the direction need not be of unit length.
struct Ray {
    VECTOR origin{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR direction{0.0f, 0.0f, 0.0f, 1.0f};
    Ray() = default;
    Ray(const VECTOR& o, const VECTOR& d) : origin(o), direction(d) {}
};

struct RayHit {
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;  // weights of corners A, B, C
    // Ray parameter of the hit: the point is origin + t * direction of the queried ray. An
    // affine carry of the ray into an object's coordinates keeps t, so t compares hits of
    // different objects along one world ray.
    float t = 0.0f;
    VECTOR point{0.0f, 0.0f, 0.0f, 1.0f};  // hit point, in the space that transform leaves
    const MATRIX* transform = nullptr;      // applied as matrix times column vector
    const ORVA_GRAPHICS::Triangle* triangle = nullptr;  // on entry: the triangle to skip
    const ORVA_GRAPHICS::Material* material = nullptr;  // of the hit triangle (scene queries)
    std::uint32_t unusedWord = 0;
    std::uint32_t flags = 0;  // 0x1: point computed from the weights
};

// Bit of RayHit::flags set once point has been computed from the weights.
inline constexpr std::uint32_t kHitPointComputed = 0x1;

}  // namespace RAYTR
