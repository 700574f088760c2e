#pragma once
// 4x4 float matrix, row-major (element (r, c) at 4r + c), row vectors multiplied on the left,
// translation in row 3. The sixteen floats go to glMultMatrixf untransposed.

#include "math/vector.h"

namespace ORVA_MATH {

struct alignas(16) MATRIX {
    float m[16];

    float& operator()(int r, int c) { return m[4 * r + c]; }
    float operator()(int r, int c) const { return m[4 * r + c]; }

    static MATRIX Identity();
    static MATRIX Translation(float tx, float ty, float tz);

    VECTOR Row(int i) const { return {m[4 * i], m[4 * i + 1], m[4 * i + 2], m[4 * i + 3]}; }
    void SetTranslation(const VECTOR& v) { m[12] = v.x; m[13] = v.y; m[14] = v.z; m[15] = v.w; }

    void Transpose();
    MATRIX Transposed() const { MATRIX t = *this; t.Transpose(); return t; }

    // Gauss-Jordan in single precision; throws TIRN_ERROR::Zero_Division
    // ("Attempt to inverse singular matrix") when no usable pivot exists.
    void Invert();
    MATRIX Inverted() const { MATRIX t = *this; t.Invert(); return t; }
};
static_assert(sizeof(MATRIX) == 64);

// C(i, j) = sum_k A(i, k) B(k, j).
MATRIX operator*(const MATRIX& a, const MATRIX& b);

// Row vector times matrix, accumulated x, y, z, w in that order.
inline VECTOR Transform(const VECTOR& v, const MATRIX& a) {
    VECTOR r;
    for (int j = 0; j < 4; ++j) r[j] = v.x * a(0, j) + v.y * a(1, j) + v.z * a(2, j) + v.w * a(3, j);
    return r;
}

// Matrix times column vector, grouped (w + z) + (y + x); on a stored transpose of M it gives
// Transform(v, M).
inline VECTOR ColumnTransform(const MATRIX& a, const VECTOR& v) {
    VECTOR r;
    for (int i = 0; i < 4; ++i)
        r[i] = (a(i, 3) * v.w + a(i, 2) * v.z) + (a(i, 1) * v.y + a(i, 0) * v.x);
    return r;
}

}  // namespace ORVA_MATH
