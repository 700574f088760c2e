#pragma once
// The interleaved vertex record, the triangle of three vertex pointers, and the box record
// that keeps a mesh's box together with its transform, inverse and their transposes.

#include <cstddef>

#include "math/matrix.h"
#include "math/vector.h"

namespace ORVA_GRAPHICS {

using ORVA_MATH::MATRIX;
using ORVA_MATH::VECTOR;

// 48-byte stride: position at byte 0, normal at 16, texture coordinate at 32.
struct VERTEX {
    VECTOR position;
    VECTOR normal;
    float u, v;
    float unused[2];

    // Only the two w lanes are set; x, y, z, u and v stay unset until written.
    VERTEX() { position.w = 1.0f; normal.w = 1.0f; }
};
static_assert(sizeof(VERTEX) == 48, "vertex arrays are handed to OpenGL with a 48-byte stride");
static_assert(offsetof(VERTEX, normal) == 16 && offsetof(VERTEX, u) == 32);

// Corners A, B, C in the file's order; owns nothing.
template <int N, class T, class X>
struct TRIANGLE {
    VERTEX* A = nullptr;
    VERTEX* B = nullptr;
    VERTEX* C = nullptr;
};

using Triangle = TRIANGLE<4, float, void>;

struct BoxTransform {
    VECTOR minimum{0.0f, 0.0f, 0.0f, 1.0f};
    VECTOR maximum{0.0f, 0.0f, 0.0f, 1.0f};
    MATRIX transform = MATRIX::Identity();
    MATRIX inverse = MATRIX::Identity();
    MATRIX transposed = MATRIX::Identity();
    MATRIX transposedInverse = MATRIX::Identity();
};

}  // namespace ORVA_GRAPHICS
