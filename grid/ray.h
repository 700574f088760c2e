#pragma once
// The ray and the hit record of the grid's queries. The scene's shading record (RayHit) is the
// tracer's own (raytracer/ray.h).

#include "math/vector.h"
#include "mesh/vertex.h"

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

// What a grid query finds: the ray parameter of the hit (origin + t * direction of the queried
// ray), the weights of the corners A, B, C, and the triangle (an element of the grid's mesh).
struct GridHit {
    float t = 0.0f;
    float b0 = 0.0f, b1 = 0.0f, b2 = 0.0f;
    const ORVA_GRAPHICS::Triangle* triangle = nullptr;
};

}  // namespace RAYTR
